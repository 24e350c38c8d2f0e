// Package: its cached companions (encryption metadata, upload progress) and
// the deletion of its files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "packages/package.h"
#include "packages/package_encryption_metadata.h"
#include "packages/package_for_test.h"
#include "packages/package_upload_progress.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using test_support::ErrorOf;
using test_support::Exists;
using test_support::FailingRemoveFilesystem;
using ::testing::HasSubstr;
using test_support::LogCapture;
using test_support::TestPackage;
using zor::platform::TPath;
using zor::platform::TString;
using zor::test::WriteFile;
using Kind = DataFileKind;

class PackageFilesTest : public test_support::TempDirTest {
 protected:
  PackageFilesTest() { std::filesystem::create_directory(data_); }

  std::shared_ptr<TestPackage> Create() {
    return JsonFileSerializedObject::SaveNewFile(
        std::make_shared<TestPackage>("p", PackageType::kCrashPackage, boundary_),
        TPath(data_ + "/p.crash-package.pending"));
  }
  // Records a real file of each kind in `kinds`, named after the kind.
  std::map<Kind, std::string> AddFiles(TestPackage& package, std::initializer_list<Kind> kinds) {
    std::map<Kind, std::string> files;
    for (Kind kind : kinds) {
      files[kind] = data_ + "/" + ToName(kind).toStdString();
      WriteFile(files[kind], "x");
      package.SetDataFilePath(kind, TPath(files[kind]));
    }
    return files;
  }

  std::string data_ = dir_.Sub("data");
  test_support::ScopedTestConfig config_{dir_, data_, 1000};
};

TEST_F(PackageFilesTest, CompanionsAreLoadedOnceFromTheirRecords) {
  auto package = Create();
  EXPECT_EQ(ErrorOf([&] { package->StartUploadProgress("up-7"); }),
            "Data file path 'encrypted-package-file' is not set on package 'p'");
  EXPECT_EQ(ErrorOf([&] { package->GetUploadProgress(); }),
            "Data file path 'parts-uploaded-file' is not set on package 'p'");
  const std::string encrypted = data_ + "/p.zip.enc";
  WriteFile(encrypted, std::string(2500, 'e'));
  package->SetDataFilePath(Kind::kEncryptedPackageFile, TPath(encrypted));
  auto progress = package->StartUploadProgress("up-7");
  EXPECT_EQ(progress->GetPartCount(), 3);
  const std::string progressFile = data_ + "/p.uploaded.parts";
  EXPECT_EQ(progress->GetFilePath(), TPath(progressFile));
  EXPECT_THAT(zor::test::ReadFile(progressFile), HasSubstr(R"("upload-id":"up-7")"));
  EXPECT_EQ(package->GetUploadProgress(), progress);

  // A package read back finds the progress through its record.
  auto reloaded = TestPackage::LoadFromFile(package->GetFilePath(), boundary_);
  EXPECT_EQ(reloaded->GetDataFilePath(Kind::kPartsUploadedFile), TPath(progressFile));
  EXPECT_EQ(reloaded->GetUploadProgress()->GetUploadId(), "up-7");

  const std::string file = data_ + "/id.zip.zormeta";
  WriteFile(file, R"({"enc-key-id":"k-1","enc-unencrypted-content-length":42})");
  package->SetDataFilePath(Kind::kZorEncryptionMetadataFile, TPath(file));
  auto metadata = package->GetEncryptionMetadata();
  EXPECT_EQ(metadata->GetKeyId(), "k-1");
  std::filesystem::remove(file);
  EXPECT_EQ(package->GetEncryptionMetadata(), metadata);

  // A file that would take more parts than a store takes goes in larger ones.
  std::filesystem::resize_file(encrypted, 10'000'001);
  EXPECT_EQ(package->StartUploadProgress("up-8")->GetMaxPartSize(), 1001u);
  EXPECT_EQ(package->GetUploadProgress()->GetPartCount(), 9991);
}

TEST_F(PackageFilesTest, CleanUpKeepsTheManifestAndDeleteRemovesTheStatusFileLast) {
  auto package = Create();
  TString deleted;
  EXPECT_TRUE(package->DeleteDataFiles(&deleted, Package::IncludeManifest::kYes));
  EXPECT_EQ(deleted, "");

  auto files = AddFiles(*package, {Kind::kManifestFile, Kind::kZippedPackageFile,
                                   Kind::kEncryptedPackageFile, Kind::kPackageMetadataFile});
  // Gone already: no failure, but not listed as deleted.
  std::filesystem::remove(files[Kind::kPackageMetadataFile]);
  const std::string status = package->GetFilePath().NativeString();
  LogCapture capture;
  package->CleanUpFiles();
  EXPECT_TRUE(Exists(files[Kind::kManifestFile]));
  EXPECT_FALSE(Exists(files[Kind::kZippedPackageFile]));
  EXPECT_FALSE(Exists(files[Kind::kEncryptedPackageFile]));
  EXPECT_TRUE(Exists(status));
  // The records stay, so the status file still names what was there.
  EXPECT_EQ(package->GetDataFiles().size(), 4u);

  package->DeletePackage();
  EXPECT_FALSE(Exists(files[Kind::kManifestFile]));
  EXPECT_FALSE(Exists(status));
  const std::string log = capture.Text();
  auto listed = [](std::initializer_list<std::string> paths) {
    std::string text = "Following files were deleted: '";
    for (const std::string& path : paths) text += path + "\n";
    return text + "'";
  };
  // Each line lists only what that call removed.
  EXPECT_THAT(
      log,
      HasSubstr("Cleaned up metadata files for package Id 'p'.\n" +
                listed({files[Kind::kZippedPackageFile], files[Kind::kEncryptedPackageFile]})));
  EXPECT_THAT(log, HasSubstr(listed({files[Kind::kManifestFile], status})));
}

TEST_F(PackageFilesTest, OneFailedDeletionStillTriesTheRestAndKeepsTheStatusFile) {
  using How = FailingRemoveFilesystem::How;
  const std::pair<How, std::string> cases[] = {
      {How::kReturnFalse, "."},
      {How::kThrowStd, ". Error message: 'device on fire'"},
      {How::kThrowOther, ". Unknown Error"},
  };
  for (const auto& [how, warning] : cases) {
    SCOPED_TRACE(warning);
    auto package = Create();
    auto files = AddFiles(
        *package, {Kind::kManifestFile, Kind::kZippedPackageFile, Kind::kZorEncryptionMetadataFile,
                   Kind::kEncryptedPackageFile, Kind::kPartsUploadedFile});
    const std::string failing = files[Kind::kZorEncryptionMetadataFile];
    {
      FailingRemoveFilesystem filesystem{TPath(failing), how};
      LogCapture capture;
      TString deleted;
      EXPECT_FALSE(package->DeleteDataFiles(&deleted, Package::IncludeManifest::kYes));
      package->DeletePackage();
      EXPECT_THAT(capture.Text(),
                  HasSubstr("Failed to delete file '" + failing + "'" + warning + "\n"));
      for (const auto& [kind, path] : files) EXPECT_EQ(Exists(path), path == failing) << path;
      EXPECT_TRUE(Exists(package->GetFilePath()));
    }
    // Once the file can go, the next run's attempt finishes the clean-up.
    LogCapture quiet;
    package->DeletePackage();
    EXPECT_FALSE(Exists(failing));
    EXPECT_FALSE(Exists(package->GetFilePath()));
  }
}

}  // namespace
}  // namespace ZorErrorReporting
