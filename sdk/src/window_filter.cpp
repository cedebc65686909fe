#include "window_filter.h"

#include <algorithm>
#include <bit>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VANTREL_X86 1
#endif

namespace vantrel_core {

static_assert(std::endian::native == std::endian::little,
              "windows are read as little-endian words");

namespace {

std::uint64_t load8(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

}  // namespace

std::size_t WindowFilter::next_scalar(const unsigned char* text, std::size_t size, std::size_t from,
                                      std::size_t last) const {
  const std::size_t s = stride;
  std::size_t p = from;
  if (size >= 8) {
    // Positions whose eight bytes lie inside the text; four per round, tested
    // independently, so their loads and hashes overlap in the pipeline.
    const std::size_t end = std::min(last, size - 8);
    for (; p <= end && end - p >= 3 * s; p += 4 * s) {
      const bool h0 = hit(load8(text + p));
      const bool h1 = hit(load8(text + p + s));
      const bool h2 = hit(load8(text + p + 2 * s));
      const bool h3 = hit(load8(text + p + 3 * s));
      if (h0 | h1 | h2 | h3) return h0 ? p : h1 ? p + s : h2 ? p + 2 * s : p + 3 * s;
    }
    for (; p <= end; p += s) {
      if (hit(load8(text + p))) return p;
    }
  }
  for (; p <= last; p += s) {
    if (hit(load(text, size, p))) return p;
  }
  return npos;
}

#ifdef VANTREL_X86

[[gnu::target("avx2")]] std::size_t WindowFilter::next_avx2(const unsigned char* text,
                                                            std::size_t size, std::size_t from,
                                                            std::size_t last) const {
  const std::size_t s = stride;
  // Each step tests positions p, p + s, ..., p + 7s. With a stride of 1 or 2
  // each 16-byte lane holds four positions' windows, spread into their low
  // and high halves by byte shuffles; with a stride of 4 the halves are
  // plain loads.
  const std::size_t reach = s == 4 ? 36 : 4 * s + 16;  // bytes a step reads from p
  const __m256i lo_pick = s == 1
                              ? _mm256_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6,  //
                                                 0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6)
                              : _mm256_setr_epi8(0, 1, 2, 3, 2, 3, 4, 5, 4, 5, 6, 7, 6, 7, 8, 9,  //
                                                 0, 1, 2, 3, 2, 3, 4, 5, 4, 5, 6, 7, 6, 7, 8, 9);
  const __m256i hi_pick =
      s == 1 ? _mm256_setr_epi8(4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8, 9, 10,  //
                                4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8, 9, 10)
             : _mm256_setr_epi8(4, 5, 6, 7, 6, 7, 8, 9, 8, 9, 10, 11, 10, 11, 12, 13,  //
                                4, 5, 6, 7, 6, 7, 8, 9, 8, 9, 10, 11, 10, 11, 12, 13);
  const __m256i lo_mask = _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(key_mask)));
  const __m256i hi_mask =
      _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(key_mask >> 32)));
  const __m256i k_lo = _mm256_set1_epi32(static_cast<int>(0x9E3779B1u));
  const __m256i k_hi = _mm256_set1_epi32(static_cast<int>(0x85EBCA77u));
  const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(32 - bits));
  const __m256i low5 = _mm256_set1_epi32(31);
  const auto* words = reinterpret_cast<const int*>(table.data());

  std::size_t p = from;
  for (; p <= last && size - p >= reach; p += 8 * s) {
    __m256i lo;
    __m256i hi;
    if (s == 4) {
      lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + p));
      hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text + p + 4));
    } else {
      const __m256i both = _mm256_inserti128_si256(
          _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p))),
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + p + 4 * s)), 1);
      lo = _mm256_shuffle_epi8(both, lo_pick);
      hi = _mm256_shuffle_epi8(both, hi_pick);
    }
    lo = _mm256_and_si256(lo, lo_mask);
    hi = _mm256_and_si256(hi, hi_mask);
    const __m256i h = _mm256_add_epi32(_mm256_mullo_epi32(lo, k_lo), _mm256_mullo_epi32(hi, k_hi));
    const __m256i slot = _mm256_srl_epi32(h, shift);
    const __m256i word = _mm256_i32gather_epi32(words, _mm256_srli_epi32(slot, 5), 4);
    // Moves each slot's bit into its lane's sign bit.
    const __m256i bit =
        _mm256_sllv_epi32(word, _mm256_sub_epi32(low5, _mm256_and_si256(slot, low5)));
    const auto hits = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(bit)));
    if (hits != 0) {
      const std::size_t at = p + s * static_cast<std::size_t>(std::countr_zero(hits));
      return at <= last ? at : npos;
    }
  }
  return next_scalar(text, size, p, last);
}

bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

#else

std::size_t WindowFilter::next_avx2(const unsigned char* text, std::size_t size, std::size_t from,
                                    std::size_t last) const {
  return next_scalar(text, size, from, last);
}

bool cpu_has_avx2() {
  return false;
}

#endif

}  // namespace vantrel_core
