// LogsPackage: creation around a user's zip, its identity, its registration
// values, its customer details, and deletion that never touches the zip.
#include "packages/logs_package.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "packages/log_capture_for_test.h"
#include "packages/log_package_metadata.h"
#include "packages/package_for_test.h"
#include "packages/system_info.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using testing::ErrorOf;
using testing::FailingRemoveFilesystem;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::TUUID;
using zor::test::ReadFile;
using zor::test::ScopedTempDir;
using zor::test::WriteFile;
using Kind = DataFileKind;

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

class LogsPackageTest : public ::testing::Test {
 protected:
  LogsPackageTest() {
    std::filesystem::create_directory(data_);
    WriteFile(zip_, "PK user's logs");
  }

  // Creates a package the way a send-logs upload does: named after a new id
  // and the package type, in the data directory.
  std::shared_ptr<LogsPackage> Create() {
    id_ = SystemInfo::Get().CreateUuid();
    base_ = data_ + "/" + TString(id_).toStdString() + ".zipped-logs-package";
    return LogsPackage::Create(TPath(base_), TPath(zip_), id_);
  }

  // Records a real file of each kind the upload adds after creation.
  std::vector<std::string> AddUploadFiles(LogsPackage& package) {
    std::vector<std::string> files;
    for (Kind kind : {Kind::kZorEncryptionMetadataFile, Kind::kEncryptedPackageFile,
                      Kind::kPartsUploadedFile, Kind::kPackageMetadataFile}) {
      const std::string path = base_ + "." + ToName(kind).toStdString();
      WriteFile(path, "x");
      package.SetDataFilePath(kind, TPath(path));
      files.push_back(path);
    }
    return files;
  }

  ScopedTempDir dir_;
  std::string data_ = dir_.Sub("data");
  // Outside the data directory, as a user's file would be.
  std::string zip_ = dir_.Sub("my logs/collected.zip");
  TUUID id_;
  std::string base_;
};

TEST_F(LogsPackageTest, CreateSavesAPendingStatusFileRecordingTheZip) {
  const auto package = Create();
  const std::string statusFile = base_ + ".pending";
  EXPECT_EQ(package->GetFilePath(), TPath(statusFile));
  ASSERT_TRUE(Exists(statusFile));

  EXPECT_EQ(package->GetPackageName(), TString(id_) + ".zipped-logs-package");
  EXPECT_EQ(package->GetDataFiles(), (Package::DataFiles{{Kind::kZippedPackageFile, zip_}}));

  const auto loaded = LogsPackage::LoadFromFile(TPath(statusFile));
  EXPECT_EQ(loaded->GetPackageName(), package->GetPackageName());
  EXPECT_EQ(loaded->GetPackageType(), PackageType::kZippedLogsPackage);
  EXPECT_EQ(loaded->GetLocalPackageId(), id_);
  EXPECT_EQ(loaded->GetUploadStatus(), UploadStatus::kPending);
  EXPECT_EQ(loaded->GetDataFilePath(Kind::kZippedPackageFile), TPath(zip_));
}

TEST_F(LogsPackageTest, IdentityAndUploadName) {
  LogsPackage package("abc.zipped-logs-package", TUUID::CreateUUID());
  EXPECT_EQ(ErrorOf([&] { package.GetUploadFileName(); }),
            "Data file path 'zipped-package-file' is not set on package "
            "'abc.zipped-logs-package'");
  EXPECT_EQ(package.GetIdentityJson(), R"({"log-package-name":"abc.zipped-logs-package"})");

  const auto created = Create();
  EXPECT_EQ(created->GetUploadFileName(), "collected.zip");
  created->SetRemotePackageId("issue \"7\"");
  EXPECT_EQ(created->GetIdentityJson(), R"({"log-package-name":")" + created->GetPackageName() +
                                            R"(","issue-id":"issue \"7\""})");
}

