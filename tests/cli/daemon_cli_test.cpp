// `vantrel scan --stdin`: one JSON response line per request line.
#include <gtest/gtest.h>

#include "run_vantrel.h"

namespace {

using namespace std::chrono_literals;
using vantrel_test::InteractiveProcess;
using vantrel_test::run_vantrel;
using vantrel_test::RunOptions;

std::vector<std::string> lines_of(const std::string& out) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
    lines.push_back(out.substr(start, nl - start));
  }
  EXPECT_EQ(start, out.size()) << "output does not end with a line feed";
  return lines;
}

vantrel_test::RunResult daemon(const std::string& input, std::vector<std::string> extra = {}) {
  RunOptions o;
  o.stdin_data = input;
  std::vector<std::string> args = {"scan", "--stdin"};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_vantrel(args, o);
}

bool is_result_for(const std::string& line, const std::string& escaped_id) {
  return line.rfind("{\"id\":\"" + escaped_id + "\",\"result\":{\"safe\":", 0) == 0 && line.back() == '}';
}

TEST(DaemonCli, ResponsesEchoEscapedIds) {
  const auto r = daemon(
      "{\"id\":\"r1\",\"text\":\"hello\"}\n"
      "{\"id\":\"q\\\"uote\\nline\\u0008\",\"text\":\"hi\"}\n"
      "{\"id\":\"r2\"}\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(is_result_for(lines[0], "r1")) << lines[0];
  EXPECT_TRUE(is_result_for(lines[1], "q\\\"uote\\nline\\u0008")) << lines[1];
  EXPECT_EQ(lines[2], "{\"id\":\"r2\",\"error\":\"missing 'text' field\"}");
}

TEST(DaemonCli, InvalidRequestsGetAnEmptyId) {
  const auto r = daemon(
      "not json\n"
      "{\"id\":7,\"text\":\"x\"}\n"
      "{\"id\":\"a\",\"text\":5}\n"
      "[\"text\"]\n"
      "{\"id\":\"a\",\"text\":\"x\"} trailing\n"
      "{\"id\":\"a\",\"text\":\"x\"}{}\n"
      "{\"id\":\"a\",\"text\":\"x\",\"text\":\"y\"}\n"
      "{\"id\":\"a\",\"id\":\"b\",\"text\":\"y\"}\n"
      "{\"id\":\"a\",\"text\":\"x\",\"mode\":null,\"mode\":\"output\"}\n"
      "\"just a string\"\n"
      "{\"id\":\"a\",\"text\":\"x\"\n" +
      std::string(10000, '[') + std::string(10000, ']') + "\n");
  EXPECT_EQ(r.exit_code, 0);
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 12u);
  for (const auto& line : lines) EXPECT_EQ(line, "{\"id\":\"\",\"error\":\"invalid request JSON\"}");
}

TEST(DaemonCli, NullMembersAreAbsentAndUnknownMembersIgnored) {
  const auto r = daemon(
      "{\"id\":null,\"text\":\"hi\",\"extra\":[1,{\"a\":[]}],\"n\":1e400}\n"
      "{\"id\":\"t\",\"text\":null}\n"
      "  \t{\"id\":\"w\",\"text\":\"hi\"}\r \n");
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 3u);
  // 1e400 is out of range for JSON numbers here, so that line is refused.
  EXPECT_EQ(lines[0], "{\"id\":\"\",\"error\":\"invalid request JSON\"}");
  EXPECT_EQ(lines[1], "{\"id\":\"t\",\"error\":\"missing 'text' field\"}");
  EXPECT_TRUE(is_result_for(lines[2], "w")) << lines[2];
  const auto ok = daemon("{\"id\":null,\"text\":\"hi\",\"extra\":[1,{\"a\":[]}],\"mode\":null}\n");
  EXPECT_TRUE(is_result_for(lines_of(ok.out).at(0), ""));
}

TEST(DaemonCli, ModeChecksAndCommandLineMode) {
  // An oversized text shows the mode: input reports encoding_attack, output data_exfiltration.
  const std::string big(1048577, 'a');
  const std::string input =
      "{\"id\":\"1\",\"text\":\"x\",\"mode\":\"OUTPUT\"}\n"
      "{\"id\":\"2\",\"text\":\"" + big + "\",\"mode\":null}\n"
      "{\"id\":\"3\",\"text\":\"" + big + "\",\"mode\":\"input\"}\n"
      "{\"mode\":\"\",\"id\":\"4\",\"text\":\"x\"}\n";
  const auto r = daemon(input, {"--mode", "output"});
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "{\"id\":\"1\",\"error\":\"Invalid mode 'OUTPUT'. Use 'input' or 'output'.\"}");
  EXPECT_EQ(lines[1].rfind("{\"id\":\"2\",\"result\":{\"safe\":false,\"threat_type\":\"data_exfiltration\"", 0), 0u);
  EXPECT_EQ(lines[2].rfind("{\"id\":\"3\",\"result\":{\"safe\":false,\"threat_type\":\"encoding_attack\"", 0), 0u);
  EXPECT_EQ(lines[3], "{\"id\":\"4\",\"error\":\"Invalid mode ''. Use 'input' or 'output'.\"}");
}

TEST(DaemonCli, PatternsMemberWarnsAndStillScans) {
  const auto r = daemon("{\"id\":\"p\",\"text\":\"hi\",\"patterns\":\"x.json\"}\n{\"id\":\"q\",\"text\":\"hi\",\"patterns\":null}\n");
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(is_result_for(lines[0], "p"));
  EXPECT_TRUE(is_result_for(lines[1], "q"));
  EXPECT_EQ(r.err, "Warning: per-request 'patterns' field is ignored; use --patterns flag at startup\n");
}

