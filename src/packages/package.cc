#include "packages/package.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "config/config.h"
#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/artifact_name_rules.h"
#include "packages/crash_manifest.h"
#include "packages/json_document.h"
#include "packages/package_encryption_metadata.h"
#include "packages/package_upload_progress.h"
#include "packages/trust_boundary.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::TUUID;
using zor::platform::ZorvaneException;
namespace TLog = zor::platform::TLog;

namespace {

constexpr char kPackageName[] = "package-name";
constexpr char kPackageType[] = "package-type";
constexpr char kLocalPackageId[] = "local-package-id";
constexpr char kRemotePackageId[] = "remote-package-id";
constexpr char kRegisteredAt[] = "remote-package-endpoint";
constexpr char kPackageDataFiles[] = "package-data-files";
constexpr char kUploadStatus[] = "upload-status";
constexpr char kUploadResults[] = "upload-results";
constexpr char kTimestamp[] = "timestamp";
constexpr char kUploadResultCode[] = "upload-result-code";
constexpr char kUploadMessage[] = "upload-message";
constexpr char kLastError[] = "last-error";
constexpr char kTransientFailures[] = "transient-failures";
constexpr char kNextAttempt[] = "next-attempt";
constexpr char kAttemptsForgiven[] = "attempts-forgiven";
constexpr char kZippedFiles[] = "zipped-files";
constexpr char kFullDumpsLeftOut[] = "full-dumps-left-out";
constexpr char kEncryptedFileBoot[] = "encrypted-file-boot";
constexpr char kCrashOwner[] = "crash-owner";
constexpr char kFilesBornBy[] = "files-born-by";
constexpr char kBeingDeleted[] = "being-deleted";
constexpr char kProcessKey[] = "process-key";
constexpr char kMadeAt[] = "made-at";

TString TimestampPattern() {
  return zor::platform::LookupDateTimeParsingFormatString(zor::platform::kStatusTimestampPattern);
}

void AddString(Json::Document& document, const char* name, const TString& text) {
  document.AddMember(rapidjson::StringRef(name), Json::MakeString(text, document.GetAllocator()),
                     document.GetAllocator());
}

Json::Value ResultToJson(const UploadResult& result, const TString& pattern,
                         Json::Allocator& allocator) {
  Json::Value element(rapidjson::kObjectType);
  element.AddMember(rapidjson::StringRef(kTimestamp),
                    Json::MakeString(result.time.Format(pattern), allocator), allocator);
  element.AddMember(rapidjson::StringRef(kUploadResultCode),
                    Json::MakeString(ToName(result.code), allocator), allocator);
  element.AddMember(rapidjson::StringRef(kUploadMessage),
                    Json::MakeString(result.message, allocator), allocator);
  return element;
}

// Deleting is clean-up: not even a failing log may stop it.
void LogQuietly(TLog::Severity severity, const TString& text) noexcept {
  try {
    LogText(severity, text);
  } catch (...) {
  }
}

}  // namespace

Package::Package(const TString& name, PackageType type, TrustBoundary boundary)
    : Package(name, type, TUUID::CreateUUID(), std::move(boundary)) {}

Package::Package(const TString& name, PackageType type, const TUUID& localId,
                 TrustBoundary boundary)
    : boundary_(std::move(boundary)),
      packageName_(name),
      packageType_(type),
      localPackageId_(localId),
      madeAt_(DateTime::GetLocalTime()) {
  Package::Validate();
}

Package::Package(const rapidjson::Value& json, TrustBoundary boundary)
    : boundary_(std::move(boundary)) {
  if (!json.IsObject()) throw ZorvaneException("Package status JSON is not an object");
  for (const auto& member : json.GetObject()) {
    const Json::Value& name = member.name;
    const Json::Value& value = member.value;
    if (value.IsString()) {
      const TString text = Json::GetText(value);
      // Older status files named a crash package by its correlation id.
      if (Json::NameEqualsNoCase(name, kPackageName) ||
          Json::NameEqualsNoCase(name, kCrashCorrelationIdMember)) {
        packageName_ = text;
      } else if (Json::NameEqualsNoCase(name, kPackageType)) {
        packageType_ = PackageTypeFromName(text);
      } else if (Json::NameEqualsNoCase(name, kLocalPackageId)) {
        localPackageId_ = TUUID(text);
      } else if (Json::NameEqualsNoCase(name, kRemotePackageId)) {
        remotePackageId_ = text;
      } else if (Json::NameEqualsNoCase(name, kRegisteredAt)) {
        registeredAt_ = text;
      } else if (Json::NameEqualsNoCase(name, kUploadStatus)) {
        uploadStatus_ = UploadStatusFromName(text);
      } else if (Json::NameEqualsNoCase(name, kEncryptedFileBoot)) {
        unsyncedBoot_ = text;
      } else if (Json::NameEqualsNoCase(name, kProcessKey)) {
        processKey_ = text;
      } else {
        ReadRetryMember(name, value);
      }
    } else if (value.IsObject()) {
      if (Json::NameEqualsNoCase(name, kZippedFiles)) {
        ReadZippedFiles(value);
        continue;
      }
      if (!Json::NameEqualsNoCase(name, kPackageDataFiles)) {
        ReadRetryMember(name, value);
        continue;
      }
      for (const auto& file : value.GetObject()) {
        if (!file.value.IsString()) continue;
        if (const auto kind = FindDataFileKind(Json::GetText(file.name))) {
          dataFiles_[*kind] = TPath(Json::GetText(file.value));
        }
      }
    } else if (value.IsArray()) {
      if (Json::NameEqualsNoCase(name, kUploadResults)) ReadUploadResults(value);
    } else {
      ReadRetryMember(name, value);
    }
  }
  Package::Validate();
}

