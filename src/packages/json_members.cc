#include "packages/json_members.h"

#include <stdexcept>
#include <string>

namespace ZorErrorReporting {

void JsonMemberChecks::ThrowTypeError(const char* name, const char* expected) const {
  throw std::runtime_error(std::string(object) + " member '" + name + "' is not " + expected);
}

zor::platform::TString JsonMemberChecks::RequireString(const Json::Value& value,
                                                       const char* name) const {
  if (!value.IsString()) ThrowTypeError(name, "a string");
  return Json::GetText(value);
}

}  // namespace ZorErrorReporting
