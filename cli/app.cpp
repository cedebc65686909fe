#include "app.h"

#include <csignal>

#include "help.h"
#include "io.h"
#include "options.h"
#include "scan_command.h"
#include "stream_command.h"

namespace vantrel {

namespace {

template <class... Ts>
struct Overloaded : Ts... {
  using Ts::operator()...;
};
// clang 14 does not deduce an aggregate's arguments by itself.
template <class... Ts>
Overloaded(Ts...) -> Overloaded<Ts...>;

int print_fixed_text(std::string_view text) {
  if (!write_stdout(text)) {
    write_stderr("Error writing output\n");
    return 2;
  }
  return 0;
}

}  // namespace

int run(const std::vector<std::string>& args) {
  // A closed output pipe is reported as a write error, not a silent death.
  std::signal(SIGPIPE, SIG_IGN);
  const Command command = parse_command(args);
  return std::visit(
      Overloaded{
          [](const HelpCommand&) { return print_fixed_text(kHelpText); },
          [](const VersionCommand&) { return print_fixed_text(kVersionText); },
          [](const ScanArgs& a) { return cmd_scan(a); },
          [](const StreamArgs& a) { return cmd_stream(a); },
          [](const ParseError& e) {
            write_stderr("Error: " + e.message + "\nUse 'vantrel help' for usage information.\n");
            return 2;
          },
      },
      command);
}

}  // namespace vantrel
