#include "matcher.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "flat_image.h"

namespace vantrel_core {
namespace {

// The matching rules written as directly as possible: at each start, every
// phrase in list order; the first start with a hit wins, then the first phrase.
bool same_folded(unsigned char a, unsigned char b) {
  const auto lower = [](unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + 32) : c;
  };
  return lower(a) == lower(b);
}

bool matches_at(std::string_view text, std::size_t at, std::string_view phrase) {
  if (phrase.size() > text.size() - at) return false;
  for (std::size_t k = 0; k < phrase.size(); ++k) {
    if (!same_folded(static_cast<unsigned char>(text[at + k]),
                     static_cast<unsigned char>(phrase[k])))
      return false;
  }
  return true;
}

std::vector<PhraseMatch> naive_find_all(const std::vector<std::string>& phrases,
                                        std::string_view text) {
  std::vector<PhraseMatch> out;
  std::size_t at = 0;
  std::size_t last_end = ~std::size_t{0};
  while (at <= text.size()) {
    bool found = false;
    PhraseMatch m;
    for (std::size_t s = at; s <= text.size() && !found; ++s) {
      for (std::size_t p = 0; p < phrases.size(); ++p) {
        if (matches_at(text, s, phrases[p])) {
          m = {static_cast<std::uint32_t>(p), s, s + phrases[p].size()};
          found = true;
          break;
        }
      }
    }
    if (!found) break;
    if (m.start == m.end && m.end == last_end) {
      at = m.end + 1;
      continue;
    }
    out.push_back(m);
    last_end = m.end;
    at = m.end;
  }
  return out;
}

PhraseMatcher build_ok(const std::vector<std::string>& phrases) {
  auto built = PhraseMatcher::build(phrases);
  EXPECT_TRUE(built.has_value()) << (built ? "" : built.error());
  return std::move(built).value();
}

std::string describe(const std::vector<std::string>& phrases, std::string_view text) {
  const auto show = [](std::string_view s) {
    std::string o = "\"";
    for (unsigned char c : s) {
      if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
        o += static_cast<char>(c);
      } else {
        static constexpr char kHex[] = "0123456789abcdef";
        o += "\\x";
        o += kHex[c >> 4];
        o += kHex[c & 15];
      }
    }
    return o + "\"";
  };
  std::string d = "phrases:";
  for (const auto& p : phrases) {
    d += ' ';
    d += show(p);
  }
  d += "\ntext: ";
  d += show(text);
  return d;
}

// Random phrase sets built to collide: prefixes, suffixes and case variants
// of each other, duplicates, empty phrases, over small alphabets.
struct CaseGenerator {
  std::mt19937_64 rng;
  explicit CaseGenerator(std::uint64_t seed) : rng(seed) {}

  std::size_t below(std::size_t n) { return static_cast<std::size_t>(rng() % n); }

  std::string word(std::string_view alphabet, std::size_t max_len) {
    std::string w;
    const std::size_t len = below(max_len + 1);
    for (std::size_t i = 0; i < len; ++i) w += alphabet[below(alphabet.size())];
    return w;
  }

  std::string flip_case(std::string s) {
    for (char& c : s) {
      if (below(2) == 0 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
        c = static_cast<char>(c ^ 0x20);
    }
    return s;
  }

  std::vector<std::string> phrases(std::string_view alphabet, std::size_t count,
                                   std::size_t max_len) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < count; ++i) {
      if (out.empty() || below(3) == 0) {
        std::string w = word(alphabet, max_len);
        if (w.empty() && below(4) != 0)
          w = word(alphabet, max_len);  // keep empty phrases occasional
        out.push_back(w);
        continue;
      }
      const std::string& base = out[below(out.size())];
      switch (below(5)) {
        case 0:  // prefix
          out.push_back(base.substr(0, below(base.size() + 1)));
          break;
        case 1:  // suffix
          out.push_back(base.substr(below(base.size() + 1)));
          break;
        case 2:  // extension
          out.push_back(base + word(alphabet, 3));
          break;
        case 3:  // case variant or duplicate
          out.push_back(flip_case(base));
          break;
        default:
          out.push_back(word(alphabet, 3) + base);
          break;
      }
    }
    return out;
  }

  std::string text(std::string_view alphabet, const std::vector<std::string>& phrases,
                   std::size_t max_len) {
    std::string t;
    const std::size_t len = below(max_len + 1);
    while (t.size() < len) {
      if (!phrases.empty() && below(3) == 0) {
        t += flip_case(phrases[below(phrases.size())]);
      } else {
        t += alphabet[below(alphabet.size())];
      }
    }
    return t;
  }
};

