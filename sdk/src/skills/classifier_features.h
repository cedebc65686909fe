// The learned detector's features, shared by the skill and the training tool
// so that both see exactly the same numbers.
//
// Hashed features come from the words of the view (build_classifier_view):
// runs of ASCII letters and digits and of non-ASCII characters.
//   - word: a word of four or more ASCII letters is keyed by its first and
//     last letter, its length and the multiset of the letters between them,
//     so that letters swapped inside a word ("instrcutions") give the same
//     key; other words are keyed by their bytes;
//   - word pair: two neighbouring word keys, unless a line break or the end
//     of a sentence lies between them;
//   - character 3-, 4- and 5-grams of each word padded with a space on either
//     side, which survive typos and inflection.
// Each occurrence counts; a text's hashed part is the sum of its features'
// weights, each times occurrence_weight (below).
// Shape features are dense slots set from the view's statistics.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <cstdint>
#include <string_view>

#include "classifier_view.h"

namespace vantrel_core {

// Feature families; a model names the ones it was trained with.
enum FeatureFamily : std::uint32_t {
  kWordFeatures = 1u << 0,
  kWordPairFeatures = 1u << 1,
  kChar3Features = 1u << 2,
  kChar4Features = 1u << 3,
  kChar5Features = 1u << 4,
  kShapeFeatures = 1u << 5,
  // Not a family: each hashed bucket counts once per text, however often it
  // occurs (a long prompt that says "you" a hundred times is not a hundred
  // times more like an attack).
  kDistinctFeatures = 1u << 6,
};
inline constexpr std::uint32_t kAllFeatureFamilies = (1u << 7) - 1;

// Dense shape slots, each set when a statistic of the view reaches a
// threshold (so a higher value sets every slot below it too): the token-soup
// count, the longest repeated token run and the longest repeated character
// run. Ordinary text sets none; the text's length is deliberately not a
// feature, since attack collections are longer than everyday requests for
// reasons that do not generalise.
inline constexpr std::uint32_t kSoupThresholds[] = {4, 6, 8, 10, 12};
inline constexpr std::uint32_t kTokenRunThresholds[] = {3, 6, 12, 24, 48, 96};
inline constexpr std::uint32_t kCharRunThresholds[] = {8, 16, 32, 64, 128};
inline constexpr std::uint32_t kShapeSoupSlot = 0;
inline constexpr std::uint32_t kShapeTokenRunSlot = 5;
inline constexpr std::uint32_t kShapeCharRunSlot = 11;
inline constexpr std::uint32_t kShapeSlots = 16;

// The weight of each hashed feature occurrence in a text with n of them:
// n^-power (0 for n = 0). The power is the model's; at 0.5 a long text's sum
// grows with the square root of its length, at 1 the sum is a mean.
inline double occurrence_weight(std::uint64_t n, double power) {
  if (n == 0) return 0.0;
  const double x = static_cast<double>(n);
  return power == 0.5 ? 1.0 / std::sqrt(x) : std::pow(x, -power);
}

namespace classifier_detail {

constexpr std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// Order-independent contribution of one inner letter to a word key.
constexpr std::uint64_t letter_value(unsigned char c) { return mix(0x5bd1e995ULL * (c + 1)); }
inline constexpr auto kLetterValues = [] {
  std::array<std::uint64_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = letter_value(static_cast<unsigned char>(c));
  return t;
}();

constexpr bool is_word_byte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c >= 0x80 || (c >= 'A' && c <= 'Z');
}

constexpr bool ends_sentence(unsigned char c) {
  return c == '\n' || c == '.' || c == '!' || c == '?' || c == ';';
}

constexpr std::uint64_t kWordSalt = 0x1000000000000001ULL;
constexpr std::uint64_t kPairSalt = 0x2000000000000003ULL;
constexpr std::uint64_t kCharSalt[6] = {0, 0, 0, 0x3000000000000005ULL, 0x4000000000000007ULL,
                                        0x5000000000000009ULL};

// The key of the word view[begin, end).
inline std::uint64_t word_key(std::string_view view, std::size_t begin, std::size_t end) {
  const std::size_t n = end - begin;
  bool letters_only = n >= 4;
  for (std::size_t i = begin; letters_only && i < end; ++i) {
    const auto c = static_cast<unsigned char>(view[i]);
    letters_only = c >= 'a' && c <= 'z';
  }
  if (letters_only) {
    std::uint64_t inner = 0;
    for (std::size_t i = begin + 1; i + 1 < end; ++i) inner += kLetterValues[static_cast<unsigned char>(view[i])];
    return mix(inner ^ (static_cast<std::uint64_t>(static_cast<unsigned char>(view[begin])) << 56) ^
               (static_cast<std::uint64_t>(static_cast<unsigned char>(view[end - 1])) << 48) ^
               (static_cast<std::uint64_t>(n) << 40));
  }
  std::uint64_t h = 0xcbf29ce484222325ULL;
  for (std::size_t i = begin; i < end; ++i) h = (h ^ static_cast<unsigned char>(view[i])) * 0x100000001b3ULL;
  return mix(h);
}

// Multiplicative hashing: one multiplication per feature, the top bits kept.
constexpr std::uint32_t bucket_of(std::uint64_t key, std::uint64_t salt, std::uint32_t bits) {
  return static_cast<std::uint32_t>(((key ^ salt) * 0x9E3779B97F4A7C15ULL) >> (64 - bits));
}

}  // namespace classifier_detail

