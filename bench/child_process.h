// The executable under measurement as a child process on pipes, and the
// memory figures the kernel keeps for it.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace vantrel_bench {

struct Child {
  pid_t pid = -1;
  int in = -1;   // its standard input
  int out = -1;  // its standard output
};

// Starts `exe` with `args`; exits the benchmark if that is impossible.
Child spawn(const std::string& exe, const std::vector<std::string>& args);

// Writes every byte; false once the reader is gone.
bool write_all(int fd, std::string_view bytes);

// A "kB" field of /proc/PID/status, such as "VmRSS:" or "VmHWM:"; -1 if absent.
long status_kb(pid_t pid, const char* field);

}  // namespace vantrel_bench
