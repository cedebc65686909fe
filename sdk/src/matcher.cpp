// Searching with a compiled phrase list, and its image.
#include "matcher.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "flat_image.h"
#include "matcher_tables.h"

namespace vantrel_core {

namespace {

using matcher_tables::fold;
using matcher_tables::kDead;
using matcher_tables::kMatch;
using matcher_tables::kStart;
using matcher_tables::kStartState;

constexpr std::size_t npos = ~std::size_t{0};

std::uint64_t load8(const unsigned char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

}  // namespace

MatcherPath PhraseMatcher::usable(MatcherPath path) const {
  if (filter_.gram == 0) return MatcherPath::kAutomaton;
  if (path == MatcherPath::kAvx2 && !cpu_has_avx2()) return MatcherPath::kScalar;
  return path;
}

PhraseMatcher PhraseMatcher::with_path(MatcherPath path) const {
  PhraseMatcher m = *this;
  m.path_ = usable(path);
  return m;
}

// Image sections, in this order: the scalars (phrase count, stride shift,
// dense state count, the filter's gram, stride, bits and key mask, the
// look-ahead, the exact table's slot bits), the byte classes, then the
// arrays as declared in the class.
void PhraseMatcher::write_image(FlatImageWriter& out) const {
  const std::array<std::uint64_t, 9> scalars = {phrase_count_,    stride_shift_,  dense_count_,
                                                filter_.gram,     filter_.stride, filter_.bits,
                                                filter_.key_mask, lookahead_,     slot_bits_};
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
  out.add(filter_.table);
  out.add(window_slots_);
  out.add(window_entries_);
  out.add(phrase_bytes_);
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
  m.filter_.table = in.next<std::uint64_t>();
  m.window_slots_ = in.next<WindowSlot>();
  m.window_entries_ = in.next<WindowEntry>();
  m.phrase_bytes_ = in.next<std::uint8_t>();
  if (!in.ok() || scalars.size() != 9 || classes.size() != m.byte_class_.size())
    return std::nullopt;
  m.phrase_count_ = static_cast<std::size_t>(scalars[0]);
  m.stride_shift_ = static_cast<unsigned>(scalars[1]);
  m.dense_count_ = static_cast<std::uint32_t>(scalars[2]);
  m.filter_.gram = static_cast<unsigned>(scalars[3]);
  m.filter_.stride = static_cast<unsigned>(scalars[4]);
  m.filter_.bits = static_cast<unsigned>(scalars[5]);
  m.filter_.key_mask = scalars[6];
  m.lookahead_ = static_cast<unsigned>(scalars[7]);
  m.slot_bits_ = static_cast<unsigned>(scalars[8]);
  std::copy(classes.begin(), classes.end(), m.byte_class_.begin());

  // The sizes must fit together; the entries themselves are trusted.
  const std::size_t n = m.kind_.size();
  if (m.phrase_len_.size() != m.phrase_count_ || m.stride_shift_ > 8 || m.filter_.gram > 8) {
    return std::nullopt;
  }
  if (n == 0) return m;  // matches nothing
  const bool automaton_fits =
      n >= 2 && m.dense_count_ >= 2 && m.dense_count_ <= n &&
      m.dense_.size() == (static_cast<std::size_t>(m.dense_count_) << m.stride_shift_) &&
      m.sparse_begin_.size() == n + 1 && m.sparse_label_.size() == m.sparse_begin_[n] &&
      m.sparse_next_.size() == m.sparse_label_.size() &&
      m.sparse_fail_.size() == n - m.dense_count_ && m.match_phrase_.size() == n &&
      m.match_gap_.size() == n;
  const WindowFilter& f = m.filter_;
  const bool filter_fits =
      f.gram == 0 ||
      ((f.stride == 1 || f.stride == 2 || f.stride == 4) && f.bits >= 6 && f.bits <= 32 &&
       f.table.size() == (std::size_t{1} << f.bits) / 64 && m.slot_bits_ <= 32 &&
       m.window_slots_.size() == std::size_t{1} << m.slot_bits_ && m.phrase_bytes_.size() >= 8);
  if (!automaton_fits || !filter_fits) return std::nullopt;
  m.path_ = m.usable(MatcherPath::kAvx2);
  return m;
}

inline std::uint32_t PhraseMatcher::sparse_child(std::uint32_t state, unsigned char folded) const {
  std::uint32_t i = sparse_begin_[state];
  const std::uint32_t e = sparse_begin_[state + 1];
  // Children are sorted by byte; most states have one or two.
  if (e - i > 8) {
    i = static_cast<std::uint32_t>(
        std::lower_bound(sparse_label_.begin() + i, sparse_label_.begin() + e, folded) -
        sparse_label_.begin());
    return i < e && sparse_label_[i] == folded ? sparse_next_[i] : 0;
  }
  for (; i < e; ++i) {
    if (sparse_label_[i] == folded) return sparse_next_[i];
  }
  return 0;
}

inline std::uint32_t PhraseMatcher::sparse_step(std::uint32_t state, unsigned char byte) const {
  const unsigned char b = fold(byte);
  while (state >= dense_count_) {
    if (const std::uint32_t child = sparse_child(state, b)) return child;
    state = sparse_fail_[state - dense_count_];
  }
  return dense_[(static_cast<std::size_t>(state) << stride_shift_) + byte_class_[byte]];
}

bool PhraseMatcher::find_at(std::string_view text, std::size_t at, PhraseMatch& match) const {
  SearchBudget budget;
  return find_next(text, at, match, budget);
}

bool PhraseMatcher::find_next(std::string_view text, std::size_t at, PhraseMatch& match,
                              SearchBudget& budget) const {
  if (kind_.empty()) return false;
  if (path_ == MatcherPath::kAutomaton) {
    return run_automaton(text, at, npos, match) == AutomatonStop::kFound;
  }
  if (at < budget.automaton_until) {
    const AutomatonStop stop = run_automaton(text, at, budget.automaton_until, match);
    if (stop != AutomatonStop::kIdle) return stop == AutomatonStop::kFound;
    budget.steps = kFreeSteps;
  }
  return find_filtered(text, at, match, budget);
}

PhraseMatcher::AutomatonStop PhraseMatcher::run_automaton(std::string_view text, std::size_t& at,
                                                          std::size_t idle_from,
                                                          PhraseMatch& match) const {
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
    // Walk until the automaton reaches a state that needs attention.
    for (;;) {
      if (pos >= size) return found ? AutomatonStop::kFound : AutomatonStop::kEnd;
      const unsigned char b = p[pos++];
      q = q < dense_count_ ? dense_[(static_cast<std::size_t>(q) << stride_shift_) + byte_class_[b]]
                           : sparse_step(q, b);
      if (kind_[q] != 0) break;
    }
    const std::uint8_t k = kind_[q];
    if (k & kDead) return found ? AutomatonStop::kFound : AutomatonStop::kEnd;
    if (k & kMatch) {
      match.phrase = match_phrase_[q];
      match.end = pos - match_gap_[q];
      match.start = match.end - phrase_len_[match.phrase];
      found = true;
    }
    if ((k & kStart) && !found && pos >= idle_from) {
      at = pos;
      return AutomatonStop::kIdle;
    }
  }
}

bool PhraseMatcher::find_filtered(std::string_view text, std::size_t at, PhraseMatch& match,
                                  SearchBudget& budget) const {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  if (size < filter_.gram) return false;
  const std::size_t stride = filter_.stride;
  const auto next_block = [&](std::size_t from, std::size_t last) {
    return path_ == MatcherPath::kAvx2 ? filter_.next_block_avx2(p, size, from, last)
                                       : filter_.next_block_scalar(p, size, from, last);
  };
  Candidate best;
  std::size_t origin = at;                 // no match starts in [at, origin)
  std::size_t last = size - filter_.gram;  // last position to test
  std::size_t paid_to = at;                // text read is paid for up to here
  WindowFilter::Block block = next_block(origin, last);
  while (block.hits != 0) {
    const std::size_t hit =
        block.base + stride * static_cast<std::size_t>(std::countr_zero(block.hits));
    block.hits &= block.hits - 1;
    if (hit > last) break;
    const auto earned = static_cast<std::ptrdiff_t>((hit - paid_to) / kBytesPerStep);
    paid_to += static_cast<std::size_t>(earned) * kBytesPerStep;
    budget.steps = std::min(kFreeSteps, budget.steps + earned) -
                   static_cast<std::ptrdiff_t>(confirm_window(p, size, hit, origin, best));
    // Past best.start + lookahead_ no window can belong to a phrase that
    // starts before the best match (or at it and earlier in the list).
    if (best.start != Candidate::kNone) last = std::min(last, best.start + lookahead_);
    if (budget.steps < 0) {
      // The automaton finds any match from `origin` on (none starts before
      // it), or stands idle past the stretch with none pending.
      budget.automaton_until = hit + kAutomatonStretch;
      const AutomatonStop stop = run_automaton(text, origin, budget.automaton_until, match);
      if (stop != AutomatonStop::kIdle) return stop == AutomatonStop::kFound;
      budget.steps = kFreeSteps;
      paid_to = origin;
      best = {};
      last = size - filter_.gram;
      block = next_block(origin, last);
      continue;
    }
    if (block.hits == 0) {
      const std::size_t after = block.base + WindowFilter::kBlockPositions * stride;
      if (after > last) break;
      block = next_block(after, last);
    }
  }
  if (best.start == Candidate::kNone) return false;
  match = {best.phrase, best.start, best.end};
  return true;
}

std::size_t PhraseMatcher::confirm_window(const unsigned char* text, std::size_t size,
                                          std::size_t pos, std::size_t origin,
                                          Candidate& best) const {
  const std::uint64_t key =
      filter_.key(size - pos >= 8 ? load8(text + pos) : WindowFilter::load(text, size, pos));
  std::size_t work = 1;
  const std::uint32_t slot_mask = (std::uint32_t{1} << slot_bits_) - 1;
  std::uint32_t slot = WindowFilter::hash(key) >> (32 - slot_bits_);
  for (;; slot = (slot + 1) & slot_mask, ++work) {
    const WindowSlot& w = window_slots_[slot];
    if (w.count == 0) return work;  // a false hit
    if (w.key == key) break;
  }
  const WindowSlot& w = window_slots_[slot];
  work += w.count;  // a step per entry, compared or passed over
  for (const WindowEntry& e : window_entries_.subspan(w.first, w.count)) {
    if (e.offset > pos - origin) continue;
    const std::size_t start = pos - e.offset;
    if (e.phrase == WindowEntry::kWalkAll) {
      if (best.start == Candidate::kNone || best.start >= start)
        walk_at(text, size, start, best, work);
      continue;
    }
    if (best.beats(start, e.phrase) || e.length > size - start) continue;
    // Text bytes with the case bits of the phrase's letters set must equal
    // the folded phrase. The first eight come with the entry; most
    // candidates end there.
    const unsigned char* t = text + start;
    const std::size_t head = std::min<std::size_t>(e.length, 8);
    const std::uint64_t keep = head == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * head)) - 1;
    const std::uint64_t first = size - start >= 8 ? load8(t) : WindowFilter::load(t, head, 0);
    if ((((first | matcher_tables::case_bits(e.head)) ^ e.head) & keep) != 0) continue;
    if (e.length > 8 && !tail_at(t + 8, size - start - 8, e, work)) continue;
    best = {start, start + e.length, e.phrase};
  }
  return work;
}

