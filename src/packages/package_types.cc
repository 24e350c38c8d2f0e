#include "packages/package_types.h"

#include <array>
#include <cstddef>

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

template <class E, size_t N>
TString NameIn(const std::array<const char*, N>& names, E value) {
  // A negative value turns into a huge index and so falls back as well.
  const auto index = static_cast<size_t>(static_cast<int>(value));
  return TString(index < N ? names[index] : names[0]);
}

template <class E, size_t N>
std::optional<E> FindIn(const std::array<const char*, N>& names, const TString& name) {
  for (size_t i = 0; i < N; ++i) {
    if (name.EqualsNoCase(names[i])) return static_cast<E>(i);
  }
  return std::nullopt;
}

}  // namespace

TString ToName(PackageType value) { return NameIn(kPackageTypeNames, value); }
TString ToName(UploadStatus value) { return NameIn(kUploadStatusNames, value); }
TString ToName(DataFileKind value) { return NameIn(kDataFileKindNames, value); }
TString ToName(UploadResultCode value) { return NameIn(kUploadResultCodeNames, value); }

PackageType PackageTypeFromName(const TString& name) {
  return FindIn<PackageType>(kPackageTypeNames, name).value_or(PackageType::kUnknownPackage);
}

UploadStatus UploadStatusFromName(const TString& name) {
  return FindIn<UploadStatus>(kUploadStatusNames, name).value_or(UploadStatus::kUnknown);
}

DataFileKind DataFileKindFromName(const TString& name) {
  return FindDataFileKind(name).value_or(DataFileKind::kUnknownFile);
}

UploadResultCode UploadResultCodeFromName(const TString& name) {
  return FindIn<UploadResultCode>(kUploadResultCodeNames, name)
      .value_or(UploadResultCode::kUnknown);
}

std::optional<DataFileKind> FindDataFileKind(const TString& name) {
  return FindIn<DataFileKind>(kDataFileKindNames, name);
}

TString StatusFileExtension(UploadStatus status) { return ToName(status).toLower(); }

}  // namespace ZorErrorReporting