void Package::ReadUploadResults(const rapidjson::Value& results) {
  for (const auto& element : results.GetArray()) {
    uploadResults_.push_back(ReadUploadResult(element, kUploadResults));
  }
}

// The retry members: what they hold is advice for scheduling, so a value of
// the wrong type is skipped like an unknown member.
void Package::ReadRetryMember(const rapidjson::Value& name, const rapidjson::Value& value) {
  if (Json::NameEqualsNoCase(name, kLastError) && value.IsObject()) {
    lastError_ = ReadUploadResult(value, kLastError);
  } else if (Json::NameEqualsNoCase(name, kTransientFailures) && Json::IsInteger(value)) {
    transientFailures_ = static_cast<int>(std::clamp<int64_t>(Json::GetInt64(value), 0, 1000));
  } else if (Json::NameEqualsNoCase(name, kAttemptsForgiven) && Json::IsInteger(value)) {
    attemptsForgiven_ = static_cast<int>(std::clamp<int64_t>(Json::GetInt64(value), 0, 1 << 20));
  } else if (Json::NameEqualsNoCase(name, kFullDumpsLeftOut) && value.IsBool()) {
    fullDumpsLeftOut_ = value.GetBool();
  } else if (Json::NameEqualsNoCase(name, kCrashOwner) && value.IsUint() &&
             value.GetUint() != static_cast<unsigned>(-1)) {
    crashOwner_ = static_cast<uid_t>(value.GetUint());
  } else if (Json::NameEqualsNoCase(name, kFilesBornBy) && value.IsInt64() &&
             value.GetInt64() > 0) {
    madeBy_ = value.GetInt64();
  } else if (Json::NameEqualsNoCase(name, kBeingDeleted) && value.IsBool()) {
    beingDeleted_ = value.GetBool();
  } else if (Json::NameEqualsNoCase(name, kNextAttempt) && value.IsString()) {
    if (!DateTime::ParseDateTime(Json::GetText(value), TimestampPattern(), &nextAttempt_)) {
      nextAttempt_ = DateTime();
    }
  } else if (Json::NameEqualsNoCase(name, kMadeAt) && value.IsInt64() && value.GetInt64() > 0) {
    madeAt_ = DateTime::FromUnixTimeMs(value.GetInt64());
  }
}

// A stamp that does not read as four integers (five with a birth time, six
// with the change time, seven with a log's tail) is left out: the file it
// stands for is then kept, never deleted on a guess.
void Package::ReadZippedFiles(const rapidjson::Value& files) {
  zippedFiles_.clear();
  for (const auto& file : files.GetObject()) {
    const Json::Value& stamp = file.value;
    if (!stamp.IsArray() || stamp.Size() < 4 || stamp.Size() > 7 || !stamp[0].IsUint64() ||
        !stamp[1].IsUint64() || !stamp[2].IsUint64() || !stamp[3].IsInt64() ||
        (stamp.Size() >= 5 && !stamp[4].IsInt64()) || (stamp.Size() >= 6 && !stamp[5].IsInt64()) ||
        (stamp.Size() == 7 && !stamp[6].IsUint())) {
      continue;
    }
    zor::platform::FileIdentity identity;
    identity.device = static_cast<dev_t>(stamp[0].GetUint64());
    identity.inode = static_cast<ino_t>(stamp[1].GetUint64());
    identity.size = stamp[2].GetUint64();
    identity.modifiedNs = stamp[3].GetInt64();
    if (stamp.Size() >= 5) identity.birthNs = stamp[4].GetInt64();
    if (stamp.Size() >= 6) identity.changedNs = stamp[5].GetInt64();
    if (stamp.Size() == 7) identity.tailCrc = stamp[6].GetUint();
    zippedFiles_[TPath(Json::GetText(file.name))] = identity;
  }
}

