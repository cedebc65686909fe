// 64-bit FNV-1a, the fingerprint of gate configurations, pattern databases
// and normalized texts.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vantrel_core {

inline constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
inline constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;

class Fnv1a {
 public:
  void bytes(std::string_view data) {
    for (unsigned char b : data) byte(b);
  }
  void byte(std::uint8_t b) { h_ = (h_ ^ b) * kFnvPrime; }
  // Little-endian IEEE-754 bit pattern.
  void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
  void u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) byte(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  std::uint64_t value() const { return h_; }

 private:
  std::uint64_t h_ = kFnvOffsetBasis;
};

inline std::uint64_t fnv1a(std::string_view data) {
  Fnv1a h;
  h.bytes(data);
  return h.value();
}

}  // namespace vantrel_core
