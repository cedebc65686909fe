#include "io.h"

#include <unistd.h>

#include <algorithm>
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
constexpr std::size_t kShrinkAbove = 1 << 20;

std::string os_error(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

// read(2), retried when interrupted: bytes read, 0 at end of input, -1 on
// error (errno set).
ssize_t read_some(int fd, char* into, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, into, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// The length of `s` without a character its end cuts short (a lead byte
// followed by fewer continuation bytes than it announces). Anything else,
// malformed bytes included, is left for validation to judge.
std::size_t without_cut_character(std::string_view s) {
  std::size_t j = s.size();
  std::size_t continuations = 0;
  while (j > 0 && continuations < 3 && is_continuation(s[j - 1])) --j, ++continuations;
  if (j == 0) return s.size();
  const auto lead = static_cast<unsigned char>(s[j - 1]);
  std::size_t announced = 1;
  if (lead >= 0xC2 && lead <= 0xDF) announced = 2;
  if (lead >= 0xE0 && lead <= 0xEF) announced = 3;
  if (lead >= 0xF0 && lead <= 0xF4) announced = 4;
  return announced > continuations + 1 ? j - 1 : s.size();
}

constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

}  // namespace

bool write_stdout(std::string_view bytes) { return write_fd(STDOUT_FILENO, bytes); }
void write_stderr(std::string_view bytes) { (void)write_fd(STDERR_FILENO, bytes); }

bool stdin_is_terminal() { return ::isatty(STDIN_FILENO) == 1; }

std::optional<std::string> read_up_to(int fd, std::size_t limit) {
  const std::size_t enough = limit + 1;
  std::string data;
  while (data.size() < enough) {
    const std::size_t old = data.size();
    data.resize(old + std::min(kReadChunk, enough - old));
    const ssize_t n = read_some(fd, data.data() + old, data.size() - old);
    if (n < 0) return std::nullopt;
    data.resize(old + static_cast<std::size_t>(n));
    if (n == 0) break;
  }
  const std::string_view checked =
      data.size() > limit ? std::string_view(data).substr(0, without_cut_character(data)) : data;
  if (!vantrel_core::is_valid_utf8(checked)) return std::nullopt;
  return data;
}

std::optional<std::string> read_terminal_line(int fd, std::size_t limit) {
  const std::size_t keep = limit + 4;  // the character that crosses `limit` included
  std::string line;                    // the line's first bytes
  std::string rest;                    // later bytes not yet judged (a cut character)
  bool longer = false;                 // something other than White_Space follows `line`
  char buf[4096];
  for (bool line_ended = false; !line_ended;) {
    const ssize_t n = read_some(fd, buf, sizeof buf);
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    std::string_view chunk(buf, static_cast<std::size_t>(n));
    if (const std::size_t nl = chunk.find('\n'); nl != std::string_view::npos) {
      chunk = chunk.substr(0, nl + 1);
      line_ended = true;
    }
    const std::size_t take = std::min(chunk.size(), keep - line.size());
    line.append(chunk.substr(0, take));
    chunk.remove_prefix(take);
    if (chunk.empty() && rest.empty()) continue;
    if (rest.empty()) {
      // `line` is full: a character it cuts is judged with what follows.
      const std::size_t whole = without_cut_character(line);
      rest.assign(line, whole);
      line.resize(whole);
    }
    rest.append(chunk);
    const std::size_t whole = without_cut_character(rest);
    const std::string_view judged = std::string_view(rest).substr(0, whole);
    if (!vantrel_core::is_valid_utf8(judged)) return std::nullopt;
    if (!vantrel_core::is_blank(judged)) longer = true;
    rest.erase(0, whole);
  }
  if (!rest.empty() || !vantrel_core::is_valid_utf8(line)) return std::nullopt;
  if (!longer) line.resize(vantrel_core::trim_trailing_unicode_whitespace(line).size());
  return line;
}

LineReader::LineReader(int fd, std::size_t max_piece, bool lone_cr_ends_line)
    : fd_(fd),
      max_piece_(std::max<std::size_t>(max_piece, 4)),
      lone_cr_ends_line_(lone_cr_ends_line) {}

bool LineReader::fill() {
  if (pos_ > 0) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  const std::size_t old = buf_.size();
  buf_.resize(old + kReadChunk);
  const ssize_t n = read_some(fd_, buf_.data() + old, kReadChunk);
  if (n < 0) {
    buf_.resize(old);
    invalid_utf8_ = false;
    error_ = os_error(errno);
    return false;
  }
  buf_.resize(old + static_cast<std::size_t>(n));
  if (n == 0) eof_ = true;
  return true;
}

LineReader::Status LineReader::hand_out(Status status, std::size_t end, std::size_t consumed,
                                        std::string_view& piece) {
  const std::string_view p(buf_.data() + pos_, end - pos_);
  pos_ = consumed;
  searched_ = 0;
  line_finished_ = status == Status::Line;
  invalid_utf8_ = !vantrel_core::is_valid_utf8(p);
  if (invalid_utf8_) {
    error_ = kInvalidUtf8;
    return Status::Error;
  }
  piece = p;
  return status;
}

LineReader::Status LineReader::next(std::string_view& piece) {
  // The last piece is no longer needed: once a long line that grew the buffer
  // is gone, give the memory back.
  if (buf_.capacity() > kShrinkAbove && buf_.size() - pos_ < kShrinkAbove / 4) {
    buf_.erase(0, pos_);
    pos_ = 0;
    buf_.shrink_to_fit();
  }
  for (;;) {
    const std::string_view pending(buf_.data() + pos_, buf_.size() - pos_);
    const std::size_t found = lone_cr_ends_line_ ? pending.find_first_of("\r\n", searched_)
                                                 : pending.find('\n', searched_);
    std::size_t line_length = std::string_view::npos;  // of a line whose ending is known
    std::size_t ending_length = 0;
    if (found != std::string_view::npos) {
      if (pending[found] == '\n') {
        line_length = found > 0 && pending[found - 1] == '\r' ? found - 1 : found;
        ending_length = found + 1 - line_length;
        ending_ = Ending::LineFeed;
      } else if (found + 1 < pending.size() || eof_) {
        const bool crlf = found + 1 < pending.size() && pending[found + 1] == '\n';
        line_length = found;
        ending_length = crlf ? 2 : 1;
        ending_ = crlf ? Ending::LineFeed : Ending::CarriageReturn;
      }
    } else if (eof_) {
      if (pending.empty()) return Status::End;
      line_length = pending.size();
      ending_ = Ending::EndOfInput;
    }

    if (line_length != std::string_view::npos && line_length <= max_piece_) {
      return hand_out(Status::Line, pos_ + line_length, pos_ + line_length + ending_length, piece);
    }
    // How long the line is known to be so far (up to a carriage return that
    // is the last byte yet, when there is one).
    std::size_t known = pending.size();
    if (line_length != std::string_view::npos) {
      known = line_length;
    } else if (found != std::string_view::npos) {
      known = found;
    }
    if (known > max_piece_) {
      std::size_t cut = without_cut_character(pending.substr(0, max_piece_));
      if (cut == 0) cut = max_piece_;  // no character boundary near: bytes are invalid anyway
      return hand_out(Status::Piece, pos_ + cut, pos_ + cut, piece);
    }
    if (found != std::string_view::npos && found > 0) {
      // A carriage return ends what has arrived: hand out the text before it
      // now; whether a line feed follows is known with the next bytes.
      return hand_out(Status::Piece, pos_ + found, pos_ + found, piece);
    }
    searched_ = found != std::string_view::npos ? found : pending.size();
    if (!fill()) return Status::Error;
  }
}

}  // namespace vantrel