void Package::AddZippedFiles(rapidjson::Document& document) const {
  if (zippedFiles_.empty()) return;
  Json::Allocator& allocator = document.GetAllocator();
  Json::Value files(rapidjson::kObjectType);
  for (const auto& [path, identity] : zippedFiles_) {
    Json::Value stamp(rapidjson::kArrayType);
    stamp.PushBack(static_cast<uint64_t>(identity.device), allocator)
        .PushBack(static_cast<uint64_t>(identity.inode), allocator)
        .PushBack(identity.size, allocator)
        .PushBack(identity.modifiedNs, allocator);
    // Where the file system keeps no birth time, the change time stands
    // for it (after a 0 where the birth goes; an older version wrote neither).
    stamp.PushBack(identity.birthNs, allocator);
    if (identity.birthNs == 0 || identity.tailCrc) stamp.PushBack(identity.changedNs, allocator);
    if (identity.tailCrc) stamp.PushBack(*identity.tailCrc, allocator);
    files.AddMember(Json::MakeString(TString(path.NativeString()), allocator), stamp, allocator);
  }
  document.AddMember(rapidjson::StringRef(kZippedFiles), files, allocator);
  if (fullDumpsLeftOut_)
    document.AddMember(rapidjson::StringRef(kFullDumpsLeftOut), true, allocator);
}

UploadResult Package::ReadUploadResult(const rapidjson::Value& element, const char* where) {
  {
    if (!element.IsObject()) {
      throw ZorvaneException(TFormatString("An element of '%1' is not a JSON object").arg(where));
    }
    UploadResult result;
    for (const auto& member : element.GetObject()) {
      if (!member.value.IsString()) {
        throw ZorvaneException(TFormatString("Member '%1' of an element of '%2' is not a string")
                                   .arg(Json::GetText(member.name))
                                   .arg(where));
      }
      const TString text = Json::GetText(member.value);
      if (Json::NameEqualsNoCase(member.name, kTimestamp)) {
        if (!DateTime::ParseDateTime(text, TimestampPattern(), &result.time)) {
          // The attempt still counts towards the retry limit, so it stays.
          LogText(TLog::Warn, TFormatString("Could not parse %1").arg(kTimestamp));
          result.time = DateTime();
        }
      } else if (Json::NameEqualsNoCase(member.name, kUploadResultCode)) {
        result.code = UploadResultCodeFromName(text);
      } else if (Json::NameEqualsNoCase(member.name, kUploadMessage)) {
        result.message = text;
      }
    }
    return result;
  }
}

Package::~Package() = default;

rapidjson::Document Package::ToJson() const {
  Json::Document document(rapidjson::kObjectType);
  Json::Allocator& allocator = document.GetAllocator();
  AddString(document, kPackageName, packageName_);
  AddString(document, kPackageType, ToName(packageType_));
  AddString(document, kLocalPackageId, localPackageId_.ToString(TUUID::kBraces));
  AddString(document, kRemotePackageId, remotePackageId_);

  Json::Value files(rapidjson::kObjectType);
  for (const auto& [kind, path] : dataFiles_) {
    files.AddMember(Json::MakeString(ToName(kind), allocator),
                    Json::MakeString(TString(path.NativeString()), allocator), allocator);
  }
  document.AddMember(rapidjson::StringRef(kPackageDataFiles), files, allocator);

  AddString(document, kUploadStatus, ToName(uploadStatus_));

  Json::Value results(rapidjson::kArrayType);
  const TString pattern = TimestampPattern();
  for (const UploadResult& result : uploadResults_) {
    results.PushBack(ResultToJson(result, pattern, allocator), allocator);
  }
  document.AddMember(rapidjson::StringRef(kUploadResults), results, allocator);
  AddRetryMembers(document);
  AddZippedFiles(document);
  if (!unsyncedBoot_.isEmpty()) AddString(document, kEncryptedFileBoot, unsyncedBoot_);
  if (!registeredAt_.isEmpty()) AddString(document, kRegisteredAt, registeredAt_);
  if (!processKey_.isEmpty()) AddString(document, kProcessKey, processKey_);
  if (crashOwner_) {
    document.AddMember(rapidjson::StringRef(kCrashOwner), static_cast<unsigned>(*crashOwner_),
                       document.GetAllocator());
  } else if (madeBy_ != 0) {
    document.AddMember(rapidjson::StringRef(kFilesBornBy), madeBy_, document.GetAllocator());
  }
  if (beingDeleted_) document.AddMember(rapidjson::StringRef(kBeingDeleted), true, allocator);
  return document;
}


void Package::AddRetryMembers(rapidjson::Document& document) const {
  Json::Allocator& allocator = document.GetAllocator();
  const TString pattern = TimestampPattern();
  if (lastError_) {
    document.AddMember(rapidjson::StringRef(kLastError),
                       ResultToJson(*lastError_, pattern, allocator), allocator);
  }
  if (transientFailures_ > 0) {
    document.AddMember(rapidjson::StringRef(kTransientFailures), transientFailures_, allocator);
  }
  if (nextAttempt_.IsValid()) AddString(document, kNextAttempt, nextAttempt_.Format(pattern));
  if (madeAt_.IsValid()) {
    document.AddMember(rapidjson::StringRef(kMadeAt),
                       static_cast<int64_t>(madeAt_.GetAsUnixTimeMs()), allocator);
  }
  if (attemptsForgiven_ > 0) {
    document.AddMember(rapidjson::StringRef(kAttemptsForgiven), attemptsForgiven_, allocator);
  }
}

