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

void ReadMembers(const Json::Value& object, const std::vector<JsonMember>& members,
                 const std::function<void(const Json::Value& name)>& unknown) {
  for (const auto& member : object.GetObject()) {
    bool taken = false;
    for (const JsonMember& reader : members) {
      if (Json::NameEqualsNoCase(member.name, reader.name)) {
        taken = reader.read(member.value);
        break;
      }
    }
    if (!taken && unknown) unknown(member.name);
  }
}

bool ReadText(const Json::Value& value, zor::platform::TString* out) {
  if (!value.IsString()) return false;
  *out = Json::GetText(value);
  return true;
}

bool ReadCount(const Json::Value& value, uint64_t* out) {
  if (value.IsString()) {
    *out = Json::GetText(value).toULongLong();
    return true;
  }
  if (!Json::IsInteger(value)) return false;
  *out = Json::GetUint64(value);
  return true;
}

}  // namespace ZorErrorReporting
