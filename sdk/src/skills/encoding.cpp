#include "encoding.h"

namespace vantrel_core {

std::vector<ByteRun> HexScanner::find_all(std::string_view) { return {}; }
std::vector<ByteRun> Base64Scanner::find_all(std::string_view) { return {}; }

}  // namespace vantrel_core
