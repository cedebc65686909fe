// Compiling a phrase list: limits and byte classes, the trie of the phrases
// that can be reported, the leftmost-first automaton over it, and the window
// filter with its exact table.
#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "matcher.h"
#include "matcher_tables.h"
#include "text_model.h"

namespace vantrel_core {

namespace {

using matcher_tables::fold;
using matcher_tables::kDead;
using matcher_tables::kDeadState;
using matcher_tables::kMatch;
using matcher_tables::kNone;
using matcher_tables::kStart;
using matcher_tables::kStartState;

// Size of the full transition table. Shallow states, where a search spends
// most of its time, get full rows; deeper ones (mostly single-child chains)
// stay sparse. A small table keeps building cheap: a one-shot process pays
// for every fresh page it touches.
constexpr std::size_t kDenseEntries = std::size_t{1} << 14;
constexpr std::uint64_t kCaseBits = 0x2020202020202020ULL;

// Window filter shape. Windows shorter than this are too common in text to
// be worth filtering on.
constexpr unsigned kMinWindowBytes = 4;
// A window this long is rare enough that a longer stride pays for itself.
constexpr unsigned kStrideWindowBytes = 7;
// Bounds how far past a found match the first pass must look.
constexpr std::size_t kMaxWindowOffset = 48;
// Filter bits per distinct window: about one false hit per this many tested
// positions.
constexpr std::size_t kFilterBitsPerWindow = 128;
// Beyond this many phrases with one window at one offset, a hit walks the
// trie once instead of comparing each.
constexpr std::size_t kMaxPhrasesPerWindow = 32;
// Rarity (in 64ths of a bit) a window loses for each doubling of the
// phrases that hold it.
constexpr std::uint32_t kSharingPenalty = 32;

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
// children sorted by byte in one shared array. Children are numbered in the
// order they are listed, so the child at index i is state i + 2.
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

// How rare each window of `gram` bytes of a folded phrase is in ordinary
// text, for every start, in 64ths of a bit. Windows of seven or eight bytes
// are judged mostly by how often their seven-byte strings occurred (an
// eight-byte window at most as often as the rarer of its two), with a
// quarter of the trigram model's cost added; shorter ones by the trigram
// model alone. The folded phrase must be followed by padding; `prefix` is
// scratch space.
void window_costs(std::string_view folded, unsigned gram, std::vector<std::uint32_t>& prefix,
                  std::vector<std::uint32_t>& out) {
  namespace tt = text_model;
  const std::size_t n = folded.size();
  out.clear();
  if (n < gram) return;
  const auto sym = [&](std::size_t i) { return tt::symbol(static_cast<unsigned char>(folded[i])); };
  // prefix[i]: summed trigram costs of the bytes before i, each given the two before it.
  prefix.assign(n + 1, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t c =
        i < 2 ? 0
              : tt::kTrigramCost[(sym(i - 2) * tt::kSymbols + sym(i - 1)) * tt::kSymbols + sym(i)];
    prefix[i + 1] = prefix[i] + c;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(folded.data());
  for (std::size_t o = 0; o + gram <= n; ++o) {
    std::uint32_t trigram = tt::kUnigramCost[sym(o)];
    if (gram >= 2) trigram += tt::kBigramCost[sym(o) * tt::kSymbols + sym(o + 1)];
    if (gram >= 3) trigram += prefix[o + gram] - prefix[o + 2];
    if (gram < 7) {
      out.push_back(8 * trigram);
      continue;
    }
    unsigned width = tt::seven_byte_count_width(bytes + o);
    if (gram == 8) width = std::min(width, tt::seven_byte_count_width(bytes + o + 1));
    out.push_back(64 * (15 - width) + 2 * trigram);
  }
}

// About how often each window key occurs among the phrases' windows: each
// occurrence bumps one saturating byte counter in each of two rows, and a
// key reads back the smaller (never less than the truth). Small, since a
// process that builds a matcher at start-up pays for every fresh page; the
// count only steers the choice of windows.
class WindowCounts {
 public:
  void add(std::uint64_t key) {
    for (unsigned row = 0; row < 2; ++row) {
      std::uint8_t& c = counters_[index(key, row)];
      if (c != 0xFF) ++c;
    }
  }
  std::uint32_t count(std::uint64_t key) const {
    return std::min(counters_[index(key, 0)], counters_[index(key, 1)]);
  }

 private:
  static constexpr unsigned kRowBits = 15;
  static std::size_t index(std::uint64_t key, unsigned row) {
    const std::uint64_t h = key * (row == 0 ? 0x9E3779B97F4A7C15ULL : 0xC2B2AE3D27D4EB4FULL);
    return (std::size_t{row} << kRowBits) + static_cast<std::size_t>(h >> (64 - kRowBits));
  }
  std::vector<std::uint8_t> counters_ = std::vector<std::uint8_t>(std::size_t{2} << kRowBits);
};

}  // namespace

class PhraseMatcher::Builder {
 public:
  // A window of a phrase's chosen run.
  struct Entry {
    std::uint64_t key;
    std::uint32_t offset;
    std::uint32_t phrase;
  };

