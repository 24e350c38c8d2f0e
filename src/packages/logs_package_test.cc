// LogsPackage: creation around a user's zip, its identity, its customer
// details, and deletion that never touches the zip.
#include "packages/logs_package.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "packages/log_package_metadata.h"
#include "packages/package_for_test.h"
#include "packages/system_info.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using test_support::Exists;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::TUUID;
using zor::test::WriteFile;
using Kind = DataFileKind;

class LogsPackageTest : public test_support::TempDirTest {
 protected:
  LogsPackageTest() { WriteFile(zip_, "PK user's logs"); }

  // Creates a package the way a send-logs upload does: named after a new id
  // and the package type, in the data directory.
  std::shared_ptr<LogsPackage> Create() {
    std::filesystem::create_directories(dir_.Sub("data"));
    id_ = SystemInfo::Get().CreateUuid();
    base_ = dir_.Sub("data/" + TString(id_).toStdString() + ".zipped-logs-package");
    return LogsPackage::Create(TPath(base_), TPath(zip_), TPath(), id_, boundary_);
  }

  // Outside the data directory, as a user's file would be.
  std::string zip_ = dir_.Sub("my logs/collected.zip");
  TUUID id_;
  std::string base_;
};

TEST_F(LogsPackageTest, CreateSavesAPendingStatusFileRecordingTheZip) {
  const auto package = Create();
  EXPECT_EQ(package->GetFilePath(), TPath(base_ + ".pending"));
  const auto loaded = LogsPackage::LoadFromFile(TPath(base_ + ".pending"), boundary_);
  const TString name = TString(id_) + ".zipped-logs-package";
  EXPECT_EQ(loaded->GetPackageName(), name);
  EXPECT_EQ(loaded->GetLocalPackageId(), id_);
  EXPECT_EQ(loaded->GetUploadStatus(), UploadStatus::kPending);
  EXPECT_EQ(loaded->GetDataFiles(), (Package::DataFiles{{Kind::kZippedPackageFile, zip_}}));
  EXPECT_EQ(loaded->GetUploadFileName(), "collected.zip");
  EXPECT_EQ(loaded->GetIdentityJson(), R"({"log-package-name":")" + name + R"("})");
  // The user's zip lies anywhere; the program's own files only beside the
  // status file.
  WriteFile(base_ + ".pending",
            R"({"package-name":"n","package-data-files":{"zipped-package-file":")" + zip_ +
                R"(","package-metadata-file":")" + zip_ + ".meta\"}}");
  EXPECT_EQ(LogsPackage::LoadFromFile(TPath(base_ + ".pending"), boundary_)->GetDataFiles(),
            (Package::DataFiles{{Kind::kZippedPackageFile, zip_}}));
  loaded->SetRemotePackageId("issue \"7\"");
  EXPECT_EQ(loaded->GetIdentityJson(),
            R"({"log-package-name":")" + name + R"(","issue-id":"issue \"7\""})");
}

// Nothing but the user's zip can make a logs package's copy again: one the
// encryption would refuse now leaves the copy the last one.
TEST_F(LogsPackageTest, ItsCopyCanBeMadeAgainOnlyWhileTheZipMayStillBeRead) {
  const auto package = Create();
  EXPECT_EQ(package->FirstSourceGone(), TString());
  std::filesystem::permissions(dir_.Sub("my logs"), std::filesystem::perms::others_write,
                               std::filesystem::perm_options::add);
  EXPECT_EQ(package->FirstSourceGone(), TString(zip_));
  std::filesystem::remove_all(dir_.Sub("my logs"));
  EXPECT_EQ(package->FirstSourceGone(), TString(zip_));
}

TEST_F(LogsPackageTest, PackageMetadataIsLoadedOnceFromTheRecordedFile) {
  const auto package = Create();
  const std::string metadataPath = base_ + ".metadata";
  JsonFileSerializedObject::SaveNewFile(
      std::make_shared<LogPackageMetadata>("12345", "user@example.com"), TPath(metadataPath));
  package->SetDataFilePath(Kind::kPackageMetadataFile, TPath(metadataPath));
  const auto metadata =
      std::dynamic_pointer_cast<LogPackageMetadata>(package->GetPackageMetadata());
  ASSERT_NE(metadata, nullptr);
  EXPECT_EQ(metadata->GetSupportCaseNumber(), "12345");
  std::filesystem::remove(metadataPath);
  EXPECT_EQ(package->GetPackageMetadata(), metadata);
}

TEST_F(LogsPackageTest, DeletingNeverTouchesTheUsersZip) {
  for (const bool wholePackage : {false, true}) {
    SCOPED_TRACE(wholePackage);
    const auto package = Create();
    std::vector<std::string> files;
    for (Kind kind : {Kind::kZorEncryptionMetadataFile, Kind::kEncryptedPackageFile,
                      Kind::kPartsUploadedFile, Kind::kPackageMetadataFile}) {
      files.push_back(base_ + "." + ToName(kind).toStdString());
      WriteFile(files.back(), "x");
      package->SetDataFilePath(kind, TPath(files.back()));
    }

    test_support::LogCapture log;
    wholePackage ? package->DeletePackage() : package->CleanUpFiles();
    const std::string logged = log.Text();

    EXPECT_EQ(zor::test::ReadFile(zip_), "PK user's logs");
    EXPECT_EQ(logged.find(zip_), std::string::npos) << logged;
    for (const std::string& file : files) EXPECT_FALSE(Exists(file)) << file;
    // The record of the zip stays: the package still knows what it sent.
    EXPECT_EQ(package->GetDataFilePath(Kind::kZippedPackageFile), TPath(zip_));
  }
}

}  // namespace
}  // namespace ZorErrorReporting
