#include "packages/package_encryption_metadata.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "packages/json_document.h"
#include "packages/json_members.h"
#include "platform/base64.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;

namespace {

constexpr char kKeyId[] = "enc-key-id";
constexpr char kCekAlgorithm[] = "enc-cek-alg";
constexpr char kWrapAlgorithm[] = "enc-wrap-alg";
constexpr char kContentLength[] = "enc-unencrypted-content-length";
constexpr char kKey[] = "enc-key";
constexpr char kIv[] = "enc-iv";
constexpr char kTag[] = "enc-tag";
constexpr char kCustomData[] = "client-custom-data";
constexpr char kCustomDataIv[] = "client-custom-data-iv";
constexpr char kCustomDataTag[] = "client-custom-data-tag";

TString ToBase64(const PackageEncryptionMetadata::Bytes& bytes) {
  TString text;
  for (const TString& line : zor::platform::Base64Encode(bytes, true)) text += line;
  return text;
}

constexpr JsonMemberChecks kMembers{"Encryption metadata"};

}  // namespace

PackageEncryptionMetadata::PackageEncryptionMetadata(
    const TString& keyId, const TString& contentEncryptionAlgorithm,
    const TString& keyWrapAlgorithm, uint64_t unencryptedContentLength, const Bytes& encryptedKey,
    const Bytes& iv, const Bytes& tag, const Bytes& clientCustomData,
    const Bytes& clientCustomDataIv, const Bytes& clientCustomDataTag)
    : keyId_(keyId),
      contentEncryptionAlgorithm_(contentEncryptionAlgorithm),
      keyWrapAlgorithm_(keyWrapAlgorithm),
      unencryptedContentLength_(unencryptedContentLength),
      encryptedKey_(encryptedKey),
      iv_(iv),
      tag_(tag),
      clientCustomData_(clientCustomData),
      clientCustomDataIv_(clientCustomDataIv),
      clientCustomDataTag_(clientCustomDataTag) {}

PackageEncryptionMetadata::PackageEncryptionMetadata(const rapidjson::Value& json) {
  if (!json.IsObject()) throw std::runtime_error("Encryption metadata JSON is not an object");
  // The Base64 fields are decoded once the walk is over, so that only the
  // member that wins is decoded.
  TString key, iv, tag, customData, customDataIv, customDataTag;
  const std::pair<const char*, TString*> stringMembers[] = {
      {kKey, &key},
      {kIv, &iv},
      {kTag, &tag},
      {kCustomData, &customData},
      {kCustomDataIv, &customDataIv},
      {kCustomDataTag, &customDataTag},
      {kKeyId, &keyId_},
      {kCekAlgorithm, &contentEncryptionAlgorithm_},
      {kWrapAlgorithm, &keyWrapAlgorithm_},
  };

  std::vector<JsonMember> members;
  for (const auto& member : stringMembers) {
    const char* memberName = member.first;
    TString* field = member.second;
    members.push_back({memberName, [memberName, field](const Json::Value& v) {
                         *field = kMembers.RequireString(v, memberName);
                         return true;
                       }});
  }
  members.push_back({kContentLength, [this](const Json::Value& v) {
                       if (!Json::IsInteger(v) || (v.IsInt64() && v.GetInt64() < 0)) {
                         kMembers.ThrowTypeError(kContentLength, "an unsigned integer");
                       }
                       unencryptedContentLength_ = Json::GetUint64(v);
                       return true;
                     }});
  ReadMembers(json, members);

  encryptedKey_ = zor::platform::Base64Decode(key);
  iv_ = zor::platform::Base64Decode(iv);
  tag_ = zor::platform::Base64Decode(tag);
  clientCustomData_ = zor::platform::Base64Decode(customData);
  clientCustomDataIv_ = zor::platform::Base64Decode(customDataIv);
  clientCustomDataTag_ = zor::platform::Base64Decode(customDataTag);
}

std::shared_ptr<PackageEncryptionMetadata> PackageEncryptionMetadata::LoadFromFile(
    const TPath& path) {
  std::shared_ptr<PackageEncryptionMetadata> metadata;
  ReadJsonFile(path, [&](const rapidjson::Value& json) {
    try {
      metadata = std::make_shared<PackageEncryptionMetadata>(json);
    } catch (zor::platform::ZorvaneException& e) {
      // A bad Base64 text says nothing of the file it came from.
      e.StackMessageFront(
          TFormatString("Failed to read encryption metadata file '%1'").arg(path.ToString()));
      throw;
    }
  });
  metadata->SetFilePath(path);
  return metadata;
}

rapidjson::Document PackageEncryptionMetadata::ToJson() const {
  Json::Document document(rapidjson::kObjectType);
  Json::Allocator& allocator = document.GetAllocator();
  auto add = [&](const char* name, const TString& text) {
    document.AddMember(rapidjson::StringRef(name), Json::MakeString(text, allocator), allocator);
  };
  add(kKeyId, keyId_);
  add(kCekAlgorithm, contentEncryptionAlgorithm_);
  add(kWrapAlgorithm, keyWrapAlgorithm_);
  document.AddMember(rapidjson::StringRef(kContentLength), Json::Value(unencryptedContentLength_),
                     allocator);
  add(kKey, ToBase64(encryptedKey_));
  add(kIv, ToBase64(iv_));
  add(kTag, ToBase64(tag_));
  // The server tells a package with custom data by the presence of the
  // member, so the three are written together or not at all.
  if (!clientCustomData_.empty()) {
    add(kCustomData, ToBase64(clientCustomData_));
    add(kCustomDataIv, ToBase64(clientCustomDataIv_));
    add(kCustomDataTag, ToBase64(clientCustomDataTag_));
  }
  return document;
}

}  // namespace ZorErrorReporting