TEST_F(LogsPackageTest, RegistrationValuesComeFromTheRunningSystem) {
  struct FakeSystem : SystemInfo {
    TString GetOsVersion() const override { return "9.8.7"; }
    TString GetProcessorArchitecture() const override { return "arch-under-test"; }
  } fake;
  SystemInfo::SetTestInstance(&fake);
  LogsPackage package("p.zipped-logs-package", TUUID::CreateUUID());
  EXPECT_EQ(package.GetProductBuild(), "Unspecified");
  EXPECT_EQ(package.GetEdition(), "Unspecified");
  EXPECT_EQ(package.GetOs(), "Linux");
  EXPECT_EQ(package.GetOsVersion(), "9.8.7");
  EXPECT_EQ(package.GetProcessorArchitecture(), "arch-under-test");
  SystemInfo::SetTestInstance(nullptr);
}

TEST_F(LogsPackageTest, PackageMetadataIsLoadedOnceFromTheRecordedFile) {
  const auto package = Create();
  EXPECT_EQ(ErrorOf([&] { package->GetPackageMetadata(); }),
            "Data file path 'package-metadata-file' is not set on package '" +
                package->GetPackageName().toStdString() + "'");

  const std::string metadataPath = base_ + ".metadata";
  JsonFileSerializedObject::SaveNewFile(
      std::make_shared<LogPackageMetadata>("12345", "user@example.com"), TPath(metadataPath));
  package->SetDataFilePath(Kind::kPackageMetadataFile, TPath(metadataPath));

  const auto reloaded = LogsPackage::LoadFromFile(package->GetFilePath());
  const auto metadata =
      std::dynamic_pointer_cast<LogPackageMetadata>(reloaded->GetPackageMetadata());
  ASSERT_NE(metadata, nullptr);
  EXPECT_EQ(metadata->GetSupportCaseNumber(), "12345");
  EXPECT_EQ(metadata->GetEmailAddress(), "user@example.com");

  // Kept: a later call neither reads the file again nor fails without it.
  std::filesystem::remove(metadataPath);
  EXPECT_EQ(reloaded->GetPackageMetadata(), metadata);
}

TEST_F(LogsPackageTest, DeletingNeverTouchesTheUsersZip) {
  struct Case {
    const char* name;
    void (Package::*remove)();
    bool statusFileStays;
  };
  for (const Case& c : {Case{"clean up", &Package::CleanUpFiles, true},
                        Case{"delete package", &Package::DeletePackage, false}}) {
    SCOPED_TRACE(c.name);
    const auto package = Create();
    const std::vector<std::string> files = AddUploadFiles(*package);
    const std::string statusFile = package->GetFilePath().NativeString();

    testing::LogCapture log;
    ((*package).*c.remove)();
    const std::string logged = log.Text();

    EXPECT_TRUE(Exists(zip_));
    EXPECT_EQ(ReadFile(zip_), "PK user's logs");
    EXPECT_EQ(logged.find(zip_), std::string::npos) << logged;
    for (const std::string& file : files) {
      EXPECT_FALSE(Exists(file)) << file;
      EXPECT_NE(logged.find(file), std::string::npos) << file;
    }
    EXPECT_EQ(Exists(statusFile), c.statusFileStays);
    // The record of the zip stays too: the package still knows what it sent.
    EXPECT_EQ(package->GetDataFilePath(Kind::kZippedPackageFile), TPath(zip_));
  }
}

TEST_F(LogsPackageTest, FailedDeletionStillTriesTheRestAndKeepsTheStatusFile) {
  for (auto how :
       {FailingRemoveFilesystem::How::kReturnFalse, FailingRemoveFilesystem::How::kThrowStd,
        FailingRemoveFilesystem::How::kThrowOther}) {
    SCOPED_TRACE(static_cast<int>(how));
    const auto package = Create();
    const std::vector<std::string> files = AddUploadFiles(*package);
    // The second of the files in ascending order of kind.
    const std::string failing =
        package->GetDataFilePath(Kind::kEncryptedPackageFile).NativeString();
    FailingRemoveFilesystem filesystem{TPath(failing), how};
    testing::LogCapture quiet;

    package->DeletePackage();

    for (const std::string& file : files) EXPECT_EQ(Exists(file), file == failing) << file;
    EXPECT_TRUE(Exists(package->GetFilePath().NativeString()));
    EXPECT_TRUE(Exists(zip_));
  }
}

}  // namespace
}  // namespace ZorErrorReporting
