// Runs fuzz targets over files, without libFuzzer: the test suite replays the
// seed corpora and every input that once broke a target.
//   vantrel_fuzz_replay TARGET PATH...   (a directory means every file in it)
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#define VANTREL_FUZZ_ENTRY(name) int fuzz_##name(const std::uint8_t* data, std::size_t size);
VANTREL_FUZZ_ENTRY(scan)
VANTREL_FUZZ_ENTRY(daemon)
VANTREL_FUZZ_ENTRY(patterns)
VANTREL_FUZZ_ENTRY(profile)
VANTREL_FUZZ_ENTRY(stream)
VANTREL_FUZZ_ENTRY(matcher)
VANTREL_FUZZ_ENTRY(numbers)
#undef VANTREL_FUZZ_ENTRY

namespace {

using Entry = int (*)(const std::uint8_t*, std::size_t);

struct Target {
  std::string_view name;
  Entry entry;
};

constexpr Target kTargets[] = {
    {"scan", fuzz_scan},       {"daemon", fuzz_daemon}, {"patterns", fuzz_patterns},
    {"profile", fuzz_profile}, {"stream", fuzz_stream}, {"matcher", fuzz_matcher},
    {"numbers", fuzz_numbers},
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s TARGET PATH...\n", argv[0]);
    return 2;
  }
  const std::string_view name = argv[1];
  const auto target = std::find_if(std::begin(kTargets), std::end(kTargets),
                                   [&](const Target& t) { return t.name == name; });
  if (target == std::end(kTargets)) {
    std::fprintf(stderr, "unknown target %s\n", argv[1]);
    return 2;
  }
  std::vector<std::filesystem::path> files;
  for (int i = 2; i < argc; ++i) {
    const std::filesystem::path path = argv[i];
    if (std::filesystem::is_directory(path)) {
      for (const auto& e : std::filesystem::directory_iterator(path)) {
        if (e.is_regular_file()) files.push_back(e.path());
      }
    } else if (std::filesystem::exists(path)) {
      files.push_back(path);
    }
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::fprintf(stderr, "%s\n", f.string().c_str());
    target->entry(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }
  std::fprintf(stderr, "%zu inputs replayed through %s\n", files.size(), argv[1]);
  return files.empty() ? 1 : 0;
}
