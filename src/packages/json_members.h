// Type checks for the members of a JSON object that a reader walks, with
// failures that name the kind of object and the member.
#pragma once

#include "packages/json_document.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

// The checks for one kind of object, e.g. JsonMemberChecks{"Encryption
// metadata"}. Thread-safety: a constant value.
struct JsonMemberChecks {
  const char* object;  // the kind of object, as messages name it

  // Throws std::runtime_error "<object> member '<name>' is not <expected>".
  [[noreturn]] void ThrowTypeError(const char* name, const char* expected) const;
  // The text of `value`, a member named `name`. Throws as ThrowTypeError(name,
  // "a string") when it is not a string.
  zor::platform::TString RequireString(const Json::Value& value, const char* name) const;
};

}  // namespace ZorErrorReporting
