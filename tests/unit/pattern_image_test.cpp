#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "flat_image.h"
#include "skills/embedded_patterns.h"
#include "skills/pattern.h"

namespace vantrel_core {
namespace {

// An image copied into 8-byte aligned storage, as from_image needs.
class AlignedImage {
 public:
  explicit AlignedImage(std::string_view image, std::size_t shift = 0)
      : words_((image.size() + shift + 7) / 8 + 1) {
    std::memcpy(reinterpret_cast<char*>(words_.data()) + shift, image.data(), image.size());
    bytes_ = {reinterpret_cast<const std::byte*>(words_.data()) + shift, image.size()};
  }
  std::span<const std::byte> bytes() const { return bytes_; }

 private:
  std::vector<std::uint64_t> words_;
  std::span<const std::byte> bytes_;
};

PatternSkill from_json_ok(std::string_view json) {
  auto s = PatternSkill::from_json(json);
  EXPECT_TRUE(s.has_value()) << json;
  return std::move(s).value();
}

// Texts that exercise a database: its phrases in changed case, cut short or
// run together, its context words, other ASCII and multi-byte characters.
std::vector<std::string> probe_texts(const std::vector<Pattern>& records, std::uint32_t seed,
                                     std::size_t count) {
  std::mt19937 rng(seed);
  std::vector<std::string> words = {"how to",   "prevent", "please", "the", "É", "€",
                                    "\xce\xa3", "\n",      "DAN",    "  ",  "x"};
  for (const Pattern& p : records) {
    if (!p.context) continue;
    for (const auto* m : {&p.context->boost, &p.context->suppress}) {
      if (*m) words.insert(words.end(), (*m)->patterns.begin(), (*m)->patterns.end());
    }
  }
  const auto pick = [&rng](std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(rng);
  };
  std::vector<std::string> texts;
  for (std::size_t t = 0; t < count; ++t) {
    std::string text;
    const std::size_t parts = 1 + pick(8);
    for (std::size_t k = 0; k < parts; ++k) {
      switch (pick(4)) {
        case 0:
        case 1: {
          if (records.empty()) break;
          std::string phrase = records[pick(records.size())].text;
          for (char& c : phrase) {
            if (pick(4) == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
          }
          if (pick(5) == 0 && !phrase.empty()) phrase.resize(pick(phrase.size()));
          text += phrase;
          break;
        }
        case 2:
          text += words[pick(words.size())];
          break;
        default:
          text += static_cast<char>(' ' + pick(95));
      }
      if (pick(2) == 0) text += ' ';
    }
    texts.push_back(std::move(text));
  }
  return texts;
}

// Checks that `image_backed` is what `parsed` is: records, identity, matcher
// and every scan result on probe texts.
void expect_same_skill(const PatternSkill& image_backed, const PatternSkill& parsed,
                       std::size_t probes) {
  EXPECT_EQ(image_backed.db_hash(), parsed.db_hash());
  EXPECT_EQ(image_backed.db_version(), parsed.db_version());
  ASSERT_EQ(image_backed.patterns(), parsed.patterns());
  EXPECT_EQ(image_backed.matcher().phrase_count(), parsed.matcher().phrase_count());
  EXPECT_EQ(image_backed.matcher().state_count(), parsed.matcher().state_count());
  std::size_t signals = 0;
  for (const std::string& text : probe_texts(parsed.patterns(), 17, probes)) {
    const SkillOutput a = image_backed.scan(text);
    const SkillOutput b = parsed.scan(text);
    ASSERT_EQ(a.signals, b.signals) << text;
    EXPECT_EQ(a.threat_type, b.threat_type) << text;
    EXPECT_EQ(image_backed.matcher().find_all(text), parsed.matcher().find_all(text)) << text;
    signals += b.signals.size();
  }
  if (!parsed.patterns().empty()) {
    EXPECT_GT(signals, probes / 2);  // the probes do reach records
  }
}

TEST(PatternImage, EmbeddedImageIsTheEmbeddedTextAsRead) {
  const auto image_backed = PatternSkill::from_image(embedded_pattern_image());
  ASSERT_TRUE(image_backed.has_value()) << image_backed.error().debug();
  const PatternSkill parsed = from_json_ok(embedded_patterns_json());
  expect_same_skill(*image_backed, parsed, 3000);
}

TEST(PatternImage, EmbeddedSkillIsTheImageRelabelled) {
  const auto embedded = PatternSkill::with_embedded_patterns();
  ASSERT_TRUE(embedded.has_value());
  const PatternSkill as_read = from_json_ok(embedded_patterns_json());
  EXPECT_EQ(embedded->db_hash(), as_read.db_hash());
  EXPECT_EQ(embedded->db_version(), as_read.db_version());
  // Re-labelling touches names and one text; everything else is as read.
  const auto& changed = embedded->patterns();
  const auto& original = as_read.patterns();
  ASSERT_EQ(changed.size(), original.size());
  std::size_t relabelled = 0;
  for (std::size_t i = 0; i < changed.size(); ++i) {
    EXPECT_EQ(changed[i].likelihood_ratio, original[i].likelihood_ratio);
    EXPECT_EQ(changed[i].description, original[i].description);
    EXPECT_EQ(changed[i].context, original[i].context);
    if (changed[i].threat_type != original[i].threat_type || changed[i].text != original[i].text) {
      ++relabelled;
      EXPECT_TRUE(changed[i].threat_type == "Jailbreak" ||
                  changed[i].threat_type == "PromptInjection");
    }
  }
  EXPECT_GT(relabelled, 0u);
  // Scans report the new names: signals agree except in their type.
  for (const std::string& text : probe_texts(original, 5, 500)) {
    const SkillOutput a = embedded->scan(text);
    const SkillOutput b = as_read.scan(text);
    ASSERT_EQ(a.signals.size(), b.signals.size()) << text;
    for (std::size_t k = 0; k < a.signals.size(); ++k) {
      EXPECT_EQ(a.signals[k].offset, b.signals[k].offset);
      EXPECT_EQ(a.signals[k].likelihood_ratio, b.signals[k].likelihood_ratio);
    }
  }
}

TEST(PatternImage, SmallDatabasesSurviveTheRoundTrip) {
  const std::vector<std::string> databases = {
      "[]",
      R"({"version":"v7","patterns":[{"text":"abc","threat_type":"Jailbreak","likelihood_ratio":2,"description":"x"}]})",
      R"([{"text":"key","threat_type":"Jailbreak","likelihood_ratio":10,"description":"d",
           "context":{"boost":{"patterns":["how","write"],"multiplier":4,"window":50},
                      "suppress":{"patterns":["prevent"],"multiplier":0.5,"window":5}}},
          {"text":"lock","threat_type":"MaliciousCode","likelihood_ratio":-0.0,"description":"d",
           "context":{"boost":null,"suppress":{"patterns":[],"multiplier":0.5,"window":0}}},
          {"text":"été\u0000x","threat_type":"jailbreak","likelihood_ratio":1e300,"description":"",
           "context":{}},
          {"text":"","threat_type":"Benign","likelihood_ratio":1,"description":"empty"},
          {"text":"KEY","threat_type":"Jailbreak","likelihood_ratio":3,"description":"d"}])",
  };
  for (const std::string& json : databases) {
    const PatternSkill parsed = from_json_ok(json);
    const std::string image = parsed.image();
    const AlignedImage aligned(image);
    const auto image_backed = PatternSkill::from_image(aligned.bytes());
    ASSERT_TRUE(image_backed.has_value()) << json;
    expect_same_skill(*image_backed, parsed, 200);
    // The image does not depend on where the skill came from.
    EXPECT_EQ(image_backed->image(), image);
  }
  const auto core = PatternSkill::with_hardcoded_defaults();
  const AlignedImage aligned(core->image());
  const auto image_backed = PatternSkill::from_image(aligned.bytes());
  ASSERT_TRUE(image_backed.has_value());
  expect_same_skill(*image_backed, *core, 500);
}

