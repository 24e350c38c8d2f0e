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
  for (const auto& member : json.GetObject()) {
    if (Json::NameEqualsNoCase(member.name, kType)) {
      type_ = kMembers.RequireString(member.value, kType);
    } else if (Json::NameEqualsNoCase(member.name, kData)) {
      if (!member.value.IsObject()) kMembers.ThrowTypeError(kData, "an object");
      for (const auto& field : member.value.GetObject()) {
        if (Json::NameEqualsNoCase(field.name, kSupportCaseNumber)) {
          supportCaseNumber_ = kMembers.RequireString(field.value, kSupportCaseNumber);
        } else if (Json::NameEqualsNoCase(field.name, kEmailAddress)) {
          emailAddress_ = kMembers.RequireString(field.value, kEmailAddress);
        }
      }
    }
  }
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
