#include "packages/crash_artifact_file.h"

#include <array>
#include <utility>

#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/enum_names.h"
#include "packages/json_document.h"
#include "packages/json_members.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
namespace TLog = zor::platform::TLog;

namespace {

constexpr std::array<const char*, 4> kUploadPermissionNames = {
    "Unknown", "Allowed", "NotAllowedFileTypeDisabledByAdmin", "NotAllowedFileExceedsSizeLimit"};

constexpr char kFileName[] = "filename";
constexpr char kType[] = "type";
constexpr char kSize[] = "size";
constexpr char kLastWriteTime[] = "last-write-time";
constexpr char kUploadPermission[] = "upload-permission";

// Positions of a rotated log chain that stay allowed at each end.
constexpr size_t kKeptRotatedLogsAtEachEnd = 3;

}  // namespace

TString ToName(UploadPermission permission) {
  if (auto name = EnumNames::Find(kUploadPermissionNames, permission)) return *name;
  const TString message(
      "Could not find entry in UploadPermission map. If a new value was added to "
      "UploadPermission enum then it must be added to the map as well!");
  LogText(TLog::Debug, message);
  throw ZorvaneException(message);
}

UploadPermission UploadPermissionFromName(const TString& name) {
  return EnumNames::Find<UploadPermission>(kUploadPermissionNames, name)
      .value_or(UploadPermission::kUnknown);
}

UploadPermission PermissionForArtifactType(ArtifactType type, bool fullDumpUploadAllowed) {
  if (type == ArtifactType::kProcessFullDump && !fullDumpUploadAllowed) {
    return UploadPermission::kNotAllowedFileTypeDisabledByAdmin;
  }
  return UploadPermission::kAllowed;
}

UploadPermission PermissionForRotatedLog(size_t position, size_t fileCount) {
  const bool nearStart = position < kKeptRotatedLogsAtEachEnd;
  const bool nearEnd = position + kKeptRotatedLogsAtEachEnd >= fileCount;
  return nearStart || nearEnd ? UploadPermission::kAllowed
                              : UploadPermission::kNotAllowedFileTypeDisabledByAdmin;
}

CrashArtifactFile::CrashArtifactFile(const TPath& path)
    : fileName_(path.ToString()),
      type_(ArtifactNames::RecognizeArtifactType(path.ToString())),
      size_(Filesystem::GetInstance().FileSize(path)),
      lastWriteTime_(Filesystem::GetInstance().LastWriteTime(path)) {}

CrashArtifactFile::CrashArtifactFile(TString fileName, ArtifactType type, uint64_t size,
                                     DateTime lastWriteTime, UploadPermission uploadPermission)
    : fileName_(std::move(fileName)),
      type_(type),
      size_(size),
      lastWriteTime_(std::move(lastWriteTime)),
      uploadPermission_(uploadPermission) {}

CrashArtifactFile::CrashArtifactFile(const rapidjson::Value& json) {
  if (!json.IsObject()) {
    throw ZorvaneException("CrashArtifactFile: an artifact record must be a JSON object");
  }
  TString text;
  ReadMembers(json, {{kFileName, [&](const Json::Value& v) { return ReadText(v, &fileName_); }},
                     {kType,
                      [&](const Json::Value& v) {
                        if (!ReadText(v, &text)) return false;
                        type_ = ArtifactTypeFromName(text);
                        return true;
                      }},
                     {kSize, [&](const Json::Value& v) { return ReadCount(v, &size_); }},
                     {kUploadPermission, [&](const Json::Value& v) {
                        if (!ReadText(v, &text)) return false;
                        uploadPermission_ = UploadPermissionFromName(text);
                        return true;
                      }}});
}

rapidjson::Value CrashArtifactFile::ToJson(Json::Allocator& allocator) const {
  Json::Value record(rapidjson::kObjectType);
  record.AddMember(rapidjson::StringRef(kFileName), Json::MakeString(fileName_, allocator),
                   allocator);
  record.AddMember(rapidjson::StringRef(kType), Json::MakeString(ToName(type_), allocator),
                   allocator);
  record.AddMember(rapidjson::StringRef(kSize), Json::Value(size_), allocator);
  const TString time = lastWriteTime_.UTCFromLocal().Format(
      zor::platform::LookupDateTimeParsingFormatString(zor::platform::kLastWriteTimePattern));
  record.AddMember(rapidjson::StringRef(kLastWriteTime), Json::MakeString(time, allocator),
                   allocator);
  record.AddMember(rapidjson::StringRef(kUploadPermission),
                   Json::MakeString(ToName(uploadPermission_), allocator), allocator);
  return record;
}

}  // namespace ZorErrorReporting