constexpr MatcherPath kPaths[] = {MatcherPath::kAutomaton, MatcherPath::kScalar,
                                  MatcherPath::kAvx2};

// Every search path of a matcher against the naive reference.
void expect_paths_agree(const PhraseMatcher& built, const std::vector<std::string>& phrases,
                        std::string_view text) {
  const auto want = naive_find_all(phrases, text);
  for (const MatcherPath path : kPaths) {
    const PhraseMatcher m = built.with_path(path);
    ASSERT_EQ(m.find_all(text), want)
        << describe(phrases, text) << "\npath " << static_cast<int>(m.path());
  }
}

void expect_same_as_naive(const std::vector<std::string>& phrases, std::string_view text) {
  const auto built = PhraseMatcher::build(phrases);
  ASSERT_TRUE(built.has_value()) << built.error();
  expect_paths_agree(*built, phrases, text);
}

TEST(PhraseMatcher, AgreesWithNaiveMatcherOnRandomSets) {
  const std::string_view alphabets[] = {
      "ab",
      "aAbB",
      "abc ",
      std::string_view("a\xc3\xa9\xff\x00@`[{",
                       9),  // non-ASCII, NUL and bytes one bit from letters
      "abcdefghij",
      "xyzXYZ019-",
  };
  CaseGenerator gen(0x5eed);
  int cases = 0;
  for (int round = 0; round < 4000; ++round) {
    const std::string_view alphabet = alphabets[round % std::size(alphabets)];
    const auto phrases = gen.phrases(alphabet, gen.below(12), 1 + gen.below(7));
    for (int t = 0; t < 5; ++t) {
      const std::string text = gen.text(alphabet, phrases, gen.below(4) == 0 ? 3 : 80);
      expect_same_as_naive(phrases, text);
      if (HasFatalFailure()) return;
      ++cases;
    }
  }
  EXPECT_EQ(cases, 20000);
}

TEST(PhraseMatcher, AgreesWithNaiveMatcherOnLongPhrases) {
  // Phrases of eight bytes or more use the prefilter's widest grams, so the
  // texts also mix case and non-letter bytes one bit apart from letters.
  CaseGenerator gen(4242);
  const std::string_view alphabet = "abAB @`";
  for (int round = 0; round < 1500; ++round) {
    std::vector<std::string> phrases;
    const std::size_t count = 1 + gen.below(8);
    for (std::size_t i = 0; i < count; ++i) {
      std::string p = gen.word(alphabet, 4) + "abab" + gen.word(alphabet, 6);
      if (i > 0 && gen.below(3) == 0)
        p = gen.flip_case(phrases[gen.below(i)]) + gen.word(alphabet, 3);
      phrases.push_back(p);
    }
    const std::string text = gen.text(alphabet, phrases, 120);
    expect_same_as_naive(phrases, text);
    if (HasFatalFailure()) return;
  }
}

