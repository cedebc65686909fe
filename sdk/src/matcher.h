// Multi-phrase matcher over an ordered phrase list. ASCII letters match
// regardless of case, every other byte exactly. Search is unanchored,
// leftmost-first (earliest start wins; at one start the earliest phrase in
// the list wins, even when a later one is longer) and non-overlapping (after
// a match the search resumes at its end).
//
// An empty phrase matches with zero length. An empty match that ends where
// the previous match ended is not reported; the search moves on one byte.
//
// How it searches: each phrase that can be reported gives the filter
// (window_filter.h) its rarest window of a few bytes, by a model of ordinary
// text. Positions the filter flags are looked up in an exact table of those
// windows, which names the phrases (or, for a window many phrases share, the
// start offsets) to confirm; a confirmation compares the phrase with the
// text, or walks the phrases' trie anchored at the start. The first pass
// goes on until no phrase found later could start earlier. Where the phrases
// are too short for a useful window (or include an empty one), and wherever
// a text keeps the confirmations busy, an Aho-Corasick automaton with the
// leftmost-first rule built in reads the text byte by byte instead.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/expected.h"
#include "window_filter.h"

namespace vantrel_core {

class FlatImageReader;
class FlatImageWriter;

struct PhraseMatch {
  std::uint32_t phrase = 0;  // index in the build list
  std::size_t start = 0;
  std::size_t end = 0;  // exclusive
  bool operator==(const PhraseMatch&) const = default;
};

// What a phrase list may hold. The defaults serve every caller; tests lower
// them to reach the failures cheaply.
struct PhraseMatcherLimits {
  std::size_t max_phrases = std::size_t{1} << 20;
  // Longest phrase in bytes (at most 65535). It also bounds the look-ahead a
  // leftmost-first search may repeat after each match.
  std::size_t max_phrase_bytes = 1024;
  // Automaton states, the dead state included.
  std::size_t max_states = std::size_t{1} << 23;
};

// How a search finds its candidates. Every path gives the same matches.
enum class MatcherPath : std::uint8_t {
  kAutomaton,  // the automaton over every byte
  kScalar,     // the window filter, one position at a time
  kAvx2,       // the window filter, eight positions per step
};

// Immutable once built; safe to share between threads. Movable and copyable
// (copies share their tables). A default-constructed matcher has no phrases
// and matches nothing.
class PhraseMatcher {
 public:
  // Compiles the list; fails with a description when it exceeds a limit.
  static Expected<PhraseMatcher, std::string> build(std::span<const std::string_view> phrases,
                                                    const PhraseMatcherLimits& limits = {});
  static Expected<PhraseMatcher, std::string> build(std::span<const std::string> phrases,
                                                    const PhraseMatcherLimits& limits = {});

  // All matches in text order.
  std::vector<PhraseMatch> find_all(std::string_view text) const;

  // Calls on_match(const PhraseMatch&) for every match in text order, without
  // allocating. Starts ascend strictly.
  template <class F>
  void for_each(std::string_view text, F&& on_match) const {
    constexpr std::size_t kNoEnd = ~std::size_t{0};
    std::size_t at = 0;
    std::size_t last_end = kNoEnd;
    PhraseMatch m;
    SearchBudget budget;
    while (at <= text.size() && find_next(text, at, m, budget)) {
      if (m.start == m.end && m.end == last_end) {
        at = m.end + 1;
        continue;
      }
      on_match(m);
      last_end = m.end;
      at = m.end;
    }
  }

  // The leftmost-first match that starts at or after `at` (at <= text.size()),
  // ignoring everything before `at`. False when there is none.
  bool find_at(std::string_view text, std::size_t at, PhraseMatch& match) const;

  std::size_t phrase_count() const { return phrase_count_; }
  // Automaton states, including the dead state.
  std::size_t state_count() const { return kind_.size(); }
  // States with a full transition row; the rest step through their children.
  std::size_t dense_state_count() const { return dense_count_; }
  // Bytes per window of the filter; 0 when searches use the automaton alone.
  unsigned window_bytes() const { return filter_.gram; }

  // The path searches take: the fastest one this machine and phrase list
  // allow, unless with_path chose another.
  MatcherPath path() const { return path_; }
  // A copy that searches by `path` where it can: without a filter every path
  // is the automaton, and without AVX2 the vector path is the scalar one.
  PhraseMatcher with_path(MatcherPath path) const;

  // Appends the compiled tables to an image as sections.
  void write_image(FlatImageWriter& out) const;
  // A matcher over the tables write_image stored, read in place: the image
  // must outlive it. Nothing when the sections do not fit together.
  static std::optional<PhraseMatcher> read_image(FlatImageReader& in);

 private:
  struct Tables;
  class Builder;