// Calls on_feature(bucket, family, unit, begin, end) for every hashed feature
// of `view` in the families of `families`, with buckets of `bits` bits
// (1-31). A feature belongs to a unit of the text, which explanations name:
// a word's own feature and its character n-grams belong to the word, a pair
// feature to the two words; `unit` is that unit's key (equal for equal
// words) and [begin, end) its place in the view. Linear in the view.
// on_word_end() is called after the features of each word.
template <class F, class W>
void for_each_hashed_feature(std::string_view view, std::uint32_t families, std::uint32_t bits,
                             F&& on_feature, W&& on_word_end) {
  using namespace classifier_detail;
  const std::size_t n = view.size();
  std::uint64_t prev_key = 0;
  std::size_t prev_begin = 0;
  bool have_prev = false;
  std::size_t i = 0;
  while (i < n) {
    while (i < n && !is_word_byte(static_cast<unsigned char>(view[i]))) {
      if (ends_sentence(static_cast<unsigned char>(view[i]))) have_prev = false;
      ++i;
    }
    if (i == n) break;
    const std::size_t begin = i;
    while (i < n && is_word_byte(static_cast<unsigned char>(view[i]))) ++i;
    const std::size_t end = i;
    const std::uint64_t key = word_key(view, begin, end);
    if (families & kWordFeatures) {
      on_feature(bucket_of(key, kWordSalt, bits), kWordFeatures, key, begin, end);
    }
    if ((families & kWordPairFeatures) && have_prev) {
      const std::uint64_t pair = prev_key * 0x9E3779B97F4A7C15ULL + key;
      on_feature(bucket_of(pair, kPairSalt, bits), kWordPairFeatures, pair, prev_begin, end);
    }
    prev_key = key;
    prev_begin = begin;
    have_prev = true;
    if (families & (kChar3Features | kChar4Features | kChar5Features)) {
      // The padded word " word " through a shift register of its last
      // bytes; p is the position in the padded word of the byte just added.
      std::uint64_t reg = ' ';
      for (std::size_t k = begin; k <= end; ++k) {
        reg = (reg << 8) | (k < end ? static_cast<unsigned char>(view[k]) : ' ');
        const std::size_t p = k - begin + 1;
        if ((families & kChar3Features) && p >= 2)
          on_feature(bucket_of(reg & 0xFFFFFFULL, kCharSalt[3], bits), kChar3Features, key, begin, end);
        if ((families & kChar4Features) && p >= 3)
          on_feature(bucket_of(reg & 0xFFFFFFFFULL, kCharSalt[4], bits), kChar4Features, key, begin, end);
        if ((families & kChar5Features) && p >= 4)
          on_feature(bucket_of(reg & 0xFFFFFFFFFFULL, kCharSalt[5], bits), kChar5Features, key, begin, end);
      }
    }
    on_word_end();
  }
}

template <class F>
void for_each_hashed_feature(std::string_view view, std::uint32_t families, std::uint32_t bits,
                             F&& on_feature) {
  for_each_hashed_feature(view, families, bits, on_feature, [] {});
}

// Windows of a text: its words in blocks of `block_words` (the last block may
// be shorter), each window two neighbouring blocks, or the only block of a
// short text. Calls on_feature as for_each_hashed_feature does, with the
// index of the block the feature falls in, and on_block_end(block) after each
// block (also the last, possibly short or empty one).
template <class F, class B>
void for_each_hashed_feature_in_blocks(std::string_view view, std::uint32_t families, std::uint32_t bits,
                                       std::uint32_t block_words, F&& on_feature, B&& on_block_end) {
  std::uint32_t block = 0, words = 0;
  for_each_hashed_feature(
      view, families, bits,
      [&](std::uint32_t b, std::uint32_t family, std::uint64_t unit, std::size_t begin, std::size_t end) {
        on_feature(b, family, unit, begin, end, block);
      },
      [&] {
        if (++words == block_words) {
          on_block_end(block++);
          words = 0;
        }
      });
  if (words > 0 || block == 0) on_block_end(block);
}

// Calls on_slot(slot) for every shape slot set by these statistics, in
// ascending slot order.
template <class F>
void for_each_shape_slot(const ViewStats& stats, F&& on_slot) {
  auto set = [&](std::uint32_t first, const auto& thresholds, std::uint32_t value) {
    for (std::uint32_t k = 0; k < std::size(thresholds); ++k) {
      if (value >= thresholds[k]) on_slot(first + k);
    }
  };
  set(kShapeSoupSlot, kSoupThresholds, stats.soup_window_max);
  set(kShapeTokenRunSlot, kTokenRunThresholds, stats.repeated_token_run);
  set(kShapeCharRunSlot, kCharRunThresholds, stats.repeated_char_run);
}

}  // namespace vantrel_core
