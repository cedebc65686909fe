#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "vantrel/text.h"

namespace vantrel_core {

namespace {

std::string os_error(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

// Closes the descriptor on every return path.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

Expected<std::string, std::string> read_text_file(const std::string& path, std::size_t max_bytes) {
  if (path.find('\0') != std::string::npos) {
    return Unexpected{std::string("file name contained an unexpected NUL byte")};
  }
  // Non-blocking, so that opening a FIFO does not wait for a writer.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (fd.get() < 0) return Unexpected{os_error(errno)};
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Unexpected{os_error(errno)};
  if (S_ISDIR(st.st_mode)) return Unexpected{os_error(EISDIR)};
  if (!S_ISREG(st.st_mode)) return Unexpected{std::string("not a regular file")};
  const std::string too_large = "larger than " + std::to_string(max_bytes) + " bytes";
  if (static_cast<std::uintmax_t>(st.st_size) > max_bytes) return Unexpected{too_large};

  // The size is only a hint (the file may grow, and some report 0): reading
  // stops one byte past the cap. Spare room lets the JSON parser read the
  // text in place, without a copy.
  std::string data;
  data.reserve(static_cast<std::size_t>(st.st_size) + 64);
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return Unexpected{os_error(errno)};
    }
    if (static_cast<std::size_t>(n) > max_bytes - data.size()) return Unexpected{too_large};
    data.append(buf, static_cast<std::size_t>(n));
  }
  if (!is_valid_utf8(data)) return Unexpected{std::string("stream did not contain valid UTF-8")};
  return data;
}

Expected<std::vector<std::byte>, std::string> read_binary_file(const std::string& path,
                                                               std::size_t max_bytes) {
  if (path.find('\0') != std::string::npos) {
    return Unexpected{std::string("file name contained an unexpected NUL byte")};
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Unexpected{os_error(errno)};
  const std::string too_large = "larger than " + std::to_string(max_bytes) + " bytes";
  std::vector<std::byte> data;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    if (static_cast<std::uint64_t>(st.st_size) > max_bytes) {
      ::close(fd);
      return Unexpected{too_large};
    }
    data.reserve(static_cast<std::size_t>(st.st_size));
  }
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      ::close(fd);
      return Unexpected{os_error(err)};
    }
    if (data.size() + static_cast<std::size_t>(n) > max_bytes) {
      ::close(fd);
      return Unexpected{too_large};
    }
    const auto* bytes = reinterpret_cast<const std::byte*>(buf);
    data.insert(data.end(), bytes, bytes + n);
  }
  ::close(fd);
  return data;
}

}  // namespace vantrel_core
