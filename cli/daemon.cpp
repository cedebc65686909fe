#include "daemon.h"

#include "io.h"
#include "report_json.h"

namespace vantrel {

std::string format_stdin_error(std::string_view id, std::string_view message) {
  return "{\"id\":\"" + escape_json_string(id) + "\",\"error\":\"" + escape_json_string(message) +
         "\"}";
}

// Placeholder until the daemon lands.
int run_daemon(const std::optional<std::string>&, const ScanOptions&) { return 0; }

}  // namespace vantrel
