#include "packages/logs_package.h"

#include <utility>

#include "packages/json_document.h"
#include "packages/log_package_metadata.h"
#include "packages/system_info.h"
#include "platform/tsystem.h"

namespace ZorErrorReporting {

using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::TUUID;

namespace {

constexpr char kLogPackageName[] = "log-package-name";
constexpr char kUnspecified[] = "Unspecified";

}  // namespace

std::shared_ptr<LogsPackage> LogsPackage::Create(const TPath& basePath, const TPath& zipPath,
                                                 const TPath& metadataPath, const TUUID& localId,
                                                 const TrustBoundary& boundary) {
  auto package = std::make_shared<LogsPackage>(basePath.Filename(), localId, boundary);
  package->RecordDataFilePath(DataFileKind::kZippedPackageFile, zipPath);
  if (!metadataPath.IsEmpty()) {
    package->RecordDataFilePath(DataFileKind::kPackageMetadataFile, metadataPath);
  }
  return JsonFileSerializedObject::SaveNewFile(
      package, basePath.AppendToFilename("." + StatusFileExtension(UploadStatus::kPending)));
}

std::shared_ptr<LogsPackage> LogsPackage::LoadFromFile(const TPath& path,
                                                       const TrustBoundary& boundary) {
  auto package = LoadObjectFromFile<LogsPackage>(path, boundary);
  package->LeaveOutDataFilesElsewhere();
  return package;
}

LogsPackage::LogsPackage(const TString& name, const TUUID& localId, TrustBoundary boundary)
    : Package(name, PackageType::kZippedLogsPackage, localId, std::move(boundary)) {}

LogsPackage::LogsPackage(const rapidjson::Value& json, TrustBoundary boundary)
    : Package(json, std::move(boundary)) {}

LogsPackage::~LogsPackage() = default;

TString LogsPackage::GetUploadFileName() const {
  return GetDataFilePath(DataFileKind::kZippedPackageFile).Filename();
}

TString LogsPackage::GetIdentityJson() const {
  Json::Document document(rapidjson::kObjectType);
  Json::Allocator& allocator = document.GetAllocator();
  document.AddMember(rapidjson::StringRef(kLogPackageName),
                     Json::MakeString(GetPackageName(), allocator), allocator);
  if (HasRemotePackageId()) {
    document.AddMember(rapidjson::StringRef(kIssueIdMember),
                       Json::MakeString(GetRemotePackageId(), allocator), allocator);
  }
  return TString(Json::WriteCompact(document));
}

bool LogsPackage::KeepsDataFile(DataFileKind kind) const {
  // The user may still want the zip after the upload.
  return kind == DataFileKind::kZippedPackageFile;
}

TString LogsPackage::GetProductBuild() const { return kUnspecified; }

TString LogsPackage::GetEdition() const { return kUnspecified; }

TString LogsPackage::GetOs() const { return zor::platform::TSystem::OSShortName(); }

TString LogsPackage::GetOsVersion() const { return SystemInfo::Get().GetOsVersion(); }

TString LogsPackage::GetProcessorArchitecture() const {
  return SystemInfo::Get().GetProcessorArchitecture();
}

std::shared_ptr<PackageMetadata> LogsPackage::GetPackageMetadata() {
  if (!packageMetadata_) {
    packageMetadata_ =
        LogPackageMetadata::LoadFromFile(GetDataFilePath(DataFileKind::kPackageMetadataFile));
  }
  return packageMetadata_;
}

}  // namespace ZorErrorReporting
