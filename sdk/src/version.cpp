// The library's version, fixed when it is built.
#include "vantrel/version.h"

#include "vantrel/scanner.h"

namespace vantrel {

std::string_view version() {
  return VANTREL_VERSION_STRING;
}

std::uint32_t version_number() {
  return VANTREL_VERSION_NUMBER;
}

}  // namespace vantrel
