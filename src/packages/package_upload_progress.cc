#include "packages/package_upload_progress.h"

#include "log/log_functions.h"
#include "packages/json_document.h"
#include "packages/json_members.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
namespace TLog = zor::platform::TLog;

namespace {

constexpr char kUploadPackageFile[] = "upload-package-file";
constexpr char kUploadId[] = "upload-id";
constexpr char kUploadFileSize[] = "upload-file-size";
constexpr char kMaxPartSize[] = "max-part-size";
constexpr char kPartCount[] = "part-count";
constexpr char kPartsCompleted[] = "parts-completed";
constexpr char kPartNumber[] = "part-number";
constexpr char kPartTag[] = "part-tag";

// `text`, followed by the file it concerns when that is known.
TString NamingSource(const TString& text, const TPath& source) {
  return source.IsEmpty() ? text : text + " (file '" + source.ToString() + "')";
}

void WarnUnexpected(const Json::Value& name, const TPath& source) {
  LogText(TLog::Warn,
          NamingSource(JsonFileSerializedObject::UnexpectedParameterMessage(Json::GetText(name)),
                       source));
}

// Exact for every 64-bit size, where a quotient in double would round above
// 2^53 bytes. REQUIRES: partSize > 0.
uint64_t PartsFor(uint64_t size, uint64_t partSize) {
  return size / partSize + (size % partSize != 0 ? 1 : 0);
}

}  // namespace

PackageUploadProgress::PackageUploadProgress(const TPath& uploadPackageFile,
                                             uint64_t uploadFileSize, uint64_t maxPartSize,
                                             const TString& uploadId)
    : uploadPackageFile_(uploadPackageFile),
      uploadId_(uploadId),
      uploadFileSize_(uploadFileSize),
      maxPartSize_(maxPartSize) {
  CheckPartSize();
}

PackageUploadProgress::PackageUploadProgress(const rapidjson::Value& json, const TPath& source) {
  if (!json.IsObject()) {
    throw ZorvaneException(NamingSource("Upload progress JSON is not an object", source));
  }
  uint64_t readPartCount = 0;
  TString packageFile;
  ReadMembers(
      json,
      {{kUploadPackageFile, [&](const Json::Value& v) { return ReadText(v, &packageFile); }},
       {kUploadId, [&](const Json::Value& v) { return ReadText(v, &uploadId_); }},
       {kUploadFileSize, [&](const Json::Value& v) { return ReadCount(v, &uploadFileSize_); }},
       {kMaxPartSize, [&](const Json::Value& v) { return ReadCount(v, &maxPartSize_); }},
       {kPartCount, [&](const Json::Value& v) { return ReadCount(v, &readPartCount); }},
       {kPartsCompleted,
        [&](const Json::Value& v) {
          if (!v.IsArray()) return false;
          for (const auto& part : v.GetArray()) ReadPart(part, source);
          return true;
        }}},
      [&](const Json::Value& name) { WarnUnexpected(name, source); });
  if (!packageFile.isEmpty()) uploadPackageFile_ = TPath(packageFile);
  CheckPartSize();
  const int partCount = GetPartCount();
  if (!completedParts_->empty() &&
      completedParts_->rbegin()->first > static_cast<uint64_t>(partCount)) {
    throw ZorvaneException(NamingSource(TFormatString("Part '%1' is recorded as sent, but the "
                                                      "upload has '%2' part(s)")
                                            .arg(completedParts_->rbegin()->first)
                                            .arg(partCount),
                                        source));
  }
  if (readPartCount != static_cast<uint64_t>(partCount)) {
    LogText(TLog::Warn, NamingSource(TFormatString("PartCount '%1' in Json does not match "
                                                   "calculated count '%2' from file size and part "
                                                   "size fields.  Calculated field will be used.")
                                         .arg(readPartCount)
                                         .arg(partCount),
                                     source));
  }
}

void PackageUploadProgress::ReadPart(const rapidjson::Value& part, const TPath& source) {
  if (!part.IsObject()) {
    throw ZorvaneException(NamingSource(
        TFormatString("An element of '%1' is not a JSON object").arg(kPartsCompleted), source));
  }
  uint64_t number = 0;
  TString tag;
  ReadMembers(
      part,
      {{kPartNumber, [&](const Json::Value& v) { return ReadCount(v, &number); }},
       {kPartTag, [&](const Json::Value& v) { return ReadText(v, &tag); }}},
      [&](const Json::Value& name) { WarnUnexpected(name, source); });
  // An incomplete record cannot be sent in the completion list; dropping it
  // has the part uploaded again.
  if (number != 0 && !tag.isEmpty()) completedParts_->emplace(number, tag);
}

std::shared_ptr<PackageUploadProgress> PackageUploadProgress::LoadFromFile(const TPath& path) {
  std::shared_ptr<PackageUploadProgress> progress;
  ReadJsonFile(path, [&](const rapidjson::Value& json) {
    progress = std::make_shared<PackageUploadProgress>(json, path);
  });
  progress->SetFilePath(path);
  return progress;
}

rapidjson::Document PackageUploadProgress::ToJson() const {
  Json::Document document(rapidjson::kObjectType);
  Json::Allocator& allocator = document.GetAllocator();
  document.AddMember(rapidjson::StringRef(kUploadPackageFile),
                     Json::MakeString(TString(uploadPackageFile_.NativeString()), allocator),
                     allocator);
  document.AddMember(rapidjson::StringRef(kUploadId), Json::MakeString(uploadId_, allocator),
                     allocator);
  document.AddMember(rapidjson::StringRef(kUploadFileSize), Json::Value(uploadFileSize_),
                     allocator);
  document.AddMember(rapidjson::StringRef(kMaxPartSize), Json::Value(maxPartSize_), allocator);
  document.AddMember(rapidjson::StringRef(kPartCount), Json::Value(GetPartCount()), allocator);
  Json::Value parts(rapidjson::kArrayType);
  for (const auto& [number, tag] : *completedParts_) {
    Json::Value part(rapidjson::kObjectType);
    part.AddMember(rapidjson::StringRef(kPartNumber), Json::Value(number), allocator);
    part.AddMember(rapidjson::StringRef(kPartTag), Json::MakeString(tag, allocator), allocator);
    parts.PushBack(part, allocator);
  }
  document.AddMember(rapidjson::StringRef(kPartsCompleted), parts, allocator);
  return document;
}

int PackageUploadProgress::GetPartCount() const {
  if (maxPartSize_ == 0) return 0;
  return static_cast<int>(PartsFor(uploadFileSize_, maxPartSize_));
}

void PackageUploadProgress::AddCompletedPart(uint64_t partNumber, const TString& tag) {
  completedParts_->emplace(partNumber, tag);
  Save();
}

void PackageUploadProgress::CheckPartSize() const {
  if (maxPartSize_ == 0) {
    throw ZorvaneException(
        TFormatString("The upload part size of '%1' is 0").arg(uploadPackageFile_.ToString()));
  }
  if (PartsFor(uploadFileSize_, maxPartSize_) > kMaxParts) {
    throw ZorvaneException(
        TFormatString("The upload of '%1' (%2 bytes) would need more than %3 parts of %4 bytes")
            .arg(uploadPackageFile_.ToString())
            .arg(uploadFileSize_)
            .arg(kMaxParts)
            .arg(maxPartSize_));
  }
}

}  // namespace ZorErrorReporting