TEST(DaemonCli, BlankLinesAndEmptyInputProduceNothing) {
  const auto blank = daemon("\n   \n\t\r\n\xe3\x80\x80\n");
  EXPECT_EQ(blank.exit_code, 0);
  EXPECT_EQ(blank.out, "");
  const auto empty = daemon("");
  EXPECT_EQ(empty.exit_code, 0);
  EXPECT_EQ(empty.out, "");
  EXPECT_EQ(empty.err, "");
}

TEST(DaemonCli, CrlfAndUnterminatedLastLine) {
  const auto r = daemon("{\"id\":\"a\",\"text\":\"x\"}\r\n{\"id\":\"b\",\"text\":\"y\"}");
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(is_result_for(lines[0], "a"));
  EXPECT_TRUE(is_result_for(lines[1], "b"));
}

TEST(DaemonCli, InvalidUtf8LineIsAnsweredAndTheNextLineServed) {
  const auto r = daemon("{\"id\":\"a\",\"text\":\"x\"}\n{\"id\":\"b\",\"text\":\"\xff\"}\n{\"id\":\"c\",\"text\":\"x\"}\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_TRUE(is_result_for(lines[0], "a"));
  EXPECT_EQ(lines[1], "{\"id\":\"\",\"error\":\"invalid request JSON\"}");
  EXPECT_TRUE(is_result_for(lines[2], "c"));
  // A character cut short at the end of input, and a lone continuation byte.
  const auto cut = daemon("\xc3\n{\"id\":\"d\",\"text\":\"x\"}\n\x80");
  EXPECT_EQ(cut.exit_code, 0);
  const auto cut_lines = lines_of(cut.out);
  ASSERT_EQ(cut_lines.size(), 3u);
  EXPECT_TRUE(is_result_for(cut_lines[1], "d"));
  EXPECT_EQ(cut_lines[0], cut_lines[2]);
}

TEST(DaemonCli, StartupPatternFile) {
  // A missing file fails before any request is read (an unreadable request would say so otherwise).
  const auto missing = daemon("\xff\n", {"--patterns", "/nonexistent/patterns.json"});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err.rfind("Error loading patterns: Failed to read patterns file: ", 0), 0u) << missing.err;
  // An empty path is the same as none.
  const auto empty = daemon("{\"id\":\"a\",\"text\":\"x\"}\n", {"--patterns", ""});
  EXPECT_EQ(empty.exit_code, 0);
  EXPECT_TRUE(is_result_for(lines_of(empty.out).at(0), "a"));
}

// A text of the size limit fits a request line even with every byte escaped;
// a line longer than any such request is refused without being read whole.
TEST(DaemonCli, LargeRequestsAndSizeLimit) {
  constexpr std::size_t kLimit = 1 << 20;
  std::string escaped;
  escaped.reserve(6 * (kLimit + 1));
  for (std::size_t i = 0; i < kLimit; ++i) escaped += "\\u0041";
  const std::string at_limit = "{\"id\":\"at\",\"junk\":\"" + std::string(32 << 10, 'j') +
                               "\",\"text\":\"" + escaped + "\"}\n";
  escaped += "\\u0041";
  const std::string over_limit = "{\"id\":\"over\",\"text\":\"" + escaped + "\"}\n";
  const std::string too_long = "{\"id\":\"long\",\"text\":\"" + std::string(20 << 20, 'z') + "\"}\n";
  const std::string long_blank = std::string(8 << 20, ' ') + "\n";
  // Bad bytes deep inside a long line still give that line one response.
  const std::string long_invalid = std::string(7 << 20, 'z') + "\xff" + std::string(7 << 20, 'z') + "\n";
  const auto r = daemon(at_limit + over_limit + too_long + long_blank + long_invalid +
                        "{\"id\":\"after\",\"text\":\"hello\"}\n");
  EXPECT_EQ(r.exit_code, 0);
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_TRUE(is_result_for(lines[0], "at")) << lines[0].substr(0, 200);
  EXPECT_EQ(lines[0].find("size_limit"), std::string::npos);
  EXPECT_TRUE(is_result_for(lines[1], "over"));
  EXPECT_NE(lines[1].find("size_limit"), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2], "{\"id\":\"\",\"error\":\"invalid request JSON\"}");
  EXPECT_EQ(lines[3], lines[2]);
  EXPECT_TRUE(is_result_for(lines[4], "after"));
}

TEST(DaemonCli, EachResponseIsFlushedBeforeTheNextRequest) {
  InteractiveProcess p({"scan", "--stdin"});
  for (int i = 0; i < 3; ++i) {
    const std::string id = std::string("n").append(std::to_string(i));
    ASSERT_TRUE(p.write("{\"id\":\"" + id + "\",\"text\":\"hello\"}\n"));
    const auto line = p.read_line(5s);
    ASSERT_TRUE(line.has_value()) << "no response to request " << i;
    EXPECT_TRUE(is_result_for(line->substr(0, line->size() - 1), id)) << *line;
  }
  p.close_stdin();
  EXPECT_EQ(p.wait(5s), 0);
}

TEST(DaemonCli, ClosedStdoutIsAWriteError) {
  InteractiveProcess p({"scan", "--stdin"});
  p.close_stdout();
  p.write("{\"id\":\"a\",\"text\":\"x\"}\n");
  EXPECT_EQ(p.wait(5s), 2);
  EXPECT_EQ(p.stderr_text(), "Error writing daemon response\n");
}

}  // namespace
