#include "packages/log_package_metadata.h"

#include <stdexcept>
#include <string>

#include "packages/json_document.h"
#include "packages/json_members.h"

namespace ZorErrorReporting {

using zor::platform::TPath;
using zor::platform::TString;

namespace {

constexpr char kType[] = "type";
constexpr char kData[] = "data";
constexpr char kSupportCaseNumber[] = "SupportCaseNumber";
constexpr char kEmailAddress[] = "EmailAddress";

constexpr JsonMemberChecks kMembers{"Log package metadata"};

}  // namespace

LogPackageMetadata::LogPackageMetadata(const TString& supportCaseNumber,
                                       const TString& emailAddress)
    : supportCaseNumber_(supportCaseNumber), emailAddress_(emailAddress) {}

LogPackageMetadata::LogPackageMetadata(const rapidjson::Value& json) {
  if (!json.IsObject()) throw std::runtime_error("Log package metadata JSON is not an object");
  const auto required = [](const char* name, TString* out) {
    return JsonMember{name, [name, out](const Json::Value& v) {
                        *out = kMembers.RequireString(v, name);
                        return true;
                      }};
  };
  ReadMembers(json, {required(kType, &type_),
                     {kData, [&](const Json::Value& v) {
                        if (!v.IsObject()) kMembers.ThrowTypeError(kData, "an object");
                        ReadMembers(v, {required(kSupportCaseNumber, &supportCaseNumber_),
                                        required(kEmailAddress, &emailAddress_)});
                        return true;
                      }}});
}

std::shared_ptr<LogPackageMetadata> LogPackageMetadata::LoadFromFile(const TPath& path) {
  return LoadObjectFromFile<LogPackageMetadata>(path);
}

rapidjson::Document LogPackageMetadata::ToJson() const {
  Json::Document document(rapidjson::kObjectType);
  Json::Allocator& allocator = document.GetAllocator();
  document.AddMember(rapidjson::StringRef(kType), rapidjson::StringRef(kCustomerUploadDetails),
                     allocator);
  Json::Value data(rapidjson::kObjectType);
  data.AddMember(rapidjson::StringRef(kSupportCaseNumber),
                 Json::MakeString(supportCaseNumber_, allocator), allocator);
  data.AddMember(rapidjson::StringRef(kEmailAddress), Json::MakeString(emailAddress_, allocator),
                 allocator);
  document.AddMember(rapidjson::StringRef(kData), data, allocator);
  return document;
}

}  // namespace ZorErrorReporting
