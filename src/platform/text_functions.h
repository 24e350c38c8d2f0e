// Small text helpers that sit beside TString.
#pragma once

#include <vector>

#include "platform/tstring.h"

namespace zor::platform {

// Splits `text` at each occurrence of `separator` (a literal text). With
// KeepEmptyParts an empty `text` gives one empty part.
inline std::vector<TString> SplitString(
    const TString& text, const TString& separator,
    TString::SplitBehavior behavior = TString::SplitBehavior::KeepEmptyParts) {
  return text.split(separator, behavior);
}

}  // namespace zor::platform
