#include "matcher.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

namespace vantrel_core {

static_assert(std::endian::native == std::endian::little,
              "the prefilter reads grams as little-endian words");

namespace {

constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint32_t kDeadState = 0;
constexpr std::uint32_t kStartState = 1;
constexpr std::uint8_t kDead = 1;
constexpr std::uint8_t kStart = 2;
constexpr std::uint8_t kMatch = 4;
// Size of the full transition table. Shallow states, where a search spends
// most of its time, get full rows; deeper ones (mostly single-child chains)
// stay sparse. A small table keeps building cheap: a one-shot process pays
// for every fresh page it touches.
constexpr std::size_t kDenseEntries = std::size_t{1} << 14;
constexpr std::uint64_t kCaseBits = 0x2020202020202020ULL;

inline unsigned char fold(unsigned char b) {
  return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b | 0x20) : b;
}

// Build-time trie: children as sibling lists, except the start node's table.
struct Trie {
  std::vector<std::uint32_t> first_child;
  std::vector<std::uint32_t> next_sibling;
  std::vector<std::uint32_t> own;  // phrase ending here that can win, or kNone
  std::vector<std::uint16_t> depth;
  std::vector<unsigned char> label;
  std::array<std::uint32_t, 256> start_children;

  // `capacity` bounds the node count: reserving it avoids regrowth, which
  // would touch twice the memory (costly for a process that builds once).
  explicit Trie(std::size_t capacity) {
    first_child.reserve(capacity);
    next_sibling.reserve(capacity);
    own.reserve(capacity);
    depth.reserve(capacity);
    label.reserve(capacity);
    start_children.fill(kNone);
    add(0, 0);
  }
  std::size_t size() const { return own.size(); }

  std::uint32_t add(unsigned char byte, std::uint16_t d) {
    first_child.push_back(kNone);
    next_sibling.push_back(kNone);
    own.push_back(kNone);
    depth.push_back(d);
    label.push_back(byte);
    return static_cast<std::uint32_t>(own.size() - 1);
  }

  std::uint32_t child(std::uint32_t node, unsigned char byte) const {
    if (node == 0) return start_children[byte];
    for (std::uint32_t c = first_child[node]; c != kNone; c = next_sibling[c]) {
      if (label[c] == byte) return c;
    }
    return kNone;
  }

  std::uint32_t add_child(std::uint32_t node, unsigned char byte) {
    const std::uint32_t c = add(byte, static_cast<std::uint16_t>(depth[node] + 1));
    if (node == 0) {
      start_children[byte] = c;
    } else {
      next_sibling[c] = first_child[node];
      first_child[node] = c;
    }
    return c;
  }
};

// The trie's states numbered breadth-first (0 dead, 1 start), each with its
// children sorted by byte in one shared array.
struct Layout {
  std::vector<std::uint32_t> child_begin;  // per state, plus one
  std::vector<unsigned char> child_label;  // folded byte
  std::vector<std::uint32_t> child_next;
  std::vector<std::uint16_t> depth;
  std::vector<std::uint32_t> own;
  std::size_t size() const { return depth.size(); }
};

Layout lay_out(const Trie& trie) {
  const std::size_t n = trie.size() + 1;
  Layout l;
  l.child_begin.assign(n + 1, 0);
  l.child_label.reserve(n);
  l.child_next.reserve(n);
  l.depth.assign(n, 0);
  l.own.assign(n, kNone);
  std::vector<std::uint32_t> order;  // trie node of each state, less one
  order.reserve(trie.size());
  order.push_back(0);
  std::vector<std::pair<unsigned char, std::uint32_t>> kids;
  for (std::size_t h = 0; h < order.size(); ++h) {
    const std::uint32_t x = order[h];
    const auto q = static_cast<std::uint32_t>(h + 1);
    l.depth[q] = trie.depth[x];
    l.own[q] = trie.own[x];
    l.child_begin[q] = static_cast<std::uint32_t>(l.child_label.size());
    kids.clear();
    if (x == 0) {
      for (unsigned b = 0; b < 256; ++b) {
        if (trie.start_children[b] != kNone)
          kids.emplace_back(static_cast<unsigned char>(b), trie.start_children[b]);
      }
    } else {
      for (std::uint32_t c = trie.first_child[x]; c != kNone; c = trie.next_sibling[c]) {
        kids.emplace_back(trie.label[c], c);
      }
      std::sort(kids.begin(), kids.end());
    }
    for (const auto& [b, c] : kids) {
      l.child_label.push_back(b);
      l.child_next.push_back(static_cast<std::uint32_t>(order.size() + 1));
      order.push_back(c);
    }
  }
  l.child_begin[n] = static_cast<std::uint32_t>(l.child_label.size());
  return l;
}

}  // namespace

