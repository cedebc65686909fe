// Runs the built `vantrel` executable as a child process and captures what it
// writes, for black-box tests of exit codes and output bytes.
#pragma once

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vantrel_test {

struct RunOptions {
  std::string stdin_data;
  bool stdin_is_terminal = false;  // feed stdin_data through a pseudo-terminal
  std::map<std::string, std::string> env;  // added to a minimal environment
  std::optional<std::string> cwd;
  std::chrono::milliseconds timeout{20000};
  std::optional<std::string> exe;  // another program to run instead of vantrel
};

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal or timed out
  bool timed_out = false;
  bool terminal_unavailable = false;  // no pseudo-terminal on this machine
  std::string out;
  std::string err;
};

RunResult run_vantrel(const std::vector<std::string>& args, const RunOptions& options = {});

// A fresh empty directory under the system temp dir, removed by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // Writes a file inside the directory and returns its path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// A running `vantrel` whose standard input and output the test drives step by
// step (for flushing and early-exit behaviour).
class InteractiveProcess {
 public:
  explicit InteractiveProcess(const std::vector<std::string>& args);
  ~InteractiveProcess();  // kills the child if it is still running
  InteractiveProcess(const InteractiveProcess&) = delete;
  InteractiveProcess& operator=(const InteractiveProcess&) = delete;

  // Writes to the child's stdin; false if the child closed it.
  bool write(const std::string& data);
  // The next line of stdout (with its line feed), or nullopt on timeout or end.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout);
  void close_stdin();
  void close_stdout();
  // Exit code once the child exits within the timeout; nullopt otherwise.
  std::optional<int> wait(std::chrono::milliseconds timeout);
  // Everything the child wrote to stderr so far (call after wait).
  std::string stderr_text();

 private:
  int pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  std::string pending_;
  bool exited_ = false;
  int exit_code_ = -1;
};

// Path of the executable under test.
std::string vantrel_exe();
// Path of the built vantrel-patterns.
std::string patterns_tool_exe();

}  // namespace vantrel_test
