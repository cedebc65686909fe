#include "vantrel/text.h"

#include <gtest/gtest.h>

#include "engine.h"
#include "skills/stream.h"

namespace vantrel_core {
namespace {

TEST(Utf8, ValidationRejectsEveryIllFormedShape) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
  for (const char* bad : {"\xff", "\xc0\x80", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\x80", "\xf8\x88\x80\x80\x80"}) {
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  }
}

TEST(Utf8, RepairReplacesEachOffendingByte) {
  EXPECT_EQ(to_valid_utf8("plain \xc3\xa9"), "plain \xc3\xa9");
  EXPECT_EQ(to_valid_utf8("a\xff" "b"), "a\xef\xbf\xbd" "b");
  EXPECT_EQ(to_valid_utf8("\xed\xa0\x80"), "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(to_valid_utf8("x\xe2\x82"), "x\xef\xbf\xbd\xef\xbf\xbd");
  EXPECT_EQ(to_valid_utf8("\xc0\x80"), "\xef\xbf\xbd\xef\xbf\xbd");
  for (const char* bad : {"\xff\xfe", "\xed\xbf\xbf", "\xf0\x80\x80\x80", "abc\xf4"}) {
    EXPECT_TRUE(is_valid_utf8(to_valid_utf8(bad)));
  }
}

TEST(Utf8, WhitespaceTrimming) {
  EXPECT_EQ(trim_trailing_unicode_whitespace("hi \t\n\xe3\x80\x80"), "hi");
  EXPECT_EQ(trim_trailing_unicode_whitespace("hi\xc2\xa0x"), "hi\xc2\xa0x");
  EXPECT_EQ(trim_unicode_whitespace(" \xe2\x80\x83 a b \n"), "a b");
  EXPECT_TRUE(is_blank(" \t\r\xe2\x80\xa8"));
  EXPECT_FALSE(is_blank(" \xe2\x80\x8b"));  // zero width space is not White_Space
}

TEST(Utf8, LibraryCallersMayPassIllFormedBytes) {
  const Scanner scanner = Scanner::with_config(GateConfig());
  const ScanResult in = scanner.scan("abc\xff\xfe def \xe2\x82");
  EXPECT_TRUE(in.normalized_text.has_value());
  EXPECT_TRUE(is_valid_utf8(*in.normalized_text));
  EXPECT_TRUE(is_valid_utf8(*scanner.scan_output("\xc0\x80 reply").normalized_text));

  // A character split across pushes must not reach the skills half-formed.
  StreamConfig c;
  c.gate_config = GateConfig();
  auto s = StreamScanner::with_config(c);
  std::string text(4094, 'a');
  text += "\xe2\x82\xac and more.";
  for (char ch : text) s.push(std::string_view(&ch, 1));
  EXPECT_TRUE(std::move(s).finish().safe);
}

}  // namespace
}  // namespace vantrel_core
