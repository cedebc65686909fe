// The phrase matcher's first pass: a bit per hashed window of `gram` bytes
// (letters' case bit cleared), set for the windows the phrases were given.
// It tests text positions on a lattice of step `stride` and reports those
// whose window's bit is set: every position holding one of the windows, and
// about one in (table bits / windows) others.
//
// Two implementations test the same table the same way: one position at a
// time, or eight per step with AVX2 where the processor has it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace vantrel_core {

struct WindowFilter {
  static constexpr std::size_t npos = ~std::size_t{0};

  unsigned gram = 0;           // window bytes, 1 to 8; 0 when there is no filter
  unsigned stride = 1;         // 1, 2 or 4
  unsigned bits = 0;           // log2 of the table's bit count
  std::uint64_t key_mask = 0;  // keeps the window's bytes, without the case bit
  std::span<const std::uint64_t> table;

  // The window starting with the eight bytes `word` (little-endian), as the
  // tables key it.
  std::uint64_t key(std::uint64_t word) const { return word & key_mask; }

  // Hash of a key; its top `bits` bits index the table. Two 32-bit products,
  // so that the vector form needs no 64-bit multiply.
  static std::uint32_t hash(std::uint64_t key) {
    return static_cast<std::uint32_t>(key) * 0x9E3779B1u +
           static_cast<std::uint32_t>(key >> 32) * 0x85EBCA77u;
  }
  std::uint32_t slot(std::uint64_t key) const { return hash(key) >> (32 - bits); }
  bool hit(std::uint64_t word) const {
    const std::uint32_t s = slot(key(word));
    return (table[s >> 6] >> (s & 63)) & 1;
  }

  // The eight bytes at `at`, zero beyond the end of the text.
  static std::uint64_t load(const unsigned char* text, std::size_t size, std::size_t at) {
    std::uint64_t w = 0;
    std::memcpy(&w, text + at, size - at >= 8 ? 8 : size - at);
    return w;
  }

  // Up to 32 lattice positions and which of them hit: bit k stands for
  // base + k * stride.
  struct Block {
    std::size_t base = 0;
    std::uint32_t hits = 0;
  };
  static constexpr std::size_t kBlockPositions = 32;

  // The first block of the lattice from `from` (blocks start at from + 32k
  // strides) with a hit at a position up to `last`, hits beyond `last`
  // cleared; no hits when there is none. Needs last + gram <= size.
  Block next_block_scalar(const unsigned char* text, std::size_t size, std::size_t from,
                          std::size_t last) const;
  // The same, eight positions per vector step. Call only where cpu_has_avx2().
  Block next_block_avx2(const unsigned char* text, std::size_t size, std::size_t from,
                        std::size_t last) const;

 private:
  // Hits of the block at `base`, one position at a time, reading no byte
  // past the end.
  std::uint32_t block_hits_scalar(const unsigned char* text, std::size_t size,
                                  std::size_t base) const;
};

// True when the processor runs AVX2 code.
bool cpu_has_avx2();

}  // namespace vantrel_core