Expected<PhraseMatcher, std::string> PhraseMatcher::build(std::span<const std::string> phrases,
                                                          const PhraseMatcherLimits& limits) {
  std::vector<std::string_view> views(phrases.begin(), phrases.end());
  return build(std::span<const std::string_view>(views), limits);
}

Expected<PhraseMatcher, std::string> PhraseMatcher::build(std::span<const std::string_view> phrases,
                                                          const PhraseMatcherLimits& limits) {
  const std::size_t max_bytes = std::min<std::size_t>(limits.max_phrase_bytes, 65535);
  if (phrases.size() > limits.max_phrases) {
    return Unexpected{"too many phrases: " + std::to_string(phrases.size()) + " (the limit is " +
                      std::to_string(limits.max_phrases) + ")"};
  }
  PhraseMatcher m;
  m.phrase_count_ = phrases.size();
  m.phrase_len_.reserve(phrases.size());

  // Byte classes: one per folded byte some phrase uses, class 0 for the rest.
  std::array<bool, 256> used{};
  std::size_t total_bytes = 0;
  for (std::size_t i = 0; i < phrases.size(); ++i) {
    if (phrases[i].size() > max_bytes) {
      return Unexpected{"phrase " + std::to_string(i) + " is " + std::to_string(phrases[i].size()) +
                        " bytes long (the limit is " + std::to_string(max_bytes) + " bytes)"};
    }
    m.phrase_len_.push_back(static_cast<std::uint16_t>(phrases[i].size()));
    total_bytes += phrases[i].size();
    for (unsigned char b : phrases[i]) used[fold(b)] = true;
  }
  std::array<std::uint8_t, 256> folded_class{};
  unsigned classes = 1;
  for (unsigned b = 0; b < 256; ++b) {
    if (used[b]) folded_class[b] = static_cast<std::uint8_t>(classes++);
  }
  for (unsigned b = 0; b < 256; ++b)
    m.byte_class_[b] = folded_class[fold(static_cast<unsigned char>(b))];
  m.stride_shift_ = static_cast<unsigned>(std::bit_width(classes - 1));

  // Trie in list order. Leftmost-first lets the earliest phrase win at a
  // start, so a phrase that runs through another phrase's end (or repeats
  // it) can never be reported and is left out.
  std::size_t reported = 0;
  std::size_t shortest = max_bytes + 1;
  Layout layout;
  {
    Trie trie(std::min(total_bytes, limits.max_states) + 1);
    for (std::size_t i = 0; i < phrases.size(); ++i) {
      std::uint32_t node = 0;
      bool shadowed = false;
      for (unsigned char raw : phrases[i]) {
        if (trie.own[node] != kNone) {
          shadowed = true;
          break;
        }
        const unsigned char b = fold(raw);
        std::uint32_t next = trie.child(node, b);
        if (next == kNone) {
          if (trie.size() + 1 >= limits.max_states) {
            return Unexpected{"too many automaton states (the limit is " +
                              std::to_string(limits.max_states) + ")"};
          }
          next = trie.add_child(node, b);
        }
        node = next;
      }
      if (shadowed || trie.own[node] != kNone) continue;
      trie.own[node] = static_cast<std::uint32_t>(i);
      ++reported;
      shortest = std::min(shortest, phrases[i].size());
    }
    if (reported == 0) return m;  // matches nothing
    layout = lay_out(trie);
  }
  const std::size_t n = layout.size();
  const std::vector<std::uint32_t>& child_begin = layout.child_begin;
  const std::vector<unsigned char>& child_label = layout.child_label;
  const std::vector<std::uint32_t>& child_next = layout.child_next;
  const std::vector<std::uint16_t>& depth = layout.depth;
  const std::vector<std::uint32_t>& own = layout.own;

  const std::size_t stride = std::size_t{1} << m.stride_shift_;
  const auto dense =
      static_cast<std::uint32_t>(std::min(n, std::max<std::size_t>(2, kDenseEntries / stride)));
  m.dense_count_ = dense;
  m.dense_.assign(static_cast<std::size_t>(dense) << m.stride_shift_, kDeadState);
  m.kind_.assign(n, 0);
  m.match_phrase_.assign(n, kNone);
  m.match_gap_.assign(n, 0);
  m.sparse_fail_.assign(n - dense, kDeadState);
  {
    // Pass 1, breadth-first: failure links over the ordinary automaton
    // (dense rows hold its full transitions for now), and for every state
    // the best match already complete within the text it stands for:
    // leftmost start, then earliest phrase. A deeper state on the same path
    // only ever improves on it, so a search can keep the last one it sees.
    std::vector<std::uint32_t> fail(n, kStartState);
    std::vector<std::uint32_t> out(n, kNone);            // deepest phrase end on the failure chain
    std::vector<std::uint32_t>& best = m.match_phrase_;  // phrase of the best complete match
    std::vector<std::uint16_t> best_at(n, 0);            // its start, from the state's own start
    const auto row = [&](std::uint32_t q) {
      return m.dense_.data() + (static_cast<std::size_t>(q) << m.stride_shift_);
    };
    const auto ordinary_step = [&](std::uint32_t f, unsigned char b) {
      for (;;) {
        if (f < dense) return row(f)[folded_class[b]];
        for (std::uint32_t i = child_begin[f]; i < child_begin[f + 1]; ++i) {
          if (child_label[i] == b) return child_next[i];
        }
        f = fail[f];
      }
    };
    out[kStartState] = own[kStartState] != kNone ? kStartState : kNone;
    best[kStartState] = own[kStartState];
    for (std::uint32_t q = kStartState; q < n; ++q) {
      if (q < dense) {
        std::uint32_t* r = row(q);
        if (q == kStartState) {
          std::fill(r, r + stride, kStartState);
        } else {
          std::copy_n(row(fail[q]), stride, r);
        }
        for (std::uint32_t i = child_begin[q]; i < child_begin[q + 1]; ++i) {
          r[folded_class[child_label[i]]] = child_next[i];
        }
      }
      for (std::uint32_t i = child_begin[q]; i < child_begin[q + 1]; ++i) {
        const std::uint32_t v = child_next[i];
        const std::uint32_t f =
            q == kStartState ? kStartState : ordinary_step(fail[q], child_label[i]);
        fail[v] = f;
        out[v] = own[v] != kNone ? v : out[f];
        best[v] = best[q];
        best_at[v] = best_at[q];
        if (out[v] != kNone) {
          const auto at = static_cast<std::uint16_t>(depth[v] - depth[out[v]]);
          const std::uint32_t phrase = own[out[v]];
          if (best[v] == kNone || at < best_at[v] || (at == best_at[v] && phrase < best[v])) {
            best[v] = phrase;
            best_at[v] = at;
          }
        }
      }
    }

    // Once a match is known, only candidates starting at or before it
    // matter: a failure that would drop them ends the search instead.
    const auto decided = [&](std::uint32_t q) {
      if (q == kStartState) return own[q] != kNone;
      return best[q] != kNone && depth[fail[q]] + best_at[q] < depth[q];
    };

    // Pass 2, breadth-first: rewrite the dense rows as leftmost-first rows.
    for (std::uint32_t q = kStartState; q < dense; ++q) {
      std::uint32_t* r = row(q);
      if (decided(q)) {
        std::fill(r, r + stride, kDeadState);
      } else if (q != kStartState) {
        std::copy_n(row(fail[q]), stride, r);
      }
      for (std::uint32_t i = child_begin[q]; i < child_begin[q + 1]; ++i) {
        r[folded_class[child_label[i]]] = child_next[i];
      }
    }
    for (std::uint32_t q = dense; q < n; ++q) {
      if (!decided(q)) m.sparse_fail_[q - dense] = fail[q];
    }

    m.kind_[kDeadState] = kDead;
    m.kind_[kStartState] = kStart;
    for (std::uint32_t q = kStartState; q < n; ++q) {
      if (best[q] == kNone) continue;
      m.kind_[q] |= kMatch;
      m.match_gap_[q] = static_cast<std::uint16_t>(depth[q] - best_at[q] - m.phrase_len_[best[q]]);
    }
  }

  // Prefilter over the first bytes of every phrase that can be reported; an
  // empty phrase matches everywhere, so then there is nothing to skip.
  if (shortest > 0) {
    Prefilter& pf = m.prefilter_;
    pf.gram = static_cast<unsigned>(std::min<std::size_t>(8, shortest));
    pf.mask = pf.gram == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * pf.gram)) - 1;
    pf.mask &= ~kCaseBits;
    // About 64 slots per phrase keeps false candidates near 1 in 64 starts
    // of ordinary text.
    const unsigned log2_slots =
        std::clamp(static_cast<unsigned>(std::bit_width(reported * 64 - 1)), 12u, 20u);
    pf.shift = 64 - log2_slots;
    pf.table.assign(std::size_t{1} << log2_slots, 0);
    for (std::uint32_t q = kStartState + 1; q < n; ++q) {
      if (own[q] == kNone) continue;
      const std::string_view p = phrases[own[q]];
      std::uint64_t x = 0;
      for (unsigned k = 0; k < pf.gram; ++k)
        x |= std::uint64_t{static_cast<unsigned char>(p[k])} << (8 * k);
      pf.table[pf.slot(x)] = 1;
    }
  }

  // Sparse states step through their children in the layout's arrays.
  m.sparse_begin_ = std::move(layout.child_begin);
  m.sparse_label_ = std::move(layout.child_label);
  m.sparse_next_ = std::move(layout.child_next);
  return m;
}

