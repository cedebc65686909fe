// The daemon loop over arbitrary input: request lines of any shape, blank
// lines, invalid UTF-8, missing line ends. Standard input is the fuzz input
// (an in-memory file), standard output is discarded. The loop must end with
// 0 at the end of input or 2 on unreadable input, and never crash.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "daemon.h"
#include "fuzz_target.h"

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

}  // namespace

VANTREL_FUZZ_TARGET(daemon) {
  static const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  static const int input = ::memfd_create("daemon-input", MFD_CLOEXEC);
  vantrel_fuzz::check(devnull >= 0 && input >= 0, "descriptors open");
  vantrel_fuzz::check(::ftruncate(input, 0) == 0 && ::lseek(input, 0, SEEK_SET) == 0,
                      "input reset");
  for (std::size_t done = 0; done < size;) {
    const ssize_t n = ::write(input, data + done, size - done);
    vantrel_fuzz::check(n > 0, "input written");
    done += static_cast<std::size_t>(n);
  }
  vantrel_fuzz::check(::lseek(input, 0, SEEK_SET) == 0, "input rewound");

  const Redirect in(STDIN_FILENO, input);
  const Redirect out(STDOUT_FILENO, devnull);
  const int code = vantrel::run_daemon(std::nullopt, vantrel::ScanOptions{});
  vantrel_fuzz::check(code == 0 || code == 2, "daemon exit code");
  return 0;
}