void Package::RecordFilesAsFound(FileStamps found) {
  SetFilesFoundForZip(std::move(found));
  zippedFiles_ = std::move(foundForZip_);
  foundForZip_.clear();
}

void Package::SetFilesFoundForZip(FileStamps found, bool fullDumpsLeftOut) {
  fullDumpsLeftOutForZip_ = fullDumpsLeftOut;
  // Each stamp as the status file writes it: the name in escaped ASCII
  // (\uXXXX per UTF-16 unit beyond it), its numbers and the punctuation.
  const auto cost = [](const TPath& path) {
    size_t bytes = 112;
    for (const unsigned char c : path.NativeString()) {
      if (c >= 0xf0) {
        bytes += 12;  // a surrogate pair
      } else if (c >= 0xc0) {
        bytes += 6;
      } else if (c < 0x20) {
        bytes += 6;
      } else if (c < 0x80) {
        bytes += c == '"' || c == '\\' ? 2 : 1;
      }
    }
    return bytes;
  };
  const auto first = [](const TPath& path) {
    return ArtifactNames::MakesACrash(path) || path.ToString().endsWith(".manifest");
  };
  foundForZip_.clear();
  size_t used = 0;
  size_t left = 0;
  for (const bool pass : {true, false}) {
    for (const auto& [path, stamp] : found) {
      if (first(path) != pass) continue;
      if (used + cost(path) > kMaxStampBytes) {
        ++left;
        continue;
      }
      used += cost(path);
      foundForZip_.emplace(path, stamp);
    }
  }
  if (left > 0) {
    LogText(TLog::Warn, TFormatString("Package '%1': %2 of its crash files are not recorded, so "
                                      "they stay after the upload: their names would make its "
                                      "status file too large")
                            .arg(packageName_)
                            .arg(static_cast<uint64_t>(left)));
  }
}

bool Package::IsZippedElsewhere(const ZippedElsewhere& zippedThisRun,
                                const zor::platform::FileIdentity& file) const {
  const auto found = zippedThisRun.find({file.device, file.inode});
  // Its own earlier zip of this run (made again) is no other's.
  return found != zippedThisRun.end() && found->second.package != packageName_ &&
         zor::platform::IsSameFileUnchanged(found->second.identity, file);
}

bool Package::HoldsItsCrashFiles() const {
  if (HasNoFilesLeft()) return false;
  if (uploadStatus_ != UploadStatus::kComplete && uploadStatus_ != UploadStatus::kFailed) {
    return true;  // its next zip takes whatever the files hold then
  }
  for (const auto& [path, stamp] : zippedFiles_) {
    // A log written on after the zip is no new crash: sent again with it, a
    // crash would go up each time its log grew.
    if (!ArtifactNames::MakesACrash(path)) continue;
    const auto now = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
    if (now && !zor::platform::IsSameFileUnchanged(*now, stamp)) return false;
  }
  return true;
}

std::optional<Package::HeldCrashFiles> Package::GetHeldCrashFiles() const {
  if (!HoldsItsCrashFiles()) return std::nullopt;
  HeldCrashFiles held;
  const bool finished =
      uploadStatus_ == UploadStatus::kComplete || uploadStatus_ == UploadStatus::kFailed;
  for (const auto& [path, stamp] : zippedFiles_) {
    if (!ArtifactNames::MakesACrash(path)) continue;
    held.paths.insert(path);
    held.stamps.emplace(path, stamp);
  }
  held.all = !finished || held.paths.empty();
  if (!crashOwner_ && zippedFiles_.empty()) held.bornBy = madeBy_;
  return held;
}

TString Package::GetZipEntryName(const TPath& path) const { return path.Filename(); }

std::vector<Package::FileToZip> Package::GetFilesToZip(const ZippedElsewhere&) { return {}; }

std::shared_ptr<PackageMetadata> Package::GetPackageMetadata() { return nullptr; }

void Package::Validate() const {
  if (packageName_.isEmpty()) throw ZorvaneException("Package name is empty!");
}

void Package::SetUploadStatus(UploadStatus status) {
  uploadStatus_ = status;
  Save();
  RenameFilePath(GetFilePath().ReplaceExtension(StatusFileExtension(status)));
}

void Package::AddUploadResult(const UploadResult& result) {
  uploadResults_.push_back(result);
  if (result.code != UploadResultCode::kSuccess) lastError_ = result;
  // A verdict or a success ends a run of transient trouble: the next attempt
  // need not wait.
  transientFailures_ = 0;
  nextAttempt_ = DateTime();
  Save();
}

