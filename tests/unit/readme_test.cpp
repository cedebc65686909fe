// The README's C++ example is a file the build compiles and runs
// (tests/readme/embed_library.cpp); the README must show it unchanged.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Readme, ShowsTheEmbedExampleAsBuilt) {
  const std::string readme = slurp(std::string(VANTREL_SOURCE_DIR) + "/README.md");
  const std::string example =
      slurp(std::string(VANTREL_SOURCE_DIR) + "/tests/readme/embed_library.cpp");
  ASSERT_FALSE(example.empty());
  EXPECT_NE(readme.find("```cpp\n" + example + "```\n"), std::string::npos)
      << "README.md must quote tests/readme/embed_library.cpp in a ```cpp block";
}

}  // namespace
