// The daemon loop over arbitrary input: request lines of any shape, blank
// lines, invalid UTF-8, missing line ends. Standard input is the fuzz input
// (an in-memory file), and so is standard output. The loop must read to the
// end of input and end with 0, never crash, and answer every line that is
// not blank (a line that is not UTF-8 included) with exactly one response.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "daemon.h"
#include "fuzz_target.h"
#include "vantrel/text.h"

namespace {

// Puts `fd` in place of `target` for one scope.
class Redirect {
 public:
  Redirect(int target, int fd) : target_(target), saved_(::dup(target)) {
    if (saved_ < 0 || ::dup2(fd, target) < 0) vantrel_fuzz::fail("redirect");
  }
  ~Redirect() {
    ::dup2(saved_, target_);
    ::close(saved_);
  }
  Redirect(const Redirect&) = delete;
  Redirect& operator=(const Redirect&) = delete;

 private:
  int target_;
  int saved_;
};

// How many responses the input's lines call for: one per line, the last one
// without its line feed included, unless the line is blank.
std::size_t lines_to_answer(std::string_view input) {
  std::size_t count = 0;
  while (!input.empty()) {
    const std::size_t nl = input.find('\n');
    std::string_view line = input.substr(0, nl);
    input.remove_prefix(nl == std::string_view::npos ? input.size() : nl + 1);
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!vantrel_core::is_valid_utf8(line) || !vantrel_core::is_blank(line)) ++count;
  }
  return count;
}

std::size_t line_feeds_in(int fd) {
  std::size_t count = 0;
  char buf[4096];
  vantrel_fuzz::check(::lseek(fd, 0, SEEK_SET) == 0, "output rewound");
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) count += std::count(buf, buf + n, '\n');
  return count;
}

}  // namespace

VANTREL_FUZZ_TARGET(daemon) {
  static const int output = ::memfd_create("daemon-output", MFD_CLOEXEC);
  static const int input = ::memfd_create("daemon-input", MFD_CLOEXEC);
  vantrel_fuzz::check(output >= 0 && input >= 0, "descriptors open");
  vantrel_fuzz::check(::ftruncate(input, 0) == 0 && ::lseek(input, 0, SEEK_SET) == 0,
                      "input reset");
  vantrel_fuzz::check(::ftruncate(output, 0) == 0 && ::lseek(output, 0, SEEK_SET) == 0,
                      "output reset");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(input, data + done, size - done);
    vantrel_fuzz::check(n > 0, "input written");
    done += static_cast<std::size_t>(n);
  }
  vantrel_fuzz::check(::lseek(input, 0, SEEK_SET) == 0, "input rewound");

  int code = -1;
  {
    const Redirect in(STDIN_FILENO, input);
    const Redirect out(STDOUT_FILENO, output);
    code = vantrel::run_daemon(std::nullopt, vantrel::ScanOptions{});
  }
  vantrel_fuzz::check(code == 0, "daemon exit code");
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  vantrel_fuzz::check(line_feeds_in(output) == lines_to_answer(text), "one response per line");
  return 0;
}