void Package::AddGiveUpResult(const UploadResult& result) {
  if (result.code == UploadResultCode::kClientError) ++attemptsForgiven_;
  AddUploadResult(result);
}

int Package::CountedAttempts() const {
  int verdicts = 0;
  for (const UploadResult& result : uploadResults_) {
    verdicts += result.code == UploadResultCode::kClientError ? 1 : 0;
  }
  return std::max(0, verdicts - attemptsForgiven_);
}

void Package::RecordWait(const UploadResult& why) {
  lastError_ = why;
  Save();
}

void Package::RecordTransientFailure(const UploadResult& failure, const DateTime& notBefore) {
  lastError_ = failure;
  ++transientFailures_;
  nextAttempt_ = notBefore;
  Save();
}

void Package::GrantNewAttempts() {
  attemptsForgiven_ += CountedAttempts();
  transientFailures_ = 0;
  nextAttempt_ = DateTime();
  SetUploadStatus(UploadStatus::kPendingRetry);
}

bool Package::IsUploadInProgress() const {
  const bool active = uploadStatus_ == UploadStatus::kPending ||
                      uploadStatus_ == UploadStatus::kStarted ||
                      uploadStatus_ == UploadStatus::kPendingRetry;
  return active && HasDataFile(DataFileKind::kPartsUploadedFile);
}

TPath Package::GetDataFilePath(DataFileKind kind) const {
  const auto found = dataFiles_.find(kind);
  if (found == dataFiles_.end()) {
    throw ZorvaneException(TFormatString("Data file path '%1' is not set on package '%2'")
                               .arg(ToName(kind))
                               .arg(packageName_));
  }
  return found->second;
}

TPath Package::GetEncryptedPackageFilePath() const {
  return GetDataFilePath(DataFileKind::kEncryptedPackageFile);
}

void Package::SetDataFilePath(DataFileKind kind, const TPath& path) {
  RecordDataFilePath(kind, path);
  Save();
}

void Package::RecordDataFilePath(DataFileKind kind, const TPath& path) { dataFiles_[kind] = path; }

bool Package::LiesBesideStatusFile(const TPath& path) const {
  return NormalisedPath(path.Parent()) == NormalisedPath(GetFilePath().Parent());
}

void Package::LeaveOutDataFilesElsewhere() {
  for (auto file = dataFiles_.begin(); file != dataFiles_.end();) {
    const auto& [kind, path] = *file;
    if (kind == DataFileKind::kManifestFile || KeepsDataFile(kind) || LiesBesideStatusFile(path)) {
      ++file;
      continue;
    }
    LogQuietly(TLog::Warn, TFormatString("The status file '%1' names its %2 '%3' outside its "
                                         "folder; it is left out and made again")
                               .arg(GetFilePath().ToString())
                               .arg(ToName(kind))
                               .arg(path.ToString()));
    file = dataFiles_.erase(file);
  }
}

void Package::BoundStampsWithoutBirth() {
  int64_t bornBy = 0;
  // A record in a dump folder, as a much older version kept it, is its
  // user's to make anew at any time: it bounds nothing.
  for (const DataFileKind kind :
       {DataFileKind::kZippedPackageFile, DataFileKind::kEncryptedPackageFile,
        DataFileKind::kManifestFile}) {
    if (bornBy != 0 || !HasDataFile(kind)) continue;
    const TPath path = GetDataFilePath(kind);
    if (!LiesBesideStatusFile(path)) continue;
    const auto made = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
    if (made && made->kind == zor::platform::FileIdentity::Kind::kRegular) {
      bornBy = zor::platform::LatestBirthNs(*made);
    }
  }
  // Else the status file, saved since perhaps, but never before them.
  if (bornBy == 0) {
    const auto status =
        zor::platform::IdentifyPath(GetFilePath(), zor::platform::LinkHandling::kDoNotFollow);
    if (status) bornBy = zor::platform::LatestBirthNs(*status);
  }
  // Each save makes the status file anew: the bound an earlier load of an
  // ownerless package recorded holds, or every later save would move it on
  // to take files made since.
  if (madeBy_ != 0 && (bornBy == 0 || madeBy_ < bornBy)) bornBy = madeBy_;
  madeBy_ = bornBy;
  for (auto& [path, stamp] : zippedFiles_) {
    if (stamp.birthNs == 0) stamp.bornByNs = bornBy;
  }
}

void Package::RecordEncryption(const TPath& encryptedFile, const TPath& metadataFile,
                               const std::optional<TPath>& zip, const TString& unsyncedInBoot) {
  if (zip) RecordDataFilePath(DataFileKind::kZippedPackageFile, *zip);
  RecordDataFilePath(DataFileKind::kEncryptedPackageFile, encryptedFile);
  RecordDataFilePath(DataFileKind::kZorEncryptionMetadataFile, metadataFile);
  // Encrypting a kept zip again finds no files: what its pass found stays.
  if (!foundForZip_.empty()) {
    zippedFiles_ = std::move(foundForZip_);
    fullDumpsLeftOut_ = fullDumpsLeftOutForZip_;
  }
  foundForZip_.clear();
  fullDumpsLeftOutForZip_ = false;
  unsyncedBoot_ = unsyncedInBoot;
  encryptionMetadata_.reset();
  Save();
}