  Builder(std::span<const std::string_view> phrases, const PhraseMatcherLimits& limits)
      : phrases_(phrases), limits_(limits), tables_(std::make_shared<Tables>()) {}

  Expected<PhraseMatcher, std::string> run() && {
    if (auto error = check_lengths_and_classify()) return Unexpected{std::move(*error)};
    Layout layout;
    if (auto error = build_trie(layout)) return Unexpected{std::move(*error)};
    if (reported_ > 0) {
      build_automaton(layout);
      build_windows(layout);
      Tables& t = *tables_;
      // Sparse states step through their children in the layout's arrays.
      t.sparse_begin = std::move(layout.child_begin);
      t.sparse_label = std::move(layout.child_label);
      t.sparse_next = std::move(layout.child_next);
    }
    m_.adopt(std::move(tables_));
    m_.path_ = m_.usable(MatcherPath::kAvx2);
    return std::move(m_);
  }

 private:
  // Checks the count and lengths and gives every folded byte a phrase uses
  // a class of its own (class 0 for the rest).
  std::optional<std::string> check_lengths_and_classify() {
    max_bytes_ = std::min<std::size_t>(limits_.max_phrase_bytes, 65535);
    if (phrases_.size() > limits_.max_phrases) {
      return "too many phrases: " + std::to_string(phrases_.size()) + " (the limit is " +
             std::to_string(limits_.max_phrases) + ")";
    }
    m_.phrase_count_ = phrases_.size();
    Tables& t = *tables_;
    t.phrase_len.reserve(phrases_.size());
    std::array<bool, 256> used{};
    for (std::size_t i = 0; i < phrases_.size(); ++i) {
      if (phrases_[i].size() > max_bytes_) {
        return "phrase " + std::to_string(i) + " is " + std::to_string(phrases_[i].size()) +
               " bytes long (the limit is " + std::to_string(max_bytes_) + " bytes)";
      }
      t.phrase_len.push_back(static_cast<std::uint16_t>(phrases_[i].size()));
      total_bytes_ += phrases_[i].size();
      for (unsigned char b : phrases_[i]) used[fold(b)] = true;
    }
    unsigned classes = 1;
    for (unsigned b = 0; b < 256; ++b) {
      if (used[b]) folded_class_[b] = static_cast<std::uint8_t>(classes++);
    }
    for (unsigned b = 0; b < 256; ++b)
      m_.byte_class_[b] = folded_class_[fold(static_cast<unsigned char>(b))];
    m_.stride_shift_ = static_cast<unsigned>(std::bit_width(classes - 1));
    return std::nullopt;
  }

