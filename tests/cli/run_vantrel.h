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
};

struct RunResult {
  int exit_code = -1;  // -1 when killed by a signal or timed out
  bool timed_out = false;
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

// Path of the executable under test.
std::string vantrel_exe();

}  // namespace vantrel_test
