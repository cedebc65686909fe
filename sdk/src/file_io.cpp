#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vantrel/text.h"

namespace vantrel_core {

namespace {
std::string os_error(int err) { return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")"; }
}  // namespace

Expected<std::string, std::string> read_text_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Unexpected{std::string("file name contained an unexpected NUL byte")};
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Unexpected{os_error(errno)};
  std::string data;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    // Spare room lets the JSON parser read the text in place, without a copy.
    data.reserve(static_cast<std::size_t>(st.st_size) + 64);
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
    data.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
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
