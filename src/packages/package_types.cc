#include "packages/package_types.h"

#include <array>

#include "packages/enum_names.h"

namespace ZorErrorReporting {

using zor::platform::TString;

namespace {

// Indexed by value; the values of each enumeration run from 0 without gaps.
constexpr std::array<const char*, 3> kPackageTypeNames = {"unknown-package", "crash-package",
                                                          "zipped-logs-package"};
constexpr std::array<const char*, 6> kUploadStatusNames = {"Unknown",      "Pending", "Started",
                                                           "PendingRetry", "Failed",  "Complete"};
constexpr std::array<const char*, 8> kDataFileKindNames = {"unknown-file",
                                                           "manifest-file",
                                                           "zipped-package-file",
                                                           "zor-encryption-metadata-file",
                                                           "user-encryption-metadata-file",
                                                           "encrypted-package-file",
                                                           "parts-uploaded-file",
                                                           "package-metadata-file"};
constexpr std::array<const char*, 4> kUploadResultCodeNames = {"Unknown", "Success", "ClientError",
                                                               "NetworkError"};

}  // namespace

TString ToName(PackageType value) { return EnumNames::NameOrFirst(kPackageTypeNames, value); }
TString ToName(UploadStatus value) { return EnumNames::NameOrFirst(kUploadStatusNames, value); }
TString ToName(DataFileKind value) { return EnumNames::NameOrFirst(kDataFileKindNames, value); }
TString ToName(UploadResultCode value) {
  return EnumNames::NameOrFirst(kUploadResultCodeNames, value);
}

PackageType PackageTypeFromName(const TString& name) {
  return EnumNames::Find<PackageType>(kPackageTypeNames, name)
      .value_or(PackageType::kUnknownPackage);
}

UploadStatus UploadStatusFromName(const TString& name) {
  return EnumNames::Find<UploadStatus>(kUploadStatusNames, name).value_or(UploadStatus::kUnknown);
}

UploadResultCode UploadResultCodeFromName(const TString& name) {
  return EnumNames::Find<UploadResultCode>(kUploadResultCodeNames, name)
      .value_or(UploadResultCode::kUnknown);
}

std::optional<DataFileKind> FindDataFileKind(const TString& name) {
  return EnumNames::Find<DataFileKind>(kDataFileKindNames, name);
}

TString StatusFileExtension(UploadStatus status) { return ToName(status).toLower(); }

}  // namespace ZorErrorReporting
