#include "families.h"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>
#include <string_view>
#include <unordered_map>

#include "fnv.h"

namespace vantrel_tools {

namespace {

constexpr std::size_t kBands = 32;
constexpr std::size_t kRows = 3;
constexpr std::size_t kHashes = kBands * kRows;
using Signature = std::array<std::uint64_t, kHashes>;

std::uint64_t mix(std::uint64_t x) {
  // splitmix64 finaliser: cheap, and distinct seeds give independent-looking hashes.
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::vector<std::uint64_t> word_hashes(std::string_view doc) {
  std::vector<std::uint64_t> words;
  std::size_t i = 0;
  while (i < doc.size()) {
    while (i < doc.size() && static_cast<unsigned char>(doc[i]) <= ' ') ++i;
    vantrel_core::Fnv1a h;
    bool any = false;
    while (i < doc.size() && static_cast<unsigned char>(doc[i]) > ' ') {
      const unsigned char c = static_cast<unsigned char>(doc[i++]);
      h.byte(c >= 'A' && c <= 'Z' ? static_cast<std::uint8_t>(c + 32) : c);
      any = true;
    }
    if (any) words.push_back(h.value());
  }
  return words;
}

Signature signature(std::string_view doc) {
  const std::vector<std::uint64_t> words = word_hashes(doc);
  std::vector<std::uint64_t> shingles;
  if (words.size() < 4) {
    std::uint64_t h = 0;
    for (std::uint64_t w : words) h = mix(h ^ w);
    shingles.push_back(h);
  } else {
    for (std::size_t i = 0; i + 4 <= words.size(); ++i) {
      shingles.push_back(mix(mix(mix(words[i]) ^ words[i + 1]) ^ words[i + 2]) ^ words[i + 3]);
    }
  }
  Signature sig;
  sig.fill(std::numeric_limits<std::uint64_t>::max());
  for (std::uint64_t s : shingles) {
    for (std::size_t k = 0; k < kHashes; ++k)
      sig[k] = std::min(sig[k], mix(s ^ (0x5851F42D4C957F2DULL * (k + 1))));
  }
  return sig;
}

double similarity(const Signature& a, const Signature& b) {
  std::size_t same = 0;
  for (std::size_t k = 0; k < kHashes; ++k) same += a[k] == b[k] ? 1 : 0;
  return static_cast<double>(same) / static_cast<double>(kHashes);
}

struct UnionFind {
  explicit UnionFind(std::size_t n) : parent(n) {
    std::iota(parent.begin(), parent.end(), std::size_t{0});
  }
  std::size_t find(std::size_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  }
  void unite(std::size_t a, std::size_t b) {
    a = find(a);
    b = find(b);
    if (a != b) parent[std::max(a, b)] = std::min(a, b);
  }
  std::vector<std::size_t> parent;
};

}  // namespace

std::vector<std::uint32_t> near_duplicate_families(std::span<const std::string> docs,
                                                   double min_similarity) {
  std::vector<Signature> sigs;
  sigs.reserve(docs.size());
  for (const std::string& d : docs) sigs.push_back(signature(d));
  UnionFind uf(docs.size());
  // Locality-sensitive banding: only documents that agree on a whole band are
  // compared, which keeps the work near linear.
  std::unordered_map<std::uint64_t, std::vector<std::size_t>> buckets;
  for (std::size_t band = 0; band < kBands; ++band) {
    buckets.clear();
    for (std::size_t d = 0; d < docs.size(); ++d) {
      std::uint64_t key = band;
      for (std::size_t r = 0; r < kRows; ++r) key = mix(key ^ sigs[d][band * kRows + r]);
      buckets[key].push_back(d);
    }
    for (const auto& [key, members] : buckets) {
      for (std::size_t i = 1; i < members.size(); ++i) {
        const std::size_t d = members[i];
        if (uf.find(d) == uf.find(members[0])) continue;
        for (std::size_t j = 0; j < i; ++j) {
          if (similarity(sigs[d], sigs[members[j]]) >= min_similarity) {
            uf.unite(d, members[j]);
            break;
          }
        }
      }
    }
  }
  std::vector<std::uint32_t> ids(docs.size());
  std::unordered_map<std::size_t, std::uint32_t> dense;
  for (std::size_t d = 0; d < docs.size(); ++d) {
    const auto [it, fresh] =
        dense.try_emplace(uf.find(d), static_cast<std::uint32_t>(dense.size()));
    ids[d] = it->second;
  }
  return ids;
}

}  // namespace vantrel_tools
