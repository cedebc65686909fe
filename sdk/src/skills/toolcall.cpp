#include "toolcall.h"

#include <array>

#include "phrase_table.h"

namespace vantrel_core {

namespace {

// Lower-case phrases; the matcher folds ASCII case. Backslashes are single
// characters of the phrase.
constexpr std::array<PhraseEntry, 58> kEntries = {{
    {"../", 500, "Path traversal: parent directory"},
    {"..\\", 500, "Path traversal: Windows parent dir"},
    {"/etc/passwd", 2000, "Sensitive: Unix password file"},
    {"/etc/shadow", 2000, "Sensitive: Unix shadow passwords"},
    {"/etc/sudoers", 2000, "Sensitive: sudo config"},
    {"~/.ssh/", 1500, "Sensitive: SSH directory"},
    {".ssh/id_rsa", 2000, "Sensitive: SSH private key"},
    {".ssh/authorized_keys", 1500, "Sensitive: SSH authorized keys"},
    {"/proc/self/", 800, "Process info disclosure"},
    {"c:\\windows\\system32", 1000, "Windows system directory"},
    {"%systemroot%", 800, "Windows system root var"},
    {"%appdata%", 300, "Windows user data dir"},
    {"rm -rf", 2000, "Dangerous: recursive force delete"},
    {"rm -fr", 2000, "Dangerous: recursive force delete"},
    {"mkfs", 2000, "Dangerous: format filesystem"},
    {"dd if=", 1500, "Dangerous: raw disk write"},
    {":(){:|:&};:", 2000, "Fork bomb"},
    {"> /dev/sda", 2000, "Write to raw disk"},
    {"chmod 777", 800, "Insecure permissions"},
    {"chmod -r 777", 1200, "Recursive insecure perms"},
    {"curl | sh", 1500, "RCE: curl pipe shell"},
    {"curl | bash", 1500, "RCE: curl pipe bash"},
    {"wget | sh", 1500, "RCE: wget pipe shell"},
    {"wget | bash", 1500, "RCE: wget pipe bash"},
    {"eval(", 600, "Dynamic exec: eval"},
    {"exec(", 500, "Dynamic exec: exec"},
    {"os.system(", 800, "Shell exec: Python"},
    {"subprocess.call(", 600, "Process exec: subprocess"},
    {"subprocess.popen(", 600, "Process exec: popen"},
    {"child_process", 500, "Process exec: Node.js"},
    {"runtime.exec(", 800, "Process exec: Java"},
    {"$((", 400, "Shell: command substitution"},
    {"` `", 300, "Shell: backtick substitution"},
    {"&& rm", 1000, "Chain with delete"},
    {"; rm", 1000, "Chain with delete"},
    {"| rm", 1000, "Pipe to delete"},
    {"' or '1'='1", 2000, "SQLi: tautology"},
    {"' or 1=1", 2000, "SQLi: tautology"},
    {"'; drop table", 2000, "SQLi: DROP TABLE"},
    {"'; delete from", 2000, "SQLi: DELETE"},
    {"'; truncate", 2000, "SQLi: TRUNCATE"},
    {"union select", 1500, "SQLi: UNION-based"},
    {"/**/", 100, "SQLi: comment bypass"},
    {"1; select", 1500, "SQLi: stacked query"},
    {"waitfor delay", 1200, "SQLi: time-based MSSQL"},
    {"sleep(", 200, "Potential time-based injection"},
    {"benchmark(", 800, "SQLi: MySQL benchmark"},
    {"nc -e", 2000, "Reverse shell: netcat"},
    {"ncat -e", 2000, "Reverse shell: ncat"},
    {"/dev/tcp/", 1500, "Bash TCP: reverse shell"},
    {"0.0.0.0", 200, "Bind to all interfaces"},
    {".env", 400, "Env file: may contain secrets"},
    {"credentials.json", 800, "Credentials file"},
    {"secrets.yaml", 800, "Secrets file"},
    {"private_key", 600, "Private key access"},
    {"aws_secret", 1000, "AWS secrets"},
    {"api_key", 400, "API key access"},
    {"password:", 200, "Password field"},
}};

}  // namespace

ToolCallSkill::ToolCallSkill() : matcher_(build_table_matcher(kEntries, "Failed to build Aho-Corasick")) {}

SkillOutput ToolCallSkill::scan(std::string_view arguments) const {
  SkillOutput out;
  append_table_signals(matcher_, kEntries, "toolcall", "tool_call", arguments, out.signals);
  if (!out.signals.empty()) out.threat_type = ThreatType::ToolManipulation;
  return out;
}

}  // namespace vantrel_core