void Package::ForgetRegistration(const TString& why) {
  LogQuietly(TLog::Info, TFormatString("Package '%1': forgetting its registration '%2': %3")
                             .arg(packageName_)
                             .arg(remotePackageId_)
                             .arg(why));
  remotePackageId_ = TString();
  registeredAt_ = TString();
  if (HasDataFile(DataFileKind::kPartsUploadedFile)) {
    DiscardDataFiles({DataFileKind::kPartsUploadedFile}, why);
  } else {
    Save();
  }
}

void Package::MarkEncryptionSynced() {
  if (unsyncedBoot_.isEmpty()) return;
  unsyncedBoot_ = TString();
  Save();
}

TString Package::FirstSourceGone(const std::set<TPath>& unneeded) const {
  if (KeepsDataFile(DataFileKind::kZippedPackageFile)) {
    // The user's zip as the encryption would open it: one that may no longer
    // be read (its folder opened to others since) cannot be encrypted again.
    const TPath zip = GetDataFilePath(DataFileKind::kZippedPackageFile);
    try {
      Filesystem::GetInstance().OpenUsersFileForReading(zip);
    } catch (const std::exception&) {
      return zip.ToString();
    }
  }
  if (zippedFiles_.empty()) return FirstUnstampedSourceGone(unneeded);
  for (const auto& [path, stamp] : zippedFiles_) {
    if (unneeded.count(path) != 0) continue;
    const auto now = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
    // Gone, replaced, or no longer one the zip would take (a service user's
    // log written on since, a dump its owner gave a second name): the upload
    // files cannot be made again as they were.
    // A link's stamp is the link's: what it leads to may have been written
    // anew since, unseen, so a copy made through it cannot be made again.
    if (!now || now->kind == zor::platform::FileIdentity::Kind::kSymlink ||
        WasReplaced(path, stamp, *now) ||
        (!LiesBesideStatusFile(path) && !IsCrashsOwn(path, *now)) ||
        !WhyNotReadNow(path).isEmpty()) {
      return path.ToString();
    }
  }
  return {};
}

bool Package::WasReplaced(const TPath& path, const zor::platform::FileIdentity& stamp,
                          const zor::platform::FileIdentity& now) const {
  const bool unchanged = zor::platform::IsSameFileUnchanged(stamp, now);
  if (unchanged) return false;  // whoever owns it now: a crash handed to its user
  const bool birthTells = now.birthNs != 0 && stamp.birthNs != 0;
  if (now.inode != stamp.inode || (birthTells && now.birthNs != stamp.birthNs)) return true;
  // A dump written again at its name (the process of that name and pid
  // crashed once more) is another crash; a log is the crash's while it is
  // only written on, not once it is shorter (truncated as its program
  // started again).
  if (ArtifactNames::MakesACrash(path) || now.size < stamp.size) return true;
  // One cut short and written past its old length since is told by the
  // bytes the zip ended on.
  if (stamp.tailCrc && TailCrcNow(path, now, stamp.size) != stamp.tailCrc) return true;
  // Without birth times a file made anew at the freed inode looks like one
  // written on, but for its owner (the crash's record beside the status
  // file is the program's, whoever's crash it is).
  return !birthTells && crashOwner_ && now.owner != *crashOwner_ && !LiesBesideStatusFile(path);
}

void Package::ForgetZippedFiles(const std::set<TPath>& paths) {
  size_t forgotten = 0;
  for (const TPath& path : paths) {
    if (zippedFiles_.erase(path) == 0) continue;
    ++forgotten;
    leftToOthers_.insert(path);
  }
  if (forgotten > 0) Save();
}

void Package::DiscardDataFiles(const std::set<DataFileKind>& kinds, const TString& why) {
  DataFiles dropped;
  for (const DataFileKind kind : kinds) {
    const auto found = dataFiles_.find(kind);
    if (found == dataFiles_.end() || KeepsDataFile(kind)) continue;
    dropped.insert(*found);
  }
  if (dropped.empty()) return;
  DataFiles kept = dataFiles_;
  for (const auto& [kind, path] : dropped) kept.erase(kind);
  std::swap(dataFiles_, kept);
  const TString boot = unsyncedBoot_;
  if (dropped.count(DataFileKind::kEncryptedPackageFile)) unsyncedBoot_ = TString();
  try {
    Save();
  } catch (...) {
    std::swap(dataFiles_, kept);
    unsyncedBoot_ = boot;
    throw;
  }
  if (dropped.count(DataFileKind::kZorEncryptionMetadataFile)) encryptionMetadata_.reset();
  if (dropped.count(DataFileKind::kPartsUploadedFile)) uploadProgress_.reset();
  // Unrecorded first, removed after: a kill in between leaves files that no
  // package records, which the next run's sweep removes.
  for (const auto& [kind, path] : dropped) {
    LogQuietly(TLog::Info, TFormatString("Package '%1': removing its %2 '%3': %4")
                               .arg(packageName_)
                               .arg(ToName(kind))
                               .arg(path.ToString())
                               .arg(why));
    TString removed;
    DeletePackageFile(path, GetFilePath(), boundary_, &removed);
  }
}
std::shared_ptr<PackageEncryptionMetadata> Package::GetEncryptionMetadata() {
  if (!encryptionMetadata_) {
    encryptionMetadata_ = PackageEncryptionMetadata::LoadFromFile(
        GetDataFilePath(DataFileKind::kZorEncryptionMetadataFile));
  }
  return encryptionMetadata_;
}