TEST(PhraseMatcher, AgreesWithNaiveMatcherOnLargeSetsWithSparseStates) {
  // A phrase over 200 distinct bytes makes full rows wide, so most states of
  // the rest are kept sparse and the search crosses between both kinds.
  CaseGenerator gen(77);
  std::string wide;
  for (int b = 0x30; b < 0xF8; ++b) wide += static_cast<char>(b);
  for (int round = 0; round < 6; ++round) {
    std::vector<std::string> phrases;
    for (int i = 0; i < 1200; ++i)
      phrases.push_back(gen.flip_case(gen.word("abc", 6) + gen.word("abc", 8) + "ab"));
    for (int i = 0; i < 300; ++i) {
      const std::string& base = phrases[gen.below(phrases.size())];
      phrases.push_back(i % 2 ? base.substr(gen.below(base.size()))
                              : base.substr(0, 1 + gen.below(base.size())));
    }
    phrases.insert(phrases.begin() + static_cast<std::ptrdiff_t>(gen.below(phrases.size())), wide);
    const auto built = PhraseMatcher::build(phrases);
    ASSERT_TRUE(built.has_value());
    EXPECT_GT(built->state_count(), 2 * built->dense_state_count());
    for (int t = 0; t < 4; ++t) {
      const std::string text =
          gen.text("abcAB", phrases, 3000) + wide + gen.text("abc", phrases, 300);
      const auto got = built->find_all(text);
      ASSERT_EQ(got, naive_find_all(phrases, text)) << "round " << round;
    }
  }
}

// Phrases of at least `min_len` bytes, so that the window filter is used
// (the shortest phrase sets its window size and stride), built to collide in
// the ways its exact table and confirmations must get right: shared
// prefixes, prefixes and extensions of each other, case variants, suffixes,
// runs of one byte.
std::vector<std::string> filter_phrases(CaseGenerator& gen, std::string_view alphabet,
                                        std::size_t count, std::size_t min_len,
                                        std::size_t max_len) {
  const auto fresh = [&] {
    return gen.word(alphabet, max_len - min_len) + gen.word(alphabet, 0) + [&] {
      std::string w;
      for (std::size_t i = 0; i < min_len; ++i) w += alphabet[gen.below(alphabet.size())];
      return w;
    }();
  };
  std::vector<std::string> out;
  for (std::size_t i = 0; i < count; ++i) {
    if (out.empty() || gen.below(4) == 0) {
      out.push_back(fresh());
      continue;
    }
    const std::string& base = out[gen.below(out.size())];
    std::string p;
    switch (gen.below(6)) {
      case 0:  // a prefix of another
        p = base.substr(0, min_len + gen.below(base.size() - min_len + 1));
        break;
      case 1:  // another's first bytes with a new tail
        p = base.substr(0, gen.below(base.size() + 1)) + gen.word(alphabet, 4);
        break;
      case 2:  // case variant or duplicate
        p = gen.flip_case(base);
        break;
      case 3:  // a suffix of another
        p = base.substr(gen.below(base.size() - min_len + 1));
        break;
      case 4:  // one byte repeated
        p = std::string(min_len + gen.below(max_len - min_len + 1),
                        alphabet[gen.below(alphabet.size())]);
        break;
      default:  // another with bytes in front
        p = gen.word(alphabet, 3) + base;
        break;
    }
    while (p.size() < min_len) p += alphabet[gen.below(alphabet.size())];
    out.push_back(p.substr(0, std::max(min_len, std::min(p.size(), max_len))));
  }
  return out;
}

// Text that keeps a filter busy: noise, whole phrases in changed case,
// phrases cut short, a phrase's first bytes repeated, runs of one byte.
std::string filter_text(CaseGenerator& gen, std::string_view alphabet,
                        const std::vector<std::string>& phrases, std::size_t max_len) {
  std::string t;
  const std::size_t len = gen.below(max_len + 1);
  while (t.size() < len) {
    const std::string& p = phrases[gen.below(phrases.size())];
    switch (gen.below(8)) {
      case 0:
      case 1:
        t += gen.flip_case(p);
        break;
      case 2:
        t += p.substr(0, gen.below(p.size()));
        break;
      case 3:
        for (std::size_t k = gen.below(4); k > 0; --k) t += p.substr(0, 1 + gen.below(p.size()));
        break;
      case 4:
        t += std::string(gen.below(20), alphabet[gen.below(alphabet.size())]);
        break;
      default:
        t += alphabet[gen.below(alphabet.size())];
        break;
    }
  }
  return t;
}

std::string every_byte() {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  return all;
}

