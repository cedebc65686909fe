#include "io.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vantrel/text.h"

namespace vantrel {

namespace {

bool write_fd(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

constexpr std::size_t kReadChunk = 1 << 16;

std::string os_error(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

}  // namespace

bool write_stdout(std::string_view bytes) { return write_fd(STDOUT_FILENO, bytes); }
void write_stderr(std::string_view bytes) { (void)write_fd(STDERR_FILENO, bytes); }

bool stdin_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }

std::optional<std::string> read_all_stdin() {
  std::string data;
  char buf[kReadChunk];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    data.append(buf, static_cast<std::size_t>(n));
  }
  if (!vantrel_core::is_valid_utf8(data)) return std::nullopt;
  return data;
}

bool LineReader::fill() {
  if (pos_ > 0) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  const std::size_t old = buf_.size();
  buf_.resize(old + kReadChunk);
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buf_.data() + old, kReadChunk);
    if (n < 0) {
      if (errno == EINTR) continue;
      buf_.resize(old);
      error_ = os_error(errno);
      return false;
    }
    buf_.resize(old + static_cast<std::size_t>(n));
    if (n == 0) eof_ = true;
    return true;
  }
}

LineReader::Status LineReader::next(std::string_view& line) {
  std::size_t scan_from = pos_;
  for (;;) {
    const std::size_t nl = buf_.find('\n', scan_from);
    if (nl != std::string::npos) {
      std::string_view l(buf_.data() + pos_, nl - pos_);
      pos_ = nl + 1;
      if (!l.empty() && l.back() == '\r') l.remove_suffix(1);
      if (!vantrel_core::is_valid_utf8(l)) {
        error_ = "stream did not contain valid UTF-8";
        return Status::Error;
      }
      line = l;
      return Status::Line;
    }
    if (eof_) {
      if (pos_ >= buf_.size()) return Status::End;
      std::string_view l(buf_.data() + pos_, buf_.size() - pos_);
      pos_ = buf_.size();
      if (!vantrel_core::is_valid_utf8(l)) {
        error_ = "stream did not contain valid UTF-8";
        return Status::Error;
      }
      line = l;
      return Status::Line;
    }
    const std::size_t searched = buf_.size() - pos_;
    if (!fill()) return Status::Error;
    scan_from = searched;  // pos_ is 0 after fill(); skip bytes already searched
  }
}

}  // namespace vantrel
