#include "run_vantrel.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace vantrel_test {

std::string vantrel_exe() { return VANTREL_EXE; }
std::string patterns_tool_exe() { return VANTREL_PATTERNS_EXE; }

namespace {

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

}  // namespace

RunResult run_vantrel(const std::vector<std::string>& args, const RunOptions& options) {
  ::signal(SIGPIPE, SIG_IGN);
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  int pty_master = -1, pty_slave = -1;
  if (options.stdin_is_terminal) {
    if (::openpty(&pty_master, &pty_slave, nullptr, nullptr, nullptr) != 0) {
      ::close(out_pipe[0]);
      ::close(out_pipe[1]);
      ::close(err_pipe[0]);
      ::close(err_pipe[1]);
      RunResult unavailable;
      unavailable.terminal_unavailable = true;
      return unavailable;
    }
  } else if (::pipe(in_pipe) != 0) {
    throw std::runtime_error("pipe");
  }

  std::vector<std::string> env_strings = {"PATH=/usr/bin:/bin", "LC_ALL=C"};
  for (const auto& [k, v] : options.env) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::string exe = options.exe.value_or(vantrel_exe());
  std::vector<std::string> argv_strings = {exe};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    if (options.stdin_is_terminal) {
      ::setsid();
      ::ioctl(pty_slave, TIOCSCTTY, 0);
      ::dup2(pty_slave, 0);
      ::close(pty_master);
      ::close(pty_slave);
    } else {
      ::dup2(in_pipe[0], 0);
      ::close(in_pipe[0]);
      ::close(in_pipe[1]);
    }
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    ::close(out_pipe[0]);
    ::close(out_pipe[1]);
    ::close(err_pipe[0]);
    ::close(err_pipe[1]);
    if (options.cwd && ::chdir(options.cwd->c_str()) != 0) ::_exit(127);
    ::execve(exe.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  int in_fd;
  if (options.stdin_is_terminal) {
    ::close(pty_slave);
    in_fd = pty_master;
  } else {
    ::close(in_pipe[0]);
    in_fd = in_pipe[1];
  }
  set_nonblocking(out_pipe[0]);
  set_nonblocking(err_pipe[0]);

  RunResult result;
  std::size_t written = 0;
  bool in_open = true;
  if (options.stdin_is_terminal) {
    // The terminal stays open (as a real one would); only the data is typed.
    (void)!::write(in_fd, options.stdin_data.data(), options.stdin_data.size());
    written = options.stdin_data.size();
  } else {
    set_nonblocking(in_fd);
  }
  bool out_open = true, err_open = true;
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  while (out_open || err_open) {
    if (!options.stdin_is_terminal && in_open && written >= options.stdin_data.size()) {
      ::close(in_fd);
      in_open = false;
    }
    std::vector<pollfd> fds;
    if (out_open) fds.push_back({out_pipe[0], POLLIN, 0});
    if (err_open) fds.push_back({err_pipe[0], POLLIN, 0});
    if (!options.stdin_is_terminal && in_open) fds.push_back({in_fd, POLLOUT, 0});
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    ::poll(fds.data(), fds.size(), static_cast<int>(left.count()));
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == in_fd) {
        const ssize_t n = ::write(in_fd, options.stdin_data.data() + written, options.stdin_data.size() - written);
        if (n > 0) {
          written += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN) {
          ::close(in_fd);  // the child stopped reading
          in_open = false;
        }
        continue;
      }
      char buf[65536];
      const ssize_t n = ::read(p.fd, buf, sizeof buf);
      if (n > 0) {
        (p.fd == out_pipe[0] ? result.out : result.err).append(buf, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EAGAIN) {
        (p.fd == out_pipe[0] ? out_open : err_open) = false;
      }
    }
  }
  if (in_open) ::close(in_fd);
  ::close(out_pipe[0]);
  ::close(err_pipe[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!result.timed_out && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

InteractiveProcess::InteractiveProcess(const std::vector<std::string>& args) {
  ::signal(SIGPIPE, SIG_IGN);
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe(in_pipe) != 0 || ::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0) throw std::runtime_error("pipe");
  std::string exe = vantrel_exe();
  std::vector<std::string> argv_strings = {exe};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_strings) argv.push_back(a.data());
  argv.push_back(nullptr);
  char path_env[] = "PATH=/usr/bin:/bin";
  char* envp[] = {path_env, nullptr};
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) {
    ::dup2(in_pipe[0], 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) ::close(fd);
    ::execve(exe.c_str(), argv.data(), envp);
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  in_ = in_pipe[1];
  out_ = out_pipe[0];
  err_ = err_pipe[0];
}

InteractiveProcess::~InteractiveProcess() {
  if (!exited_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) ::close(fd);
  }
}

bool InteractiveProcess::write(const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(in_, data.data() + done, data.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::optional<std::string> InteractiveProcess::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::size_t nl = pending_.find('\n');
    if (nl != std::string::npos) {
      std::string line = pending_.substr(0, nl + 1);
      pending_.erase(0, nl + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || out_ < 0) return std::nullopt;
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[65536];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    pending_.append(buf, static_cast<std::size_t>(n));
  }
}

void InteractiveProcess::close_stdin() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void InteractiveProcess::close_stdout() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

std::optional<int> InteractiveProcess::wait(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!exited_) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exited_ = true;
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    ::usleep(2000);
  }
  return exit_code_;
}

std::string InteractiveProcess::stderr_text() {
  std::string text;
  set_nonblocking(err_);
  char buf[4096];
  ssize_t n;
  while ((n = ::read(err_, buf, sizeof buf)) > 0) text.append(buf, static_cast<std::size_t>(n));
  return text;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vantrel-test-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
  const std::string p = path_ + "/" + name;
  std::ofstream(p, std::ios::binary) << content;
  return p;
}

}  // namespace vantrel_test