std::size_t PhraseMatcher::Prefilter::next(const unsigned char* text, std::size_t size,
                                           std::size_t pos) const {
  constexpr std::size_t npos = ~std::size_t{0};
  const auto load = [text](std::size_t i) {
    std::uint64_t w;
    std::memcpy(&w, text + i, 8);
    return w;
  };
  std::size_t i = pos;
  // Every start is tested independently, so the loads and hashes of
  // neighbouring starts overlap in the pipeline.
  for (; i + 11 <= size; i += 4) {
    if (hit(load(i))) return i;
    if (hit(load(i + 1))) return i + 1;
    if (hit(load(i + 2))) return i + 2;
    if (hit(load(i + 3))) return i + 3;
  }
  for (; i + 8 <= size; ++i) {
    if (hit(load(i))) return i;
  }
  for (; i + gram <= size; ++i) {
    std::uint64_t w = 0;
    for (std::size_t k = 0; i + k < size; ++k) w |= std::uint64_t{text[i + k]} << (8 * k);
    if (hit(w)) return i;
  }
  return npos;
}

inline std::uint32_t PhraseMatcher::sparse_step(std::uint32_t state, unsigned char byte) const {
  const unsigned char b = fold(byte);
  while (state >= dense_count_) {
    for (std::uint32_t i = sparse_begin_[state], e = sparse_begin_[state + 1]; i < e; ++i) {
      if (sparse_label_[i] == b) return sparse_next_[i];
    }
    state = sparse_fail_[state - dense_count_];
  }
  return dense_[(static_cast<std::size_t>(state) << stride_shift_) + byte_class_[byte]];
}

