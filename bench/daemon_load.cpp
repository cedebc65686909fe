// Load generator for `vantrel scan --stdin`: throughput with a full pipe,
// per-request latency in lock-step, and the daemon's resident memory.
//
//   vantrel_daemon_load [--requests N] [--bytes B] [--latency] [--exe PATH]
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_data.h"
#include "child_process.h"

namespace {

using vantrel_bench::Child;
using vantrel_bench::status_kb;
using vantrel_bench::write_all;

// Reads until `lines` line feeds have arrived.
void read_lines(int fd, std::size_t lines) {
  char buf[1 << 16];
  while (lines > 0) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
      std::fprintf(stderr, "daemon closed its output early\n");
      std::exit(1);
    }
    lines -= static_cast<std::size_t>(std::count(buf, buf + n, '\n'));
  }
}

std::string request_line(std::size_t i, const std::string& text) {
  return "{\"id\":\"r" + std::to_string(i) + "\",\"text\":\"" + text + "\"}\n";
}

// Sends `count` requests from a writer thread while reading the responses, so
// neither pipe can fill up and block both processes.
void pump(const Child& d, std::size_t count, const std::vector<std::string>& texts) {
  std::thread writer([&] {
    std::string chunk;
    for (std::size_t i = 0; i < count; ++i) {
      chunk += request_line(i, texts[i % texts.size()]);
      if (chunk.size() > (1 << 16)) {
        write_all(d.in, chunk);
        chunk.clear();
      }
    }
    write_all(d.in, chunk);
  });
  read_lines(d.out, count);
  writer.join();
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t requests = 200000;
  std::size_t bytes = 200;
  bool latency = false;
  std::string exe = VANTREL_EXE;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--requests" && i + 1 < argc) requests = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--bytes" && i + 1 < argc) bytes = std::strtoull(argv[++i], nullptr, 10);
    else if (a == "--latency") latency = true;
    else if (a == "--exe" && i + 1 < argc) exe = argv[++i];
  }
  // A few different prompts so nothing is trivially cached.
  std::vector<std::string> texts;
  for (std::size_t k = 0; k < 16; ++k) {
    std::string t = vantrel_bench::english_prose(bytes + k * 7);
    t.resize(bytes);
    texts.push_back(t);
  }

  const Child d = vantrel_bench::spawn(exe, {"scan", "--stdin"});
  const std::size_t warmup = std::min<std::size_t>(10000, requests / 10 + 1);
  pump(d, warmup, texts);
  const long rss_after_warmup = status_kb(d.pid, "VmRSS:");

  const auto t0 = std::chrono::steady_clock::now();
  if (latency) {
    std::vector<double> us;
    us.reserve(requests);
    for (std::size_t i = 0; i < requests; ++i) {
      const auto s = std::chrono::steady_clock::now();
      write_all(d.in, request_line(i, texts[i % texts.size()]));
      read_lines(d.out, 1);
      us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - s).count());
    }
    std::sort(us.begin(), us.end());
    auto pct = [&](double p) { return us[std::min(us.size() - 1, static_cast<std::size_t>(p * us.size()))]; };
    std::printf("latency %zu-byte prompts, %zu requests: p50 %.1f us, p90 %.1f us, p99 %.1f us, max %.1f us\n",
                bytes, requests, pct(0.5), pct(0.9), pct(0.99), us.back());
  } else {
    pump(d, requests, texts);
  }
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const long rss_end = status_kb(d.pid, "VmRSS:");
  const long hwm = status_kb(d.pid, "VmHWM:");
  std::printf("%zu requests of %zu bytes in %.2f s: %.0f requests/s\n", requests, bytes, secs,
              static_cast<double>(requests) / secs);
  std::printf("daemon RSS after warm-up %ld kB, at end %ld kB, peak %ld kB\n", rss_after_warmup, rss_end, hwm);
  ::close(d.in);
  int status = 0;
  ::waitpid(d.pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
}