TEST(PhraseMatcher, AgreesWithNaiveMatcherThroughTheWindowFilter) {
  const std::string all_bytes = every_byte();
  const std::string_view alphabets[] = {
      "ab",
      "aAbB ",
      std::string_view("a\xc3\xa9\xff\x00@`[{", 9),  // non-ASCII, NUL, one bit from letters
      "abcdefghij",
      "xyzXYZ019-",
      all_bytes,
  };
  // The shortest phrase sets the window (4 to 8 bytes) and the stride (1, 2
  // or 4); the longest reach past the farthest window offset.
  const std::size_t shortest[] = {4, 5, 6, 7, 8, 9, 10, 11, 14};
  CaseGenerator gen(0xF117E4);
  for (int round = 0; round < 1500; ++round) {
    const std::string_view alphabet = alphabets[round % std::size(alphabets)];
    const std::size_t min_len = shortest[gen.below(std::size(shortest))];
    const auto phrases =
        filter_phrases(gen, alphabet, 1 + gen.below(30), min_len, min_len + gen.below(70));
    const auto built = PhraseMatcher::build(phrases);
    ASSERT_TRUE(built.has_value()) << built.error();
    ASSERT_GT(built->window_bytes(), 0u) << describe(phrases, "");
    for (int t = 0; t < 4; ++t) {
      expect_paths_agree(*built, phrases, filter_text(gen, alphabet, phrases, 400));
      if (HasFatalFailure()) return;
    }
  }
}

TEST(PhraseMatcher, WindowsSharedByManyPhrasesWalkTheTrie) {
  // Eight-byte phrases have one run of windows, so these all share their
  // first window at the same offset: more than a hit confirms one by one.
  CaseGenerator gen(31337);
  std::vector<std::string> phrases;
  for (int c = 0; c < 256; ++c) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c >= 0xA0)
      phrases.push_back(std::string("sharedp") + static_cast<char>(c));
  }
  for (int i = 0; i < 300; ++i) phrases.push_back("sharedpr" + gen.word("abcdefgh", 6));
  const auto built = PhraseMatcher::build(phrases);
  ASSERT_TRUE(built.has_value());
  for (int t = 0; t < 40; ++t) {
    expect_paths_agree(*built, phrases,
                       filter_text(gen, "sharedpSHAREDP xyz9\xa5\xff", phrases, 600));
    if (HasFatalFailure()) return;
  }
  std::string repeated;
  while (repeated.size() < 4000) repeated += "SharedPr";
  expect_paths_agree(*built, phrases, repeated);
}

TEST(PhraseMatcher, HugeSharedPrefixes) {
  CaseGenerator gen(99);
  const std::string prefix = gen.flip_case(std::string(300, 'a') + gen.word("ab", 300));
  std::vector<std::string> phrases;
  for (int i = 0; i < 12; ++i) phrases.push_back(prefix + gen.word("abc", 5));
  phrases.push_back(prefix.substr(0, 650));
  const auto built = PhraseMatcher::build(phrases);
  ASSERT_TRUE(built.has_value());
  ASSERT_GT(built->window_bytes(), 0u);
  for (int t = 0; t < 30; ++t) {
    expect_paths_agree(*built, phrases, filter_text(gen, "abcAB", phrases, 3000));
    if (HasFatalFailure()) return;
  }
}

TEST(PhraseMatcher, BusyConfirmationsHandOverToTheAutomatonAndBack) {
  // In a long run of 'a' every position holds these phrases' windows and
  // each confirmation reads far ahead; after the run the filter takes over
  // again and must still find everything.
  const std::vector<std::string> phrases = {std::string(200, 'a') + "b", "needle7x",
                                            std::string(120, 'a') + "c"};
  const auto built = PhraseMatcher::build(phrases);
  ASSERT_TRUE(built.has_value());
  ASSERT_GT(built->window_bytes(), 0u);
  // The automaton hands back where it stands in its start state: right
  // before the first needle.
  std::string text = std::string(40000, 'a') + "-needle7x " + std::string(201, 'A') + "b";
  for (int i = 0; i < 50; ++i) text += " xx NEEDLE7X " + std::string(i * 7, 'a') + "b";
  expect_paths_agree(*built, phrases, text);
}

