// Shared by the fuzz targets. Each target file defines its entry with
// VANTREL_FUZZ_TARGET(name) { ... }, using `data` and `size`. Built with
// libFuzzer (-DVANTREL_FUZZ=ON) the entry is LLVMFuzzerTestOneInput; built
// for the test suite it is fuzz_<name>, which the replay program runs over
// the checked-in seeds and regression inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#ifdef VANTREL_FUZZ_REPLAY
#define VANTREL_FUZZ_TARGET(name) int fuzz_##name(const std::uint8_t* data, std::size_t size)
#else
#define VANTREL_FUZZ_TARGET(name) \
  extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
#endif

namespace vantrel_fuzz {

// A property the target checks does not hold: report it and crash, so the
// fuzzer keeps the input and the replay test fails.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

// Reads the input from the front: control bytes first, the rest as text.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size)
      : bytes_(reinterpret_cast<const char*>(data), size) {}

  // The next byte, or 0 once the input is used up.
  std::uint8_t byte() {
    if (bytes_.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(bytes_.front());
    bytes_.remove_prefix(1);
    return b;
  }
  // The next `n` bytes (fewer at the end).
  std::string_view take(std::size_t n) {
    const std::string_view t = bytes_.substr(0, n);
    bytes_.remove_prefix(t.size());
    return t;
  }
  std::string_view rest() const { return bytes_; }
  bool empty() const { return bytes_.empty(); }

 private:
  std::string_view bytes_;
};

}  // namespace vantrel_fuzz
