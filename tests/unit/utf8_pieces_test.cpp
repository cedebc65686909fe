// Checking UTF-8 that arrives in pieces: the well-formed prefix of a text,
// and the piece checker against a reference that judges the whole text.
#include "utf8_pieces.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "vantrel/text.h"

namespace vantrel_core {
namespace {

TEST(Utf8Prefix, StopsBeforeTheFirstIllFormedSequence) {
  EXPECT_EQ(well_formed_utf8_prefix(""), 0u);
  EXPECT_EQ(well_formed_utf8_prefix("caf\xc3\xa9"), 5u);
  EXPECT_EQ(well_formed_utf8_prefix("caf\xc3"), 3u);         // cut short
  EXPECT_EQ(well_formed_utf8_prefix("ab\xc0\x80"), 2u);      // overlong
  EXPECT_EQ(well_formed_utf8_prefix("a\xed\xa0\x80z"), 1u);  // surrogate
  EXPECT_EQ(well_formed_utf8_prefix("\xe2\x82\xac\xff"), 3u);
}

// Whether `text` is well-formed UTF-8 or a prefix of it, judged by trying
// completions whose bytes lie at the edges of every continuation range.
bool completable(const std::string& text) {
  if (is_valid_utf8(text)) return true;
  const std::string edges = "\x80\x8f\x90\x9f\xa0\xbf";
  for (char a : edges) {
    for (const std::string& tail :
         {std::string(1, a), std::string{a, '\x80'}, std::string{a, '\x80', '\x80'}})
      if (is_valid_utf8(text + tail)) return true;
  }
  return false;
}

TEST(Utf8PieceChecker, AcceptsEveryPieceExactlyWhileTheTextCanStillBeUtf8) {
  // Bytes biased towards UTF-8's structure: ASCII, lead bytes of every
  // length, continuation bytes of every range, and bytes never valid.
  const std::string alphabet =
      "a \xc2\xc3\xdf\xe0\xe2\xed\xef\xf0\xf4\xf5\x80\x8f\x90\x9f\xa0\xbf\xc0\xff";
  std::mt19937 random(7);
  int rejected_texts = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const int size = 1 + static_cast<int>(random() % 12);
    for (int i = 0; i < size; ++i) text += alphabet[random() % alphabet.size()];
    Utf8PieceChecker checker;
    std::string accepted;
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t length = 1 + random() % 4;
      const std::string piece = text.substr(at, length);
      const auto bad = checker.accept(piece);
      ASSERT_EQ(!bad, completable(accepted + piece)) << testing::PrintToString(accepted + piece);
      if (bad) {
        ++rejected_texts;
        // The offset lies in the piece, and the checker still takes what
        // would have been well-formed instead.
        ASSERT_LT(*bad, piece.size());
        break;
      }
      accepted += piece;
      ASSERT_EQ(checker.mid_character(), !is_valid_utf8(accepted));
      at += length;
    }
  }
  EXPECT_GT(rejected_texts, 1000);  // the random texts exercised both sides
}

TEST(Utf8PieceChecker, CharactersCutAnywhereAreAcceptedAndOffsetsPointAtTheBadByte) {
  const std::string text = "é€😀 ok";
  for (std::size_t cut = 0; cut <= text.size(); ++cut) {
    Utf8PieceChecker checker;
    EXPECT_FALSE(checker.accept(text.substr(0, cut))) << cut;
    EXPECT_FALSE(checker.accept(text.substr(cut))) << cut;
    EXPECT_FALSE(checker.mid_character());
  }
  Utf8PieceChecker checker;
  EXPECT_FALSE(checker.accept("ab\xe2\x82"));
  EXPECT_EQ(checker.accept("x"), 0u);             // the pending character cannot end so
  EXPECT_EQ(checker.accept("\xac ok \xff"), 5u);  // finishes €, then a byte never valid
  EXPECT_TRUE(checker.mid_character());           // the refused pieces changed nothing
  EXPECT_FALSE(checker.accept("\xac"));
  EXPECT_FALSE(checker.mid_character());
}

}  // namespace
}  // namespace vantrel_core