  // A window of the exact table and where its entries are.
  struct WindowSlot {
    std::uint64_t key = 0;  // as WindowFilter::key gives it
    std::uint32_t first = 0;
    std::uint32_t count = 0;  // 0 for an empty slot
  };
  // A phrase whose window starts `offset` bytes into it: its first eight
  // bytes folded (zero beyond its end), its length and where its folded
  // bytes are. For kWalkAll, every phrase at that start, found by walking
  // the trie.
  struct WindowEntry {
    static constexpr std::uint32_t kWalkAll = ~std::uint32_t{0};
    std::uint64_t head = 0;
    std::uint32_t phrase = 0;
    std::uint32_t bytes_at = 0;
    std::uint16_t offset = 0;
    std::uint16_t length = 0;
    std::uint32_t unused = 0;  // keeps images free of stray padding bytes
  };
  // The best match confirmed so far in a filtered search.
  struct Candidate {
    static constexpr std::size_t kNone = ~std::size_t{0};
    std::size_t start = kNone;
    std::size_t end = 0;
    std::uint32_t phrase = 0;
    bool beats(std::size_t s, std::uint32_t p) const {
      return start != kNone && (start < s || (start == s && phrase <= p));
    }
  };
  enum class AutomatonStop { kFound, kEnd, kIdle };
  // What the searches for one text's matches carry from one to the next:
  // how many confirmation steps the filter may still spend ahead of the
  // text it has read, and up to where the automaton reads instead.
  struct SearchBudget {
    std::ptrdiff_t steps = kFreeSteps;
    std::size_t automaton_until = 0;
  };
  // Confirmations earn one rough step per kBytesPerStep bytes read and may
  // run up to kFreeSteps ahead of that. Past it the automaton takes over,
  // reads at least kAutomatonStretch bytes and hands back where it stands
  // idle. Ordinary text stays far below the limit; the automaton costs the
  // same whatever the text.
  static constexpr std::ptrdiff_t kFreeSteps = 256;
  static constexpr std::size_t kBytesPerStep = 2;
  static constexpr std::size_t kAutomatonStretch = 16384;

  // find_at with a budget carried over from the previous match.
  bool find_next(std::string_view text, std::size_t at, PhraseMatch& match,
                 SearchBudget& budget) const;

  // The trie child of a state at or beyond dense_count_ under a folded byte;
  // 0 when it has none.
  [[gnu::always_inline]] inline std::uint32_t sparse_child(std::uint32_t state,
                                                           unsigned char folded) const;
  // Transition of a state at or beyond dense_count_.
  [[gnu::always_inline]] inline std::uint32_t sparse_step(std::uint32_t state,
                                                          unsigned char byte) const;
  // Runs the automaton from `at` until it decides a match (kFound), reaches
  // the end of the text (kEnd), or, at or after `idle_from`, stands in its
  // start state with nothing pending (kIdle; `at` is then that position and
  // no match starts before it).
  AutomatonStop run_automaton(std::string_view text, std::size_t& at, std::size_t idle_from,
                              PhraseMatch& match) const;
  bool find_filtered(std::string_view text, std::size_t at, PhraseMatch& match,
                     SearchBudget& budget) const;
  // Confirms the candidates of the window at `pos`, none starting before
  // `origin`, into `best`. Returns the work done, in rough steps.
  std::size_t confirm_window(const unsigned char* text, std::size_t size, std::size_t pos,
                             std::size_t origin, Candidate& best) const;
  // Whether the entry's phrase goes on at `t` (its ninth byte) as it
  // should; `available` bytes follow `t`, at least the rest of the phrase.
  bool tail_at(const unsigned char* t, std::size_t available, const WindowEntry& entry,
               std::size_t& work) const;
  // Takes the best match starting exactly at `start` into `best` where it
  // beats it, by an anchored trie walk; adds the steps taken to `work`.
  [[gnu::noinline]] void walk_at(const unsigned char* text, std::size_t size, std::size_t start,
                                 Candidate& best, std::size_t& work) const;

  // `path`, or the nearest one this machine and phrase list allow.
  MatcherPath usable(MatcherPath path) const;
  // Points the spans at tables built in memory, which the matcher then shares.
  void adopt(std::shared_ptr<const Tables> tables);

  std::size_t phrase_count_ = 0;
  // State 0 is dead, state 1 the start. States below dense_count_ have a full
  // row in dense_ (one entry per byte class); the others step through their
  // trie children (sparse_begin_ is indexed by state) and fall back through
  // sparse_fail_ (indexed from dense_count_). States are numbered
  // breadth-first, so the child at index i of the child arrays is state i + 2.
  std::array<std::uint8_t, 256> byte_class_{};
  unsigned stride_shift_ = 0;
  std::uint32_t dense_count_ = 0;
  // The arrays below live in tables_ for a built matcher, in an image for
  // one read in place (tables_ then empty).
  std::shared_ptr<const Tables> tables_;
  std::span<const std::uint32_t> dense_;
  std::span<const std::uint32_t> sparse_begin_;  // per state, plus one
  std::span<const std::uint8_t> sparse_label_;   // folded byte
  std::span<const std::uint32_t> sparse_next_;
  std::span<const std::uint32_t> sparse_fail_;   // the dead state cuts a decided match
  std::span<const std::uint8_t> kind_;           // kDead, kStart, kMatch bits
  std::span<const std::uint32_t> match_phrase_;  // best match seen, for match states
  std::span<const std::uint16_t> match_gap_;     // bytes from that match's end to here
  std::span<const std::uint16_t> phrase_len_;

  // The filter and what confirms its hits. Phrases that can be reported are
  // kept folded in phrase_bytes_, which ends with eight bytes of padding.
  WindowFilter filter_;
  unsigned lookahead_ = 0;  // largest window offset in a phrase
  unsigned slot_bits_ = 0;  // log2 of window_slots_.size()
  std::span<const WindowSlot> window_slots_;
  std::span<const WindowEntry> window_entries_;
  std::span<const std::uint8_t> phrase_bytes_;
  MatcherPath path_ = MatcherPath::kAutomaton;
};

}  // namespace vantrel_core