  // The trie in list order. Leftmost-first lets the earliest phrase win at a
  // start, so a phrase that runs through another phrase's end (or repeats
  // it) can never be reported and is left out.
  std::optional<std::string> build_trie(Layout& layout) {
    Trie trie(std::min(total_bytes_, limits_.max_states) + 1);
    shortest_ = max_bytes_ + 1;
    for (std::size_t i = 0; i < phrases_.size(); ++i) {
      std::uint32_t node = 0;
      bool shadowed = false;
      for (unsigned char raw : phrases_[i]) {
        if (trie.own[node] != kNone) {
          shadowed = true;
          break;
        }
        const unsigned char b = fold(raw);
        std::uint32_t next = trie.child(node, b);
        if (next == kNone) {
          if (trie.size() + 1 >= limits_.max_states) {
            return "too many automaton states (the limit is " + std::to_string(limits_.max_states) +
                   ")";
          }
          next = trie.add_child(node, b);
        }
        node = next;
      }
      if (shadowed || trie.own[node] != kNone) continue;
      trie.own[node] = static_cast<std::uint32_t>(i);
      ++reported_;
      shortest_ = std::min(shortest_, phrases_[i].size());
    }
    if (reported_ > 0) layout = lay_out(trie);
    return std::nullopt;
  }

  // The automaton: dense rows for the shallowest states, sparse children and
  // failure links for the rest, and for every state the best match complete
  // within the text it stands for.
  void build_automaton(const Layout& layout) {
    const std::size_t n = layout.size();
    const std::vector<std::uint32_t>& child_begin = layout.child_begin;
    const std::vector<unsigned char>& child_label = layout.child_label;
    const std::vector<std::uint32_t>& child_next = layout.child_next;
    const std::vector<std::uint16_t>& depth = layout.depth;
    const std::vector<std::uint32_t>& own = layout.own;
    Tables& t = *tables_;

    const std::size_t stride = std::size_t{1} << m_.stride_shift_;
    const auto dense =
        static_cast<std::uint32_t>(std::min(n, std::max<std::size_t>(2, kDenseEntries / stride)));
    m_.dense_count_ = dense;
    t.dense.assign(static_cast<std::size_t>(dense) << m_.stride_shift_, kDeadState);
    t.kind.assign(n, 0);
    t.match_phrase.assign(n, kNone);
    t.match_gap.assign(n, 0);
    t.sparse_fail.assign(n - dense, kDeadState);

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
      return t.dense.data() + (static_cast<std::size_t>(q) << m_.stride_shift_);
    };
    const auto ordinary_step = [&](std::uint32_t f, unsigned char b) {
      for (;;) {
        if (f < dense) return row(f)[folded_class_[b]];
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
          r[folded_class_[child_label[i]]] = child_next[i];
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
        r[folded_class_[child_label[i]]] = child_next[i];
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

  // The window filter: the stride and window size the shortest phrase
  // allows, each phrase's rarest run of `stride` consecutive windows, the
  // exact table from window to the phrases to confirm, and the phrases
  // folded for comparing. An empty phrase matches everywhere and very short
  // ones nearly so: then the automaton searches alone.
  void build_windows(const Layout& layout) {
    if (shortest_ < kMinWindowBytes) return;
    choose_window_shape();
    const std::vector<std::uint32_t> reported = fold_reported(layout);
    fill_window_tables(choose_windows(reported));
  }

  // The longest stride whose windows stay long enough, else stride 1 with
  // the shortest phrase's length (at most 8) as the window.
  void choose_window_shape() {
    WindowFilter& f = m_.filter_;
    f.stride = 1;
    f.gram = static_cast<unsigned>(std::min<std::size_t>(8, shortest_));
    for (const unsigned stride : {4u, 2u}) {
      if (shortest_ >= kStrideWindowBytes + stride - 1) {
        f.stride = stride;
        f.gram = static_cast<unsigned>(std::min<std::size_t>(8, shortest_ - stride + 1));
        break;
      }
    }
    f.key_mask =
        (f.gram == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * f.gram)) - 1) & ~kCaseBits;
  }

