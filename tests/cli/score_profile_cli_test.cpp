#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

#include "run_vantrel.h"

using vantrel_test::run_vantrel;
using vantrel_test::RunOptions;
using vantrel_test::TempDir;

namespace {

constexpr const char* kPathVar = "VANTREL_SCORE_V2_PROFILE_PATH";
constexpr const char* kDisableVar = "VANTREL_SCORE_V2_DISABLE_PROFILE";

// A valid profile whose probability is sigma(intercept) for any scan.
std::string profile_json(const std::string& intercept) {
  return R"({"profile_metadata":{"profile_version":"score_v2_profile/v1",)"
         R"("model_type":"elastic_net_logistic","feature_schema_version":"score_v2_signal_features_v1"},)"
         R"("feature_order":["channel_pattern_log_lr","channel_obfuscation_log_lr",)"
         R"("channel_statistical_log_lr","channel_toolcall_log_lr","fused_prethreshold_logit",)"
         R"("attack_family_count","distinct_root_span_count","duplicate_hit_count",)"
         R"("repetition_indicator","signal_intensity_total","normalization_delta_ratio",)"
         R"("leetspeak_substitution_count","confusable_substitution_count","decoded_payload_count",)"
         R"("control_char_mapped_count","invisible_char_removed_count","char_class_distortion_score",)"
         R"("interaction_pattern_x_obfuscation","interaction_obfuscation_x_statistical",)"
         R"("interaction_toolcall_x_pattern"],)"
         R"("coefficients":[0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0],"intercept":)" +
         intercept +
         R"(,"thresholds_by_mode":{"input":{"warn_prob":0.3,"block_prob":0.6},)"
         R"("output":{"warn_prob":0.3,"block_prob":0.6},"toolcall":{"warn_prob":0.3,"block_prob":0.6}},)"
         R"("provenance":{"dataset_hashes":[],"commit_sha":"c","training_config_hash":"t"},)"
         R"("profile_hash":"h"})";
}

// The policy tail of a JSON report with the given applied flag and warning.
std::string policy_tail(bool applied, const std::string& warning_json) {
  return std::string("\"score_profile_applied\":") + (applied ? "true" : "false") +
         ",\"score_profile_warning\":" + warning_json + "}";
}

vantrel_test::RunResult scan_json(const std::map<std::string, std::string>& env,
                                  const std::vector<std::string>& extra = {}) {
  RunOptions o;
  o.env = env;
  std::vector<std::string> args = {"scan", "--json"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back("Hello World");
  return run_vantrel(args, o);
}

TEST(ScoreProfileCli, UnloadableProfileScansWithAFallbackWarning) {
  TempDir dir;
  const std::string bad = dir.write("bad.json", "{\"profile_metadata\":{}}");
  auto r = scan_json({{kPathVar, bad}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_TRUE(r.err.empty()) << r.err;
  EXPECT_NE(r.out.find("\"disposition\":\"allow\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(policy_tail(false, "\"score profile fallback: failed to load '" + bad +
                                              "': Unable to parse profile JSON\"")),
            std::string::npos)
      << r.out;

  const std::string missing = dir.path() + "/missing.json";
  r = scan_json({{kPathVar, missing}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("\"score profile fallback: failed to load '" + missing +
                       "': Failed reading profile at " + missing +
                       ": No such file or directory (os error 2)\""),
            std::string::npos)
      << r.out;
}

TEST(ScoreProfileCli, ProfilesThatAreNotRegularFilesFallBackAtOnce) {
  TempDir dir;
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string big = dir.write("big.json", std::string((1u << 20) + 1, ' '));
  const std::pair<std::string, std::string> cases[] = {
      {"/dev/zero", "not a regular file"},
      {fifo, "not a regular file"},
      {dir.path(), "Is a directory (os error 21)"},
      {big, "larger than 1048576 bytes"},
  };
  for (const auto& [path, why] : cases) {
    const auto r = scan_json({{kPathVar, path}});
    EXPECT_FALSE(r.timed_out) << path;
    EXPECT_EQ(r.exit_code, 0) << path;
    EXPECT_TRUE(r.err.empty()) << r.err;
    EXPECT_NE(r.out.find(policy_tail(false, "\"score profile fallback: failed to load '" + path +
                                                "': Failed reading profile at " + path + ": " + why +
                                                "\"")),
              std::string::npos)
        << r.out;
  }
}

TEST(ScoreProfileCli, ValidProfileIsAppliedAndDecides) {
  TempDir dir;
  const std::string path = dir.write("p.json", profile_json("5"));  // sigma(5) = 0.9933
  auto r = scan_json({{kPathVar, path}});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find(policy_tail(true, "null")), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"disposition\":\"block\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"posterior_prob\":0.9933071490757153,"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.rfind("{\"safe\":false,", 0), 0u) << r.out;
  // The profile's block is a threat for the exit code too.
  EXPECT_EQ(scan_json({{kPathVar, path}}, {"--exit-on-threat"}).exit_code, 1);
  // The path is used as given: a trailing space is part of the file name.
  const std::string spaced = dir.write("q.json ", profile_json("0"));
  r = scan_json({{kPathVar, spaced}});
  EXPECT_NE(r.out.find(policy_tail(true, "null")), std::string::npos) << r.out;
}

TEST(ScoreProfileCli, OnlyExactSpellingsDisableTheProfile) {
  TempDir dir;
  const std::string path = dir.write("p.json", profile_json("0"));
  for (const char* value : {"1", "on", "yes", "true", "TRUE"}) {
    const auto r = scan_json({{kPathVar, path}, {kDisableVar, value}});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(policy_tail(false, "\"score profile disabled by environment\"")),
              std::string::npos)
        << value << ": " << r.out;
  }
  // Disabling needs no path at all.
  EXPECT_NE(scan_json({{kDisableVar, "1"}}).out.find("\"score profile disabled by environment\""),
            std::string::npos);
  for (const char* value : {"True", "YES", "On", "0", "false", " 1", "1 ", ""}) {
    const auto r = scan_json({{kPathVar, path}, {kDisableVar, value}});
    EXPECT_NE(r.out.find(policy_tail(true, "null")), std::string::npos)
        << '"' << value << "\": " << r.out;
  }
}

TEST(ScoreProfileCli, BlankPathIsReportedNotLoaded) {
  for (const char* value : {"   ", "", "\t\n"}) {
    const auto r = scan_json({{kPathVar, value}});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.out.find(policy_tail(
                  false, "\"score profile fallback: empty VANTREL_SCORE_V2_PROFILE_PATH\"")),
              std::string::npos)
        << r.out;
  }
  // Unset: no profile and no warning.
  EXPECT_NE(scan_json({}).out.find(policy_tail(false, "null")), std::string::npos);
}

}  // namespace