std::shared_ptr<PackageUploadProgress> Package::GetUploadProgress() {
  if (!uploadProgress_) {
    uploadProgress_ =
        PackageUploadProgress::LoadFromFile(GetDataFilePath(DataFileKind::kPartsUploadedFile));
  }
  return uploadProgress_;
}

std::shared_ptr<PackageUploadProgress> Package::StartUploadProgress(const TString& uploadId) {
  const TPath packageFile = GetEncryptedPackageFilePath();
  const Config& config = Config::GetInstance();
  const TPath progressPath = config.GetDataDirectory() / TPath(packageName_ + kUploadedPartsSuffix);
  const uint64_t size = Filesystem::GetInstance().FileSize(packageFile);
  // A store refuses the completion of more parts, at the end of the upload.
  const uint64_t partSize =
      std::max<uint64_t>(config.GetUploadPartSize(), (size + PackageUploadProgress::kMaxParts - 1) /
                                                         PackageUploadProgress::kMaxParts);
  auto progress = JsonFileSerializedObject::SaveNewFile(
      std::make_shared<PackageUploadProgress>(packageFile, size, partSize, uploadId), progressPath);
  // A failed save below leaves the file unrecorded: the next attempt asks for
  // a new upload id and writes over it.
  uploadProgress_ = progress;
  SetDataFilePath(DataFileKind::kPartsUploadedFile, progressPath);
  return uploadProgress_;
}

RemovalResult Package::DeletePackageFile(const TPath& path, const TPath& namedBy,
                                         const TrustBoundary& boundary, TString* deletedFiles,
                                         const zor::platform::FileIdentity* expected,
                                         uint64_t* refusals, TString* failure) {
  TString why;
  try {
    TString refusal;
    const RemovalResult result = boundary.Delete(path, namedBy, &refusal, expected);
    switch (result) {
      case RemovalResult::kRemoved:
        *deletedFiles += TString(path.NativeString()) + "\n";
        return result;
      case RemovalResult::kAbsent:
        return result;
      case RemovalResult::kRefused:
        if (refusals != nullptr && ++*refusals > kRefusalsLogged) return result;
        LogQuietly(TLog::Warn,
                   TFormatString("Not deleting '%1', which '%2' names: %3")
                       .arg(path.ToString())
                       .arg(namedBy.IsEmpty() ? TString("the package") : namedBy.ToString())
                       .arg(refusal));
        return result;
      case RemovalResult::kFailed:
        // The facade names its own failures; the boundary's shortage of
        // descriptors comes back as the reason, and the next run tries again.
        why = refusal.isEmpty()
                  ? TFormatString("Failed to delete file '%1'.").arg(path.ToString())
                  : TFormatString("Failed to delete file '%1': %2; the next run tries again")
                        .arg(path.ToString())
                        .arg(refusal);
        break;
    }
  } catch (const std::exception& e) {
    why = TFormatString("Failed to delete file '%1'. Error message: '%2'")
              .arg(path.ToString())
              .arg(e.what());
  } catch (...) {
    why = TFormatString("Failed to delete file '%1'. Unknown Error").arg(path.ToString());
  }
  LogQuietly(TLog::Warn, why);
  if (failure != nullptr && failure->isEmpty()) *failure = why;
  return RemovalResult::kFailed;
}

bool Package::DeleteOwnFile(const TPath& path, const TPath& namedBy, TString* deletedFiles,
                            const zor::platform::FileIdentity* expected, uint64_t* refusals) const {
  return DeletePackageFile(path, namedBy, boundary_, deletedFiles, expected, refusals,
                           &deletionFailure_) != RemovalResult::kFailed;
}

