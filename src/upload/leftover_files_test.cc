#include "upload/leftover_files.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

#include "packages/logs_package.h"
#include "packages/package_for_test.h"
#include "platform/tlock_file.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;
using zor::platform::DateTime;
using zor::platform::TPath;
using zor::test::WriteFile;

class LeftoverFilesTest : public ::testing::Test {
 protected:
  // A file of the data directory, last written `hours` ago.
  void Make(const std::string& name, int hours) {
    WriteFile(Path(name), "x");
    Age(name, hours);
  }
  void Age(const std::string& name, int hours) {
    fs::last_write_time(Path(name), fs::file_time_type::clock::now() - std::chrono::hours(hours));
  }
  std::string Path(const std::string& name) const { return data_ + "/" + name; }

  // What a `send-crashes` run does to the data directory before it scans.
  void CleanUp() {
    test_support::LogCapture capture;
    const DateTime cutoff = DateTime::FromUnixTimeMs(
        (DateTime::GetLocalTime().GetAsUnixTime() - kLeftoverMinAgeSeconds) * 1000);
    RemoveLeftoverStateFiles(TPath(data_), cutoff);
    RemoveUnrecordedPackageFiles(TPath(data_), boundary_, cutoff);
    log_ = capture.Text();
  }

  zor::test::ScopedTempDir dir_;
  const TrustBoundary boundary_{{TPath(dir_.path())}};
  std::string data_ = dir_.Sub("data");
  std::string log_;
};

TEST_F(LeftoverFilesTest, OnlyOldPackageFilesThatNoPackageRecordsGo) {
  fs::create_directories(data_);
  // A logs package that an interrupted upload left with all its files.
  const std::string live = "live.zipped-logs-package";
  const auto package = LogsPackage::Create(TPath(Path(live)), TPath(Path("users.zip")),
                                           TPath(Path(live + ".metadata")),
                                           zor::platform::TUUID::CreateUUID(), boundary_);
  package->SetDataFilePath(DataFileKind::kEncryptedPackageFile, TPath(Path("live.zip.enc")));
  package->SetDataFilePath(DataFileKind::kZorEncryptionMetadataFile,
                           TPath(Path("live.zip.zormeta")));
  package->SetDataFilePath(DataFileKind::kPartsUploadedFile, TPath(Path(live + ".uploaded.parts")));
  Age(live + ".pending", 2);

  const struct {
    std::string name;
    int hours;
    bool kept;
  } cases[] = {
      // What the package records stays, however old.
      {live + ".metadata", 2, true},
      {"live.zip.enc", 2, true},
      {"live.zip.zormeta", 2, true},
      {live + ".uploaded.parts", 2, true},
      {"users.zip", 2, true},
      {live + ".lock", 2, true},  // a killed holder's; its package still exists
      // What nothing records goes once it is an hour old.
      {"gone.zipped-logs-package.metadata", 2, false},
      {"gone.zipped-logs-package.uploaded.parts", 2, false},
      {"gone.package.zip", 2, false},
      {"gone.zip.enc", 2, false},
      {"gone.zip.zormeta", 2, false},
      {"gone.lock", 2, false},
      {".gone.crash-package.pending.tmp", 2, false},
      // A younger one may be a package that is being made right now.
      {"young.zip.enc", 0, true},
      {"young.lock", 0, false},  // nobody holds it: its writer died
      {".young.crash-package.pending.tmp", 0, true},
      // A held lock's package is about to exist.
      {"held.lock", 2, true},
      // The run's own files and files of names the program never gives.
      {"upload-rate-limit.state", 2, true},
      {"metrics.prom", 2, true},
      {"notes.txt", 2, true},
  };
  for (const auto& c : cases) Make(c.name, c.hours);
  {
    zor::platform::TLockFile held(TPath(Path("held.lock")));
    CleanUp();
  }
  for (const auto& c : cases) {
    EXPECT_EQ(test_support::Exists(Path(c.name)), c.kept) << c.name;
    if (c.kept || c.name.starts_with(".")) continue;
    EXPECT_THAT(log_, HasSubstr("Removing '" + Path(c.name) + "': no package records it"));
  }
  EXPECT_TRUE(test_support::Exists(Path(live + ".pending")));
}

// What an unreadable status file records is unknown: nothing goes until it
// is gone.
TEST_F(LeftoverFilesTest, AnUnreadableStatusFileKeepsEverything) {
  fs::create_directories(data_);
  Make("orphan.zip.enc", 2);
  WriteFile(Path("bad.crash-package.pending"), "{\"package-name\":");
  CleanUp();
  EXPECT_TRUE(test_support::Exists(Path("orphan.zip.enc")));
  EXPECT_THAT(log_, HasSubstr("the status file '" + Path("bad.crash-package.pending") +
                              "' cannot be read"));

  fs::remove(Path("bad.crash-package.pending"));
  CleanUp();
  EXPECT_FALSE(test_support::Exists(Path("orphan.zip.enc")));
  EXPECT_THAT(log_, Not(HasSubstr("cannot be read")));
}

}  // namespace
}  // namespace ZorErrorReporting