  // The phrases that can be reported, in trie order, kept folded for the
  // confirmations; the pool ends in padding, so that every window reads as
  // a word.
  std::vector<std::uint32_t> fold_reported(const Layout& layout) {
    Tables& t = *tables_;
    phrase_at_.assign(m_.phrase_count_, 0);
    std::vector<std::uint32_t> reported;
    reported.reserve(reported_);
    for (std::uint32_t q = kStartState; q < layout.size(); ++q) {
      const std::uint32_t phrase = layout.own[q];
      if (phrase == kNone) continue;
      reported.push_back(phrase);
      phrase_at_[phrase] = static_cast<std::uint32_t>(t.phrase_bytes.size());
      for (unsigned char b : phrases_[phrase]) t.phrase_bytes.push_back(fold(b));
    }
    t.phrase_bytes.resize(t.phrase_bytes.size() + 8, 0);
    return reported;
  }

  std::string_view folded(std::uint32_t phrase) const {
    const Tables& t = *tables_;
    return {reinterpret_cast<const char*>(t.phrase_bytes.data()) + phrase_at_[phrase],
            t.phrase_len[phrase]};
  }
  std::uint64_t key_at(std::string_view folded_phrase, std::size_t at) const {
    std::uint64_t word;
    std::memcpy(&word, folded_phrase.data() + at, 8);
    return m_.filter_.key(word);
  }
  // Windows a phrase may use: those starting up to kMaxWindowOffset +
  // stride - 1 bytes in.
  std::size_t windows_of(std::string_view folded_phrase) const {
    return std::min(folded_phrase.size() - m_.filter_.gram + 1,
                    kMaxWindowOffset + m_.filter_.stride);
  }

  // Each phrase's run of `stride` windows whose most common window is
  // rarest (then the rarer run in all, then the earliest), as one entry
  // per window, sorted by key, then later offsets (earlier starts) first,
  // then list order. A window's rarity is the text model's, less a penalty
  // for the phrases that share it: a hit has to confirm all of them.
  std::vector<Entry> choose_windows(const std::vector<std::uint32_t>& reported) {
    const WindowFilter& f = m_.filter_;
    WindowCounts holders;
    for (const std::uint32_t phrase : reported) {
      const std::string_view p = folded(phrase);
      for (std::size_t o = 0; o < windows_of(p); ++o) holders.add(key_at(p, o));
    }

    std::vector<Entry> entries;
    entries.reserve(reported.size() * f.stride);
    std::vector<std::uint32_t> costs;
    std::vector<std::uint32_t> scratch;
    unsigned lookahead = 0;
    for (const std::uint32_t phrase : reported) {
      const std::string_view p = folded(phrase);
      window_costs(p, f.gram, scratch, costs);
      costs.resize(windows_of(p));
      for (std::size_t o = 0; o < costs.size(); ++o) {
        const auto penalty = kSharingPenalty * static_cast<std::uint32_t>(
                                                   std::bit_width(holders.count(key_at(p, o))) - 1);
        costs[o] = costs[o] > penalty ? costs[o] - penalty : 0;
      }
      std::size_t chosen = 0;
      std::pair<std::uint32_t, std::uint32_t> chosen_score{0, 0};
      for (std::size_t o = 0; o + f.stride <= costs.size(); ++o) {
        std::uint32_t least = costs[o];
        std::uint32_t sum = 0;
        for (unsigned k = 0; k < f.stride; ++k) {
          least = std::min(least, costs[o + k]);
          sum += costs[o + k];
        }
        if (o == 0 || std::pair(least, sum) > chosen_score) {
          chosen = o;
          chosen_score = {least, sum};
        }
      }
      for (unsigned k = 0; k < f.stride; ++k) {
        entries.push_back({key_at(p, chosen + k), static_cast<std::uint32_t>(chosen + k), phrase});
      }
      lookahead = std::max(lookahead, static_cast<unsigned>(chosen + f.stride - 1));
    }
    m_.lookahead_ = lookahead;
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
      if (a.key != b.key) return a.key < b.key;
      if (a.offset != b.offset) return a.offset > b.offset;
      return a.phrase < b.phrase;
    });
    return entries;
  }

