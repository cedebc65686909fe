#include "jsonl.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace vantrel_tools {
namespace {

// A labelled data file in a fresh temporary directory, removed afterwards.
class DataFile : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vantrel-jsonl-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = (dir_ / "sample.injection.jsonl").string();
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Reads `content` back; returns the records and leaves the diagnostics in err_.
  std::vector<LabelledText> read(const std::string& content) {
    std::ofstream(path_, std::ios::binary) << content;
    std::vector<LabelledText> got;
    ::testing::internal::CaptureStderr();
    ok_ = read_labelled_jsonl(path_, [&](LabelledText&& t) { got.push_back(std::move(t)); });
    err_ = ::testing::internal::GetCapturedStderr();
    return got;
  }

  std::filesystem::path dir_;
  std::string path_;
  std::string err_;
  bool ok_ = false;
};

TEST_F(DataFile, MalformedLinesAreNamedAndSkipped) {
  const auto got =
      read(R"({"text":"first","label":"attack","kind":"injection","lang":"en"})"
           "\n"
           "{not json\n"
           R"({"label":"attack","kind":"injection"})"
           "\n"
           R"({"text":"x","label":"maybe","kind":"injection"})"
           "\n"
           R"({"text":"x","label":"benign"})"
           "\n"
           R"({"text":"x","label":"benign","kind":"benign_prompt","lang":7})"
           "\n"
           "[1,2]\n"
           "\n"
           R"({"text":"last","label":"benign","kind":"benign_prompt","lang":null,"source":"s"})"
           "\r\n");
  EXPECT_TRUE(ok_);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].text, "first");
  EXPECT_EQ(got[0].lang, "en");
  EXPECT_EQ(got[0].line, 1u);
  EXPECT_EQ(got[1].text, "last");
  EXPECT_EQ(got[1].kind, "benign_prompt");
  EXPECT_EQ(got[1].lang, "");
  EXPECT_EQ(got[1].line, 9u);                       // the blank line 8 is counted but not reported
  EXPECT_EQ(err_, path_ + ":2: not valid JSON\n" +  //
                      path_ + ":3: missing string \"text\"\n" +                     //
                      path_ + ":4: \"label\" must be \"attack\" or \"benign\"\n" +  //
                      path_ + ":5: missing string \"kind\"\n" +                     //
                      path_ + ":6: \"lang\" must be a string or null\n" +           //
                      path_ + ":7: not a JSON object\n");
}

TEST_F(DataFile, UnreadableFileIsReported) {
  std::vector<LabelledText> got;
  ::testing::internal::CaptureStderr();
  const bool ok = read_labelled_jsonl((dir_ / "absent.jsonl").string(),
                                      [&](LabelledText&& t) { got.push_back(t); });
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(ok);
  EXPECT_TRUE(got.empty());
  EXPECT_EQ(err, (dir_ / "absent.jsonl").string() + ": cannot open\n");
}

TEST(Jsonl, FileStemAndOutputKinds) {
  EXPECT_EQ(file_stem("data/deepset.injection.jsonl"), "deepset.injection");
  EXPECT_EQ(file_stem("plain.txt"), "plain.txt");
  EXPECT_TRUE(is_output_kind("leak_output"));
  EXPECT_FALSE(is_output_kind("output"));
  EXPECT_FALSE(is_output_kind("injection"));
}

TEST(Jsonl, SplitIsFixedPerTextAndPartitions) {
  std::size_t mine = 0;
  for (int i = 0; i < 2000; ++i) {
    const std::string text = "text number " + std::to_string(i);
    const bool m = in_split(text, Split::Mine), c = in_split(text, Split::Check);
    EXPECT_NE(m, c) << text;  // every text on exactly one side
    EXPECT_TRUE(in_split(text, Split::All));
    EXPECT_EQ(m, in_split(std::string(text), Split::Mine));
    mine += m ? 1 : 0;
  }
  EXPECT_GT(mine, 1300u);  // about 70 %
  EXPECT_LT(mine, 1500u);
  EXPECT_EQ(parse_split("check"), Split::Check);
  EXPECT_EQ(parse_split("Mine"), std::nullopt);
  for (Split s : {Split::All, Split::Mine, Split::Check}) EXPECT_EQ(parse_split(split_name(s)), s);
}

}  // namespace
}  // namespace vantrel_tools