bool PhraseMatcher::tail_at(const unsigned char* t, std::size_t available, const WindowEntry& e,
                            std::size_t& work) const {
  const std::size_t length = e.length - 8u;
  const unsigned char* folded = phrase_bytes_.data() + e.bytes_at + 8;
  work += length / 8;
  std::size_t k = 0;
  for (; k + 8 <= length; k += 8) {
    const std::uint64_t f = load8(folded + k);
    if (((load8(t + k) | matcher_tables::case_bits(f)) ^ f) != 0) return false;
  }
  if (k == length) return true;
  const std::size_t rest = length - k;
  const std::uint64_t f = load8(folded + k);
  const std::uint64_t word = available - k >= 8 ? load8(t + k) : WindowFilter::load(t + k, rest, 0);
  const std::uint64_t keep = (std::uint64_t{1} << (8 * rest)) - 1;
  return (((word | matcher_tables::case_bits(f)) ^ f) & keep) == 0;
}

void PhraseMatcher::walk_at(const unsigned char* text, std::size_t size, std::size_t start,
                            Candidate& best, std::size_t& work) const {
  std::uint32_t q = kStartState;
  std::size_t pos = start;
  for (; pos < size; ++pos) {
    const unsigned char b = text[pos];
    std::uint32_t child = 0;
    if (q < dense_count_) {
      // A dense row also holds failure moves; only q's own children are
      // numbered within its range of the child arrays.
      const std::uint32_t t =
          dense_[(static_cast<std::size_t>(q) << stride_shift_) + byte_class_[b]];
      if (t >= 2 && t - 2 >= sparse_begin_[q] && t - 2 < sparse_begin_[q + 1]) child = t;
    } else {
      child = sparse_child(q, fold(b));
    }
    if (child == 0) break;
    q = child;
  }
  work += 1 + (pos - start);
  // The deepest state reached knows the best match within the text walked;
  // it counts only when it starts at `start`.
  if (!(kind_[q] & kMatch)) return;
  const std::uint32_t phrase = match_phrase_[q];
  const std::size_t end = pos - match_gap_[q];
  if (end - phrase_len_[phrase] != start || best.beats(start, phrase)) return;
  best = {start, end, phrase};
}

std::vector<PhraseMatch> PhraseMatcher::find_all(std::string_view text) const {
  std::vector<PhraseMatch> out;
  for_each(text, [&out](const PhraseMatch& m) { out.push_back(m); });
  return out;
}

}  // namespace vantrel_core