  // The entry lists per key (a crowd of phrases at one offset becomes one
  // trie walk), the exact table over them, at most half full and probed
  // linearly, and the filter's bits.
  void fill_window_tables(const std::vector<Entry>& entries) {
    Tables& t = *tables_;
    WindowFilter& f = m_.filter_;
    std::vector<WindowSlot> keys;
    for (std::size_t i = 0; i < entries.size();) {
      WindowSlot slot{entries[i].key, static_cast<std::uint32_t>(t.window_entries.size()), 0};
      while (i < entries.size() && entries[i].key == slot.key) {
        std::size_t end = i;
        while (end < entries.size() && entries[end].key == slot.key &&
               entries[end].offset == entries[i].offset) {
          ++end;
        }
        const auto offset = static_cast<std::uint16_t>(entries[i].offset);
        if (end - i > kMaxPhrasesPerWindow) {
          WindowEntry walk;
          walk.phrase = WindowEntry::kWalkAll;
          walk.offset = offset;
          t.window_entries.push_back(walk);
        } else {
          for (std::size_t k = i; k < end; ++k) {
            const std::string_view p = folded(entries[k].phrase);
            WindowEntry e;
            std::memcpy(&e.head, p.data(), 8);
            if (p.size() < 8) e.head &= (std::uint64_t{1} << (8 * p.size())) - 1;
            e.phrase = entries[k].phrase;
            e.bytes_at = phrase_at_[entries[k].phrase];
            e.offset = offset;
            e.length = static_cast<std::uint16_t>(p.size());
            t.window_entries.push_back(e);
          }
        }
        i = end;
      }
      slot.count = static_cast<std::uint32_t>(t.window_entries.size()) - slot.first;
      keys.push_back(slot);
    }

    m_.slot_bits_ = static_cast<unsigned>(std::bit_width(2 * keys.size() - 1));
    t.window_slots.assign(std::size_t{1} << m_.slot_bits_, WindowSlot{});
    f.bits = std::clamp(
        static_cast<unsigned>(std::bit_width(keys.size() * kFilterBitsPerWindow - 1)), 12u, 22u);
    t.window_filter.assign((std::size_t{1} << f.bits) / 64, 0);
    const std::uint32_t slot_mask = (std::uint32_t{1} << m_.slot_bits_) - 1;
    for (const WindowSlot& key : keys) {
      std::uint32_t s = WindowFilter::hash(key.key) >> (32 - m_.slot_bits_);
      while (t.window_slots[s].count != 0) s = (s + 1) & slot_mask;
      t.window_slots[s] = key;
      const std::uint32_t bit = f.slot(key.key);
      t.window_filter[bit >> 6] |= std::uint64_t{1} << (bit & 63);
    }
  }

  std::span<const std::string_view> phrases_;
  PhraseMatcherLimits limits_;
  std::shared_ptr<Tables> tables_;
  PhraseMatcher m_;
  std::size_t max_bytes_ = 0;
  std::size_t total_bytes_ = 0;
  std::array<std::uint8_t, 256> folded_class_{};
  std::size_t reported_ = 0;
  std::size_t shortest_ = 0;              // among the phrases that can be reported
  std::vector<std::uint32_t> phrase_at_;  // where each reported phrase is in the pool
};

Expected<PhraseMatcher, std::string> PhraseMatcher::build(std::span<const std::string> phrases,
                                                          const PhraseMatcherLimits& limits) {
  std::vector<std::string_view> views(phrases.begin(), phrases.end());
  return build(std::span<const std::string_view>(views), limits);
}

Expected<PhraseMatcher, std::string> PhraseMatcher::build(std::span<const std::string_view> phrases,
                                                          const PhraseMatcherLimits& limits) {
  return Builder(phrases, limits).run();
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
  filter_.table = t.window_filter;
  window_slots_ = t.window_slots;
  window_entries_ = t.window_entries;
  phrase_bytes_ = t.phrase_bytes;
  tables_ = std::move(tables);
}

}  // namespace vantrel_core
