#include "families.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vantrel_tools {
namespace {

std::string numbered_words(int from, int count) {
  std::string s;
  for (int i = from; i < from + count; ++i) s += "word" + std::to_string(i) + " ";
  return s;
}

TEST(Families, RepostsAndLightEditsShareAFamily) {
  const std::string base = numbered_words(0, 200);
  const std::vector<std::string> docs = {
      base,
      "Hello! " + base + " Thanks.",                     // a repost with a greeting
      numbered_words(1000, 200),                         // unrelated
      numbered_words(0, 150) + numbered_words(500, 20),  // an edit of the first
      "short text",
      "SHORT   text",  // white space and ASCII case do not matter
      "short texts",
  };
  const auto ids = near_duplicate_families(docs);
  ASSERT_EQ(ids.size(), docs.size());
  EXPECT_EQ(ids[0], 0u);
  EXPECT_EQ(ids[1], 0u);
  EXPECT_EQ(ids[2], 1u);
  EXPECT_EQ(ids[3], 0u);
  EXPECT_EQ(ids[4], 2u);
  EXPECT_EQ(ids[5], 2u);
  EXPECT_EQ(ids[6], 3u);
}

TEST(Families, ChainsJoinAndDistantTextsStayApart) {
  // a~b and b~c share most shingles; a and c share little, yet one chain links them.
  const std::vector<std::string> docs = {numbered_words(0, 100), numbered_words(30, 100),
                                         numbered_words(60, 100), numbered_words(400, 100)};
  const auto ids = near_duplicate_families(docs, 0.4);
  EXPECT_EQ(ids[0], ids[1]);
  EXPECT_EQ(ids[1], ids[2]);
  EXPECT_NE(ids[3], ids[0]);
  // A strict threshold splits them.
  const auto strict = near_duplicate_families(docs, 0.9);
  EXPECT_EQ(strict, (std::vector<std::uint32_t>{0, 1, 2, 3}));
  EXPECT_TRUE(near_duplicate_families(std::vector<std::string>{}).empty());
}

}  // namespace
}  // namespace vantrel_tools