TEST(PatternImage, ErrorsSurviveTheRoundTrip) {
  for (const std::string& json :
       {std::string("{ not json"),
        R"([{"text":")" + std::string(2000, 'a') +
            R"(","threat_type":"J","likelihood_ratio":1,"description":""}])"}) {
    const auto failed = PatternSkill::from_json(json);
    ASSERT_FALSE(failed.has_value());
    const AlignedImage aligned(PatternSkill::error_image(failed.error()));
    const auto read = PatternSkill::from_image(aligned.bytes());
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().kind, failed.error().kind);
    EXPECT_EQ(read.error().message, failed.error().message);
  }
}

TEST(PatternImage, MalformedImagesAreRejectedWithoutReadingOutside) {
  const std::string image = PatternSkill::with_hardcoded_defaults()->image();
  const auto malformed = [](std::string_view bytes, std::size_t shift = 0) {
    const AlignedImage aligned(bytes, shift);
    const auto read = PatternSkill::from_image(aligned.bytes());
    return !read.has_value() && read.error().message == "Malformed pattern image";
  };
  EXPECT_TRUE(malformed(""));
  EXPECT_TRUE(malformed(image, 1));  // sections no longer aligned for their types
  EXPECT_TRUE(malformed(image, 4));
  for (std::size_t cut : {8, 16, 64, 200, 1000}) {
    EXPECT_TRUE(malformed(std::string_view(image).substr(0, cut))) << cut;
  }
  EXPECT_TRUE(malformed(std::string_view(image).substr(0, image.size() - 1)));
  std::string tagged = image;
  tagged[8] ^= 1;  // another format
  EXPECT_TRUE(malformed(tagged));
  std::string fewer = image;
  fewer[12] = 3;  // the section count no longer covers the matcher
  EXPECT_TRUE(malformed(fewer));
  std::string wrong_size = image;
  wrong_size[16 + 16 * 2 + 8] ^= 8;  // the record texts' section loses or gains one entry
  EXPECT_TRUE(malformed(wrong_size));
  EXPECT_FALSE(malformed(image));
  EXPECT_FALSE(malformed(image, 8));
}