bool PhraseMatcher::find_at(std::string_view text, std::size_t at, PhraseMatch& match) const {
  if (kind_.empty()) return false;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  bool found = false;
  if (kind_[kStartState] & kMatch) {
    match = {match_phrase_[kStartState], at, at};
    found = true;
  }
  std::uint32_t q = kStartState;
  std::size_t pos = at;
  for (;;) {
    if (q == kStartState && prefilter_.gram != 0) {
      pos = prefilter_.next(p, size, pos);
      if (pos == ~std::size_t{0}) return false;
    }
    // Walk until the automaton reaches a state that needs attention.
    for (;;) {
      if (pos >= size) return found;
      const unsigned char b = p[pos++];
      q = q < dense_count_ ? dense_[(static_cast<std::size_t>(q) << stride_shift_) + byte_class_[b]]
                           : sparse_step(q, b);
      if (kind_[q] != 0) break;
    }
    const std::uint8_t k = kind_[q];
    if (k & kDead) return found;
    if (k & kMatch) {
      match.phrase = match_phrase_[q];
      match.end = pos - match_gap_[q];
      match.start = match.end - phrase_len_[match.phrase];
      found = true;
    }
  }
}

std::vector<PhraseMatch> PhraseMatcher::find_all(std::string_view text) const {
  std::vector<PhraseMatch> out;
  for_each(text, [&out](const PhraseMatch& m) { out.push_back(m); });
  return out;
}

}  // namespace vantrel_core
