// Byte tests sixteen lanes at a time, for the passes that look at every byte
// of a text. Where the processor has SSE2 (every x86-64 one)
// VANTREL_SIXTEEN_BYTES is defined and the helpers below exist; elsewhere
// callers keep their plain loops.
#pragma once

#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#define VANTREL_SIXTEEN_BYTES 1

namespace vantrel_core {

inline __m128i load16(const char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
inline __m128i load16(const unsigned char* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
// Lanes equal to c.
inline __m128i eq16(__m128i x, char c) {
  return _mm_cmpeq_epi8(x, _mm_set1_epi8(c));
}
// Lanes in [lo, hi], both ASCII (hi < 0x7F): the signed compares see bytes
// beyond ASCII as negative.
inline __m128i range16(__m128i x, char lo, char hi) {
  return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(lo - 1))),
                       _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(hi + 1))));
}
// Bit k set when lane k is (all ones, as the tests leave it, or) negative.
inline std::uint32_t bits16(__m128i lanes) {
  return static_cast<std::uint32_t>(_mm_movemask_epi8(lanes));
}
inline bool any16(__m128i lanes) {
  return _mm_movemask_epi8(lanes) != 0;
}

}  // namespace vantrel_core
#endif
