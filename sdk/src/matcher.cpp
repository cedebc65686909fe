#include "matcher.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "flat_image.h"

namespace vantrel_core {

// The arrays of a matcher built in memory.
struct PhraseMatcher::Tables {
  std::vector<std::uint32_t> dense;
  std::vector<std::uint32_t> sparse_begin;
  std::vector<std::uint8_t> sparse_label;
  std::vector<std::uint32_t> sparse_next;
  std::vector<std::uint32_t> sparse_fail;
  std::vector<std::uint8_t> kind;
  std::vector<std::uint32_t> match_phrase;
  std::vector<std::uint16_t> match_gap;
  std::vector<std::uint16_t> phrase_len;
  std::vector<std::uint8_t> prefilter;
};

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
  auto tables = std::make_shared<Tables>();
  Tables& t = *tables;
  t.phrase_len.reserve(phrases.size());

  // Byte classes: one per folded byte some phrase uses, class 0 for the rest.
  std::array<bool, 256> used{};
  std::size_t total_bytes = 0;
  for (std::size_t i = 0; i < phrases.size(); ++i) {
    if (phrases[i].size() > max_bytes) {
      return Unexpected{"phrase " + std::to_string(i) + " is " + std::to_string(phrases[i].size()) +
                        " bytes long (the limit is " + std::to_string(max_bytes) + " bytes)"};
    }
    t.phrase_len.push_back(static_cast<std::uint16_t>(phrases[i].size()));
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
    if (reported == 0) {  // matches nothing
      m.adopt(std::move(tables));
      return m;
    }
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
  t.dense.assign(static_cast<std::size_t>(dense) << m.stride_shift_, kDeadState);
  t.kind.assign(n, 0);
  t.match_phrase.assign(n, kNone);
  t.match_gap.assign(n, 0);
  t.sparse_fail.assign(n - dense, kDeadState);
  {
    // Pass 1, breadth-first: failure links over the ordinary automaton
    // (dense rows hold its full transitions for now), and for every state
    // the best match already complete within the text it stands for:
    // leftmost start, then earliest phrase. A deeper state on the same path
    // only ever improves on it, so a search can keep the last one it sees.
    std::vector<std::uint32_t> fail(n, kStartState);
    std::vector<std::uint32_t> out(n, kNone);           // deepest phrase end on the failure chain
    std::vector<std::uint32_t>& best = t.match_phrase;  // phrase of the best complete match
    std::vector<std::uint16_t> best_at(n, 0);           // its start, from the state's own start
    const auto row = [&](std::uint32_t q) {
      return t.dense.data() + (static_cast<std::size_t>(q) << m.stride_shift_);
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
      if (!decided(q)) t.sparse_fail[q - dense] = fail[q];
    }

    t.kind[kDeadState] = kDead;
    t.kind[kStartState] = kStart;
    for (std::uint32_t q = kStartState; q < n; ++q) {
      if (best[q] == kNone) continue;
      t.kind[q] |= kMatch;
      t.match_gap[q] = static_cast<std::uint16_t>(depth[q] - best_at[q] - t.phrase_len[best[q]]);
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
    t.prefilter.assign(std::size_t{1} << log2_slots, 0);
    for (std::uint32_t q = kStartState + 1; q < n; ++q) {
      if (own[q] == kNone) continue;
      const std::string_view p = phrases[own[q]];
      std::uint64_t x = 0;
      for (unsigned k = 0; k < pf.gram; ++k)
        x |= std::uint64_t{static_cast<unsigned char>(p[k])} << (8 * k);
      t.prefilter[pf.slot(x)] = 1;
    }
  }

  // Sparse states step through their children in the layout's arrays.
  t.sparse_begin = std::move(layout.child_begin);
  t.sparse_label = std::move(layout.child_label);
  t.sparse_next = std::move(layout.child_next);
  m.adopt(std::move(tables));
  return m;
}

void PhraseMatcher::adopt(std::shared_ptr<const Tables> tables) {
  const Tables& t = *tables;
  dense_ = t.dense;
  sparse_begin_ = t.sparse_begin;
  sparse_label_ = t.sparse_label;
  sparse_next_ = t.sparse_next;
  sparse_fail_ = t.sparse_fail;
  kind_ = t.kind;
  match_phrase_ = t.match_phrase;
  match_gap_ = t.match_gap;
  phrase_len_ = t.phrase_len;
  prefilter_.table = t.prefilter;
  tables_ = std::move(tables);
}

// Image sections, in this order: the scalars (phrase count, stride shift,
// dense state count, prefilter gram, shift and mask), the byte classes, then
// the arrays as declared in the class.
void PhraseMatcher::write_image(FlatImageWriter& out) const {
  const std::array<std::uint64_t, 6> scalars = {phrase_count_,   stride_shift_,    dense_count_,
                                                prefilter_.gram, prefilter_.shift, prefilter_.mask};
  out.add(std::span<const std::uint64_t>(scalars));
  out.add(std::span<const std::uint8_t>(byte_class_));
  out.add(dense_);
  out.add(sparse_begin_);
  out.add(sparse_label_);
  out.add(sparse_next_);
  out.add(sparse_fail_);
  out.add(kind_);
  out.add(match_phrase_);
  out.add(match_gap_);
  out.add(phrase_len_);
  out.add(prefilter_.table);
}

std::optional<PhraseMatcher> PhraseMatcher::read_image(FlatImageReader& in) {
  PhraseMatcher m;
  const auto scalars = in.next<std::uint64_t>();
  const auto classes = in.next<std::uint8_t>();
  m.dense_ = in.next<std::uint32_t>();
  m.sparse_begin_ = in.next<std::uint32_t>();
  m.sparse_label_ = in.next<std::uint8_t>();
  m.sparse_next_ = in.next<std::uint32_t>();
  m.sparse_fail_ = in.next<std::uint32_t>();
  m.kind_ = in.next<std::uint8_t>();
  m.match_phrase_ = in.next<std::uint32_t>();
  m.match_gap_ = in.next<std::uint16_t>();
  m.phrase_len_ = in.next<std::uint16_t>();
  m.prefilter_.table = in.next<std::uint8_t>();
  if (!in.ok() || scalars.size() != 6 || classes.size() != m.byte_class_.size())
    return std::nullopt;
  m.phrase_count_ = static_cast<std::size_t>(scalars[0]);
  m.stride_shift_ = static_cast<unsigned>(scalars[1]);
  m.dense_count_ = static_cast<std::uint32_t>(scalars[2]);
  m.prefilter_.gram = static_cast<unsigned>(scalars[3]);
  m.prefilter_.shift = static_cast<unsigned>(scalars[4]);
  m.prefilter_.mask = scalars[5];
  std::copy(classes.begin(), classes.end(), m.byte_class_.begin());

  // The sizes must fit together; the entries themselves are trusted.
  const std::size_t n = m.kind_.size();
  if (m.phrase_len_.size() != m.phrase_count_ || m.stride_shift_ > 8 || m.prefilter_.gram > 8) {
    return std::nullopt;
  }
  if (n == 0) return m;  // matches nothing
  const bool fits =
      n >= 2 && m.dense_count_ >= 2 && m.dense_count_ <= n &&
      m.dense_.size() == (static_cast<std::size_t>(m.dense_count_) << m.stride_shift_) &&
      m.sparse_begin_.size() == n + 1 && m.sparse_label_.size() == m.sparse_begin_[n] &&
      m.sparse_next_.size() == m.sparse_label_.size() &&
      m.sparse_fail_.size() == n - m.dense_count_ && m.match_phrase_.size() == n &&
      m.match_gap_.size() == n &&
      (m.prefilter_.gram == 0 ||
       (m.prefilter_.shift >= 44 && m.prefilter_.shift < 64 &&
        m.prefilter_.table.size() == std::size_t{1} << (64 - m.prefilter_.shift)));
  if (!fits) return std::nullopt;
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