TEST(PhraseMatcher, FindAtAgreesWithNaiveFromAnyStart) {
  CaseGenerator gen(2024);
  for (int round = 0; round < 300; ++round) {
    const auto phrases = filter_phrases(gen, "abAB ", 1 + gen.below(12), 4 + gen.below(8), 24);
    const auto built = PhraseMatcher::build(phrases);
    ASSERT_TRUE(built.has_value());
    const std::string text = filter_text(gen, "abAB ", phrases, 200);
    for (int k = 0; k < 5; ++k) {
      const std::size_t at = gen.below(text.size() + 1);
      const auto rest = naive_find_all(phrases, std::string_view(text).substr(at));
      for (const MatcherPath path : kPaths) {
        PhraseMatch got;
        const bool found = built->with_path(path).find_at(text, at, got);
        ASSERT_EQ(found, !rest.empty()) << describe(phrases, text) << "\nat " << at;
        if (found) {
          EXPECT_EQ(got, (PhraseMatch{rest[0].phrase, rest[0].start + at, rest[0].end + at}));
        }
      }
    }
  }
}

TEST(PhraseMatcher, ImageRoundTripKeepsEveryTable) {
  CaseGenerator gen(5);
  for (const std::size_t min_len : {1, 4, 8, 11}) {
    const auto phrases = filter_phrases(gen, "abcAB ", 40, min_len, 30);
    const auto built = PhraseMatcher::build(phrases);
    ASSERT_TRUE(built.has_value());
    FlatImageWriter writer(7);
    built->write_image(writer);
    const std::string image = writer.finish();
    std::vector<std::uint64_t> aligned(image.size() / 8 + 1);
    std::memcpy(aligned.data(), image.data(), image.size());
    FlatImageReader reader({reinterpret_cast<const std::byte*>(aligned.data()), image.size()}, 7);
    const auto read = PhraseMatcher::read_image(reader);
    ASSERT_TRUE(read.has_value());
    EXPECT_TRUE(reader.at_end());
    EXPECT_EQ(read->path(), built->path());
    EXPECT_EQ(read->window_bytes(), built->window_bytes());
    for (int t = 0; t < 10; ++t) {
      const std::string text = filter_text(gen, "abcAB ", phrases, 300);
      expect_paths_agree(*read, phrases, text);
    }
  }
}

TEST(PhraseMatcher, LeftmostFirstAndNonOverlapping) {
  const auto m = build_ok({"abcd", "bc", "ab", "abcdef"});
  // "abcd" wins at 0 over the shorter "ab" listed later; "abcdef" is never
  // reported: "abcd", earlier in the list, always matches where it does.
  EXPECT_EQ(m.find_all("xabcdefx"), (std::vector<PhraseMatch>{{0, 1, 5}}));
  // When the long candidate dies, the earlier start still wins.
  EXPECT_EQ(m.find_all("abcx"), (std::vector<PhraseMatch>{{2, 0, 2}}));
  // Nothing starts at 0 here, so the match at 1 is reported.
  EXPECT_EQ(m.find_all("zbcx"), (std::vector<PhraseMatch>{{1, 1, 3}}));
  // After a match, the search resumes at its end.
  EXPECT_EQ(m.find_all("ababcd"), (std::vector<PhraseMatch>{{2, 0, 2}, {0, 2, 6}}));
}

TEST(PhraseMatcher, FoldsOnlyAsciiLetters) {
  const auto m = build_ok({"DAN mode", "\xc3\xa9t\xc3\xa9", "a@b"});
  EXPECT_EQ(m.find_all("dan MODE"), (std::vector<PhraseMatch>{{0, 0, 8}}));
  EXPECT_EQ(m.find_all("\xc3\x89T\xc3\x89"), std::vector<PhraseMatch>{});  // É is not folded
  EXPECT_EQ(m.find_all("\xc3\xa9T\xc3\xa9"), (std::vector<PhraseMatch>{{1, 0, 5}}));
  EXPECT_EQ(m.find_all("A`B"),
            std::vector<PhraseMatch>{});  // '@' and '`' differ only in the case bit
  EXPECT_EQ(m.find_all("A@B"), (std::vector<PhraseMatch>{{2, 0, 3}}));
}