TEST(FlatImage, SectionsKeepTheirContentAndAlignment) {
  FlatImageWriter out(42);
  const std::vector<std::uint8_t> odd = {1, 2, 3};
  const std::vector<double> values = {1.5, -0.0, 1e300};
  out.add(odd);
  out.add(std::vector<std::uint16_t>{});
  out.add(values);
  out.add_string("text");
  const AlignedImage aligned(out.finish());

  FlatImageReader in(aligned.bytes(), 42);
  const auto bytes = in.next<std::uint8_t>();
  EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.end()), odd);
  EXPECT_TRUE(in.next<std::uint16_t>().empty());
  const auto read = in.next<double>();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(read.data()) % alignof(double), 0u);
  EXPECT_EQ(std::vector<double>(read.begin(), read.end()), values);
  EXPECT_EQ(in.next_string(), "text");
  EXPECT_TRUE(in.ok());
  EXPECT_TRUE(in.at_end());
  EXPECT_TRUE(in.next<char>().empty());  // past the end
  EXPECT_FALSE(in.ok());

  FlatImageReader other(aligned.bytes(), 43);
  EXPECT_FALSE(other.ok());
  FlatImageReader misfit(aligned.bytes(), 42);
  EXPECT_TRUE(misfit.next<std::uint16_t>().empty());  // three bytes are no array of u16
  EXPECT_FALSE(misfit.ok());
}

TEST(PhraseMatcher, CopiesShareTablesThatOutliveTheOriginal) {
  std::optional<PhraseMatcher> original =
      PhraseMatcher::build(std::vector<std::string>{"alpha", "beta"}).value();
  const PhraseMatcher copy = *original;
  original.reset();
  EXPECT_EQ(copy.find_all("a beta alpha"), (std::vector<PhraseMatch>{{1, 2, 6}, {0, 7, 12}}));
}

TEST(PatternImage, RecordsAreMadeOnceForConcurrentReaders) {
  const auto skill = PatternSkill::from_image(embedded_pattern_image());
  ASSERT_TRUE(skill.has_value());
  const std::vector<Pattern>* seen[2] = {nullptr, nullptr};
  std::thread a([&] { seen[0] = &skill->patterns(); });
  std::thread b([&] { seen[1] = &skill->patterns(); });
  a.join();
  b.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(seen[0]->size(), skill->matcher().phrase_count());
}

}  // namespace
}  // namespace vantrel_core