bool Package::DeleteDataFiles(TString* deletedFiles, IncludeManifest includeManifest) {
  bool allDeleted = true;
  for (const auto& [kind, path] : dataFiles_) {
    if (KeepsDataFile(kind)) continue;
    if (kind == DataFileKind::kManifestFile && includeManifest == IncludeManifest::kNo) continue;
    // An application's manifest serving as the record is one of the crash's
    // files, which DeleteOwnFiles deletes against its stamp: by the status
    // file's word alone, another user's file at its name would go.
    if (kind == DataFileKind::kManifestFile && !LiesBesideStatusFile(path)) continue;
    LogQuietly(TLog::Debug,
               TFormatString("Deleting %1 file'%2'").arg(ToName(kind)).arg(path.ToString()));
    if (!DeleteOwnFile(path, GetFilePath(), deletedFiles)) allDeleted = false;
  }
  return allDeleted;
}

void Package::LogDeletedFiles(const TString& deletedFiles) const {
  if (deletedFiles.isEmpty()) return;
  LogQuietly(TLog::Info, TFormatString("Cleaned up metadata files for package Id '%1'.\nFollowing "
                                       "files were deleted: '%2'")
                             .arg(packageName_)
                             .arg(deletedFiles));
}

void Package::CleanUpFiles() {
  LogQuietly(TLog::Debug, TFormatString("Cleaning up files for package '%1'").arg(packageName_));
  TString deleted;
  DeleteDataFiles(&deleted, IncludeManifest::kNo);
  LogDeletedFiles(deleted);
}

void Package::DeletePackage(KeepStatusFile keep) {
  TString deleted;
  deletionFailure_ = TString();
  try {
    LogQuietly(TLog::Debug,
               TFormatString("Deleting package and dump files for package '%1'").arg(packageName_));
    // Marked first: a deletion cut off half-way by a kill or a failed
    // removal must not leave what is left of an unsent crash to be sent as
    // the crash (its log without its dump); the next run finishes it.
    if (keep == KeepStatusFile::kNo && uploadStatus_ != UploadStatus::kComplete && !beingDeleted_ &&
        !GetFilePath().IsEmpty()) {
      beingDeleted_ = true;
      try {
        Save();
      } catch (...) {
        beingDeleted_ = false;
        throw;
      }
    }
    // The status file is the only record of the data files: it goes last, and
    // only when nothing is left for a later run to retry.
    if (DeleteOwnFiles(&deleted) && DeleteDataFiles(&deleted, IncludeManifest::kYes) &&
        !GetFilePath().IsEmpty()) {
      if (keep == KeepStatusFile::kNo) {
        DeleteOwnFile(GetFilePath(), TPath(), &deleted);
      } else {
        dataFiles_.clear();
        zippedFiles_.clear();
        fullDumpsLeftOut_ = false;
        unsyncedBoot_ = TString();
        encryptionMetadata_.reset();
        uploadProgress_.reset();
        Save();
      }
    }
  } catch (const ZorvaneException& e) {
    NoteDeletionFailure(e.GetConcatenatedMessages());
  } catch (const std::exception& e) {
    NoteDeletionFailure(TString(e.what()));
  }
  LogDeletedFiles(deleted);
  RecordDeletionFailure();
}

void Package::NoteDeletionFailure(const TString& why) {
  LogQuietly(TLog::Warn, TFormatString("Error occurred trying to delete all files from package "
                                       "'%1'. Error message: '%2'")
                             .arg(packageName_)
                             .arg(why));
  if (deletionFailure_.isEmpty()) deletionFailure_ = why;
}

void Package::RecordDeletionFailure() {
  // Whoever lists the package sees why its deletion stopped rather than the
  // upload's old trouble; the next run tries again either way.
  if (!beingDeleted_ || deletionFailure_.isEmpty() || GetFilePath().IsEmpty()) return;
  lastError_ = UploadResult{zor::platform::DateTime::GetLocalTime(), UploadResultCode::kUnknown,
                            "The deletion stopped: " + deletionFailure_};
  try {
    Save();
  } catch (...) {
    // Said in the log already; the record keeps its older text.
  }
}

bool Package::IsCrashsOwn(const TPath& path, const zor::platform::FileIdentity& identity) const {
  if (IsStampedAs(zippedFiles_, path, identity)) return true;
  if (crashOwner_) return identity.owner == *crashOwner_;
  // Another user's file made at a name since cannot have been one of them;
  // one of unknown birth, changed since, may be.
  return zippedFiles_.empty() &&
         (madeBy_ == 0 || zor::platform::LatestBirthNs(identity) <= madeBy_);
}

bool Package::DeletesWithCrash(const TPath& path,
                               const zor::platform::FileIdentity& identity) const {
  return zippedFiles_.empty() ? IsCrashsOwn(path, identity)
                              : IsStampedAs(zippedFiles_, path, identity);
}

bool IsStampedAs(const Package::FileStamps& stamps, const TPath& path,
                 const zor::platform::FileIdentity& identity) {
  auto stamp = stamps.find(path);
  if (stamp == stamps.end()) stamp = stamps.find(NormalisedPath(path.ToString()));
  return stamp != stamps.end() && zor::platform::IsSameFileUnchanged(stamp->second, identity);
}

}  // namespace ZorErrorReporting
