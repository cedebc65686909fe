#include "normalize.h"

namespace vantrel_core {

// Placeholder until the normalizer lands: passes the text through unchanged.
SkillOutput NormalizationSkill::scan(std::string_view) const { return {}; }

DecodeResult NormalizationSkill::decode_recursive(std::string_view, unsigned) { return {}; }

}  // namespace vantrel_core
