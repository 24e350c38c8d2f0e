#include "packages/package_types.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ZorErrorReporting {
namespace {

using zor::platform::TString;

// Every name must read back as its value in any case, and a value outside the
// table must write as the name of value 0.
template <class E>
void CheckTable(const std::vector<std::string>& names, E (*fromName)(const TString&)) {
  for (size_t i = 0; i < names.size(); ++i) {
    const E value = static_cast<E>(i);
    EXPECT_EQ(ToName(value), TString(names[i]));
    EXPECT_EQ(fromName(TString(names[i]).toUpper()), value) << names[i];
    EXPECT_EQ(fromName(TString(names[i]).toLower()), value) << names[i];
  }
  EXPECT_EQ(fromName("no such name"), static_cast<E>(0));
  EXPECT_EQ(fromName(""), static_cast<E>(0));
  EXPECT_EQ(ToName(static_cast<E>(names.size())), TString(names[0]));
  EXPECT_EQ(ToName(static_cast<E>(-1)), TString(names[0]));
}

TEST(PackageTypesTest, NameTables) {
  CheckTable<PackageType>({"unknown-package", "crash-package", "zipped-logs-package"},
                          PackageTypeFromName);
  CheckTable<UploadStatus>({"Unknown", "Pending", "Started", "PendingRetry", "Failed", "Complete"},
                           UploadStatusFromName);
  CheckTable<DataFileKind>(
      {"unknown-file", "manifest-file", "zipped-package-file", "zor-encryption-metadata-file",
       "user-encryption-metadata-file", "encrypted-package-file", "parts-uploaded-file",
       "package-metadata-file"},
      DataFileKindFromName);
  CheckTable<UploadResultCode>({"Unknown", "Success", "ClientError", "NetworkError"},
                               UploadResultCodeFromName);
}

TEST(PackageTypesTest, DataFileKindLookupTellsNoMatchFromUnknownFile) {
  EXPECT_EQ(FindDataFileKind("UNKNOWN-FILE"), DataFileKind::kUnknownFile);
  EXPECT_EQ(FindDataFileKind("Manifest-File"), DataFileKind::kManifestFile);
  EXPECT_EQ(FindDataFileKind("manifest"), std::nullopt);
}

}  // namespace
}  // namespace ZorErrorReporting
