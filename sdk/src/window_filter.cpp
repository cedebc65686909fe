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

namespace {

// Clears the hits of positions beyond `last`.
std::uint32_t hits_up_to(std::uint32_t hits, std::size_t base, std::size_t stride,
                         std::size_t last) {
  const std::size_t span = (last - base) / stride + 1;  // positions up to last
  return span >= 32 ? hits : hits & ((std::uint32_t{1} << span) - 1);
}

}  // namespace

std::uint32_t WindowFilter::block_hits_scalar(const unsigned char* text, std::size_t size,
                                              std::size_t base) const {
  std::uint32_t hits = 0;
  std::size_t p = base;
  for (unsigned k = 0; k < kBlockPositions && p + gram <= size; ++k, p += stride) {
    const std::uint64_t word = size - p >= 8 ? load8(text + p) : load(text, size, p);
    hits |= static_cast<std::uint32_t>(hit(word)) << k;
  }
  return hits;
}

WindowFilter::Block WindowFilter::next_block_scalar(const unsigned char* text, std::size_t size,
                                                    std::size_t from, std::size_t last) const {
  for (std::size_t base = from; base <= last; base += kBlockPositions * stride) {
    const std::uint32_t hits = hits_up_to(block_hits_scalar(text, size, base), base, stride, last);
    if (hits != 0) return {base, hits};
  }
  return {};
}

#ifdef VANTREL_X86

namespace {

// What the vector steps of one search share.
struct Avx2Step {
  const unsigned char* text;
  std::size_t stride;
  __m256i lo_pick, hi_pick, lo_mask, hi_mask, k_lo, k_hi, low5;
  __m128i shift;
  const int* words;
};

// Hits of the eight positions p, p + s, ..., p + 7s, as bits. With a stride
// of 1 or 2 each 16-byte lane holds four positions' windows, spread into
// their low and high halves by byte shuffles; with a stride of 4 the halves
// are plain loads.
[[gnu::target("avx2"), gnu::always_inline]] inline std::uint32_t step_avx2(const Avx2Step& c,
                                                                           std::size_t p) {
  __m256i lo;
  __m256i hi;
  if (c.stride == 4) {
    lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c.text + p));
    hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c.text + p + 4));
  } else {
    const __m256i both = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(c.text + p))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(c.text + p + 4 * c.stride)), 1);
    lo = _mm256_shuffle_epi8(both, c.lo_pick);
    hi = _mm256_shuffle_epi8(both, c.hi_pick);
  }
  lo = _mm256_and_si256(lo, c.lo_mask);
  hi = _mm256_and_si256(hi, c.hi_mask);
  const __m256i h =
      _mm256_add_epi32(_mm256_mullo_epi32(lo, c.k_lo), _mm256_mullo_epi32(hi, c.k_hi));
  const __m256i slot = _mm256_srl_epi32(h, c.shift);
  const __m256i word = _mm256_i32gather_epi32(c.words, _mm256_srli_epi32(slot, 5), 4);
  // Moves each slot's bit into its lane's sign bit.
  const __m256i bit =
      _mm256_sllv_epi32(word, _mm256_sub_epi32(c.low5, _mm256_and_si256(slot, c.low5)));
  return static_cast<std::uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(bit)));
}

}  // namespace

[[gnu::target("avx2")]] WindowFilter::Block WindowFilter::next_block_avx2(const unsigned char* text,
                                                                          std::size_t size,
                                                                          std::size_t from,
                                                                          std::size_t last) const {
  const std::size_t s = stride;
  const Avx2Step c{
      text,
      s,
      s == 1 ? _mm256_setr_epi8(0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6,  //
                                0, 1, 2, 3, 1, 2, 3, 4, 2, 3, 4, 5, 3, 4, 5, 6)
             : _mm256_setr_epi8(0, 1, 2, 3, 2, 3, 4, 5, 4, 5, 6, 7, 6, 7, 8, 9,  //
                                0, 1, 2, 3, 2, 3, 4, 5, 4, 5, 6, 7, 6, 7, 8, 9),
      s == 1 ? _mm256_setr_epi8(4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8, 9, 10,  //
                                4, 5, 6, 7, 5, 6, 7, 8, 6, 7, 8, 9, 7, 8, 9, 10)
             : _mm256_setr_epi8(4, 5, 6, 7, 6, 7, 8, 9, 8, 9, 10, 11, 10, 11, 12, 13,  //
                                4, 5, 6, 7, 6, 7, 8, 9, 8, 9, 10, 11, 10, 11, 12, 13),
      _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(key_mask))),
      _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(key_mask >> 32))),
      _mm256_set1_epi32(static_cast<int>(0x9E3779B1u)),
      _mm256_set1_epi32(static_cast<int>(0x85EBCA77u)),
      _mm256_set1_epi32(31),
      _mm_cvtsi32_si128(static_cast<int>(32 - bits)),
      reinterpret_cast<const int*>(table.data()),
  };
  // Bytes a block reads from its first position: its last step's reach.
  const std::size_t reach = 24 * s + (s == 4 ? 36 : 4 * s + 16);
  std::size_t base = from;
  for (; base <= last && size - base >= reach; base += kBlockPositions * s) {
    // Four independent steps, so that their gathers overlap.
    const std::uint32_t hits = step_avx2(c, base) | step_avx2(c, base + 8 * s) << 8 |
                               step_avx2(c, base + 16 * s) << 16 |
                               step_avx2(c, base + 24 * s) << 24;
    if (hits != 0) {
      // Hits beyond `last` mean the rest lies beyond it too.
      return {base, hits_up_to(hits, base, s, last)};
    }
  }
  return next_block_scalar(text, size, base, last);
}

bool cpu_has_avx2() {
  // Asked once per process: the answer cannot change, and the check itself
  // writes libgcc's processor description.
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

#else

WindowFilter::Block WindowFilter::next_block_avx2(const unsigned char* text, std::size_t size,
                                                  std::size_t from, std::size_t last) const {
  return next_block_scalar(text, size, from, last);
}

bool cpu_has_avx2() {
  return false;
}

#endif

}  // namespace vantrel_core