TEST(PhraseMatcher, EmptyPhrasesMatchEveryPositionOnce) {
  EXPECT_EQ(build_ok({""}).find_all("ab"),
            (std::vector<PhraseMatch>{{0, 0, 0}, {0, 1, 1}, {0, 2, 2}}));
  EXPECT_EQ(build_ok({""}).find_all(""), (std::vector<PhraseMatch>{{0, 0, 0}}));
  // Next to a real match the empty phrase does not repeat at its end.
  EXPECT_EQ(build_ok({"ab", ""}).find_all("abx"), (std::vector<PhraseMatch>{{0, 0, 2}, {1, 3, 3}}));
  EXPECT_EQ(build_ok({"ab", ""}).find_all("xab"), (std::vector<PhraseMatch>{{1, 0, 0}, {0, 1, 3}}));
}

TEST(PhraseMatcher, EdgeSizes) {
  EXPECT_TRUE(build_ok({}).find_all("anything").empty());
  EXPECT_TRUE(PhraseMatcher().find_all("anything").empty());
  EXPECT_TRUE(build_ok({"abc"}).find_all("").empty());
  EXPECT_TRUE(build_ok({"abcdef"}).find_all("abcde").empty());
  EXPECT_EQ(build_ok({"a"}).find_all("a"), (std::vector<PhraseMatch>{{0, 0, 1}}));
  // Phrases of every short length, ending exactly at the end of the text.
  const auto m = build_ok({"xyzw", "xyz", "xy", "q"});
  EXPECT_EQ(m.find_all("..xy"), (std::vector<PhraseMatch>{{2, 2, 4}}));
  EXPECT_EQ(m.find_all("0123456789abcdefxyz"), (std::vector<PhraseMatch>{{1, 16, 19}}));
  EXPECT_EQ(m.find_all("0123456789abcdefQ"), (std::vector<PhraseMatch>{{3, 16, 17}}));
}

TEST(PhraseMatcher, FindAtIgnoresTextBeforeTheStart) {
  const auto m = build_ok({"abc", "bcd"});
  PhraseMatch got;
  ASSERT_TRUE(m.find_at("abcd", 1, got));
  EXPECT_EQ(got, (PhraseMatch{1, 1, 4}));
  EXPECT_FALSE(m.find_at("abcd", 2, got));
  EXPECT_FALSE(m.find_at("abcd", 4, got));
}

TEST(PhraseMatcher, BuildFailsWithDescriptionBeyondLimits) {
  const std::vector<std::string> three = {"a", "bb", "ccc"};
  auto r = PhraseMatcher::build(three, {.max_phrases = 2});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "too many phrases: 3 (the limit is 2)");

  r = PhraseMatcher::build(three, {.max_phrase_bytes = 2});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "phrase 2 is 3 bytes long (the limit is 2 bytes)");

  r = PhraseMatcher::build(three, {.max_states = 6});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "too many automaton states (the limit is 6)");
  EXPECT_TRUE(PhraseMatcher::build(three, {.max_states = 8}).has_value());

  const std::vector<std::string> huge = {std::string(100 * 1024, 'x')};
  r = PhraseMatcher::build(huge);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), "phrase 0 is 102400 bytes long (the limit is 1024 bytes)");
}

TEST(PhraseMatcher, LongestAllowedPhraseMatches) {
  const std::string longest(1024, 'q');
  const auto m = build_ok({longest, "q"});
  EXPECT_EQ(m.find_all("x" + longest + "q"),
            (std::vector<PhraseMatch>{{0, 1, 1025}, {1, 1025, 1026}}));
}

}  // namespace
}  // namespace vantrel_core
