// A view of a text that is guaranteed to be well-formed UTF-8.
#pragma once

#include <string>
#include <string_view>

#include "vantrel/text.h"

namespace vantrel_core {

// Every skill may assume well-formed UTF-8. The front end guarantees it; a
// library caller handing over ill-formed bytes gets them scanned with
// replacement characters instead of undefined behaviour. Not copyable.
class WellFormedText {
 public:
  explicit WellFormedText(std::string_view text) : view_(text) {
    if (!is_valid_utf8(text)) {
      owned_ = to_valid_utf8(text);
      view_ = owned_;
    }
  }
  WellFormedText(const WellFormedText&) = delete;
  WellFormedText& operator=(const WellFormedText&) = delete;
  std::string_view view() const { return view_; }

 private:
  std::string owned_;
  std::string_view view_;
};

}  // namespace vantrel_core
