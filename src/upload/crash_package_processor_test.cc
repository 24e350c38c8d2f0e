#include "upload/crash_package_processor.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "crash/minidump_format.h"
#include "crypto/crypto_for_test.h"
#include "net/http_exception.h"
#include "packages/crash_package.h"
#include "packages/log_package_metadata.h"
#include "packages/logs_package.h"
#include "packages/package_for_test.h"
#include "packages/upload_rate_state.h"
#include "platform/path_error.h"
#include "platform/sanitizer_build.h"
#include "platform/tlock_file.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "upload/attempt_failure.h"
#include "upload/package_footprint.h"
#include "upload/package_lister.h"
#include "upload/package_lock.h"
#include "upload/retention_policy.h"
#include "upload/upload_client.h"
#include "upload/upload_rate_limit.h"

namespace ZorErrorReporting {
namespace {

namespace fs = std::filesystem;
using test_support::Exists;
using test_support::LogCapture;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::UnorderedElementsAre;
using zor::platform::DateTime;
using zor::platform::TPath;
using zor::platform::TString;
using zor::test::ReadFile;
using zor::test::WriteFile;
using Status = UploadStatus;

constexpr char kId[] = "0123456789abcdef0123456789abcdef";
constexpr char kOwnId[] = "fedcba9876543210fedcba9876543210";
constexpr uid_t kNobody = 65534;

#define SKIP_UNLESS_ROOT() \
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user"

// Takes a capability out of the process's effective set for its lifetime:
// root as a run that lacks that right.
class WithoutCapability {
 public:
  explicit WithoutCapability(int capability) {
    EXPECT_EQ(::syscall(SYS_capget, &header_, saved_), 0);
    __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
    lowered[capability / 32].effective &= ~(1U << (capability % 32));
    EXPECT_EQ(::syscall(SYS_capset, &header_, lowered), 0) << std::strerror(errno);
  }
  ~WithoutCapability() { ::syscall(SYS_capset, &header_, saved_); }
  WithoutCapability(const WithoutCapability&) = delete;
  WithoutCapability& operator=(const WithoutCapability&) = delete;

 private:
  __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct saved_[2] = {};
};

// In upload order.
std::vector<std::string> Order(const std::vector<std::shared_ptr<Package>>& packages) {
  std::vector<std::string> names;
  for (const auto& package : packages) names.push_back(package->GetPackageName().toStdString());
  return names;
}

// Which ones, in name order.
std::vector<std::string> Names(const std::vector<std::shared_ptr<Package>>& packages) {
  std::vector<std::string> names = Order(packages);
  std::sort(names.begin(), names.end());
  return names;
}

std::set<TPath> ArtifactsOf(const Package& package) {
  std::set<TPath> paths;
  const auto& crash = dynamic_cast<const CrashPackage&>(package);
  for (const auto& [path, file] : crash.GetManifest()->GetCrashArtifactFiles()) paths.insert(path);
  return paths;
}

void Fail(Package& package, Status status = Status::kPendingRetry) {
  package.AddUploadResult({DateTime::GetLocalTime(), UploadResultCode::kClientError, "refused"});
  package.SetUploadStatus(status);
}

// Dates the package's status file and every data file `hours` back, as if it
// had been made then.
void Backdate(const Package& package, int hours) {
  std::vector<TPath> files{package.GetFilePath()};
  for (const auto& [kind, path] : package.GetDataFiles()) files.push_back(path);
  for (const TPath& file : files) {
    fs::last_write_time(file.NativeString(),
                        fs::file_time_type::clock::now() - std::chrono::hours(hours));
  }
}

// Every file below `root` with its time and content.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    files[entry.path().string()] =
        std::to_string(entry.last_write_time().time_since_epoch().count()) + ":" +
        ReadFile(entry.path());
  }
  return files;
}

class CrashPackageProcessorTest : public ::testing::Test {
 protected:
  CrashPackageProcessorTest() { Configure(); }
  ~CrashPackageProcessorTest() override { Config::SetTestInstance(nullptr); }

  // Installs a fresh configuration with `settings` lines (completed dumps kept
  // unless they ask otherwise).
  void Configure(const std::string& settings = "") {
    const std::string file = dir_.Sub("config" + std::to_string(++configs_) + ".yml");
    WriteFile(file, "servercrashupload.data.dir: " + data_ +
                        "\nservercrashupload.delete_completed_dumps: false\n" + settings);
    config_ = std::make_unique<Config>();
    config_->Load(TPath(file));
    Config::SetTestInstance(config_.get());
  }

  // One program run: a new processor, as each run makes one.
  std::vector<std::shared_ptr<Package>> Run(bool includeFullDumps = true) {
    LogCapture capture;
    std::vector<std::shared_ptr<Package>> packages;
    {
      std::vector<TPath> dumpDirectories{TPath(dumps_)};
      if (!extraDumpDirectory_.empty()) dumpDirectories.emplace_back(extraDumpDirectory_);
      CrashPackageProcessor processor(dumpDirectories, TPath(data_));
      processor.SetIncludeFullDumps(includeFullDumps);
      packages = processor.FindPackagesToUpload();
    }
    log_ = capture.Text();
    return packages;
  }

  // What one `send-logs` run makes of the user's zip.
  CrashPackageProcessor::NewLogsPackage SendLogs(const std::string& zip, const char* caseNumber) {
    CrashPackageProcessor processor({TPath(dumps_)}, TPath(data_));
    return processor.CreateLogsPackage(TPath(zip), caseNumber, "me@example.com");
  }

  TPath Dump(const std::string& relative, const std::string& content = "MDMP") {
    WriteFile(dumps_ + "/" + relative, content);
    return TPath(dumps_ + "/" + relative);
  }

  // Gives these paths below the dump directory (a link itself) to nobody.
  void GiveAway(std::initializer_list<std::string> relative) {
    for (const std::string& path : relative) {
      ASSERT_EQ(::lchown((dumps_ + "/" + path).c_str(), kNobody, kNobody), 0) << path;
    }
  }

  // The names of the files in the data directory but the completed
  // manifests, which come and go with their status files.
  std::set<std::string> DataFiles() const {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(data_)) {
      const std::string name = entry.path().filename().string();
      if (!name.ends_with(".crash-manifest")) names.insert(name);
    }
    return names;
  }

  std::string Status(const std::string& name, const std::string& status) const {
    return data_ + "/" + name + ".crash-package." + status;
  }

  // Records an encrypted copy of `content` for the package, as its zip pass
  // leaves it; returns the copy's path.
  TPath Encrypt(Package& package, const std::string& content) {
    const std::string base = data_ + "/" + package.GetPackageName().toStdString() + ".zip";
    WriteFile(base + ".enc", content);
    WriteFile(base + ".zormeta", "{}");
    package.GetFilesToZip({});
    package.RecordEncryption(TPath(base + ".enc"), TPath(base + ".zormeta"));
    return TPath(base + ".enc");
  }

  // Marks the package as one whose parts are being sent.
  void Sending(Package& package) {
    const std::string parts =
        data_ + "/" + package.GetPackageName().toStdString() + ".uploaded.parts";
    WriteFile(parts, "{}");
    package.SetDataFilePath(DataFileKind::kPartsUploadedFile, TPath(parts));
  }

  zor::test::ScopedTempDir dir_;
  std::string dumps_ = dir_.Sub("dumps");
  std::string data_ = dir_.Sub("data");
  const TrustBoundary boundary_{{TPath(dir_.path())}};
  // Completing a manifest reads the product's settings; keep them in the test.
  test::ScopedEnv settings_{"XDG_CONFIG_HOME", dir_.Sub("settings")};
  std::unique_ptr<Config> config_;
  int configs_ = 0;
  std::string extraDumpDirectory_;
  std::string log_;
  const std::string mib_ = std::string(1024 * 1024, 'd');
};

TEST_F(CrashPackageProcessorTest, PackageLifecycleOverRuns) {
  const TPath retried = Dump("retried.1.dmp");
  const TPath done = Dump("done.2.dmp");
  const TPath gaveUp = Dump("gaveup.3.dmp");

  // Run 1: three new crashes; "done" is uploaded but dies before its status
  // file says so, "gaveup" is refused three times and dies while "Started",
  // "retried" is never tried.
  auto packages = Run();
  ASSERT_EQ(Names(packages), (std::vector<std::string>{"done.2", "gaveup.3", "retried.1"}));
  packages[0]->SetUploadStatus(Status::kStarted);
  packages[0]->AddUploadResult({DateTime::GetLocalTime(), UploadResultCode::kSuccess, "done"});
  for (int i = 0; i < 3; ++i) Fail(*packages[1], Status::kStarted);

  // Run 2: the untried one is retried without a result (an attempt is a
  // verdict on the package, and it got none); the one with three verdicts is
  // given up although it was "Started"; "done" is complete, not sent again.
  packages = Run();
  ASSERT_EQ(Names(packages), std::vector<std::string>{"retried.1"});
  EXPECT_EQ(packages[0]->GetUploadResults().size(), 0u);
  EXPECT_EQ(DataFiles(),
            (std::set<std::string>{"done.2.crash-package.complete", "gaveup.3.crash-package.failed",
                                   "retried.1.crash-package.pendingretry"}));

  // Run 3: interrupted ("Started") after one verdict, killed before its
  // status file had its new name, then transient trouble twice: back to
  // retry, still one counted attempt.
  Fail(*packages[0], Status::kStarted);
  fs::rename(Status("retried.1", "started"), Status("retried.1", "pendingretry"));
  packages = Run();
  ASSERT_EQ(Names(packages), std::vector<std::string>{"retried.1"});
  for (int i = 0; i < 2; ++i) {
    packages[0]->RecordTransientFailure({DateTime::GetLocalTime(), UploadResultCode::kNetworkError,
                                         "server down"},
                                        DateTime());
  }
  EXPECT_EQ(packages[0]->CountedAttempts(), 1);
  Fail(*packages[0]);
  Fail(*packages[0]);

  // Run 4: three verdicts now: failed, and the log names each with "; ".
  EXPECT_TRUE(Run().empty());
  EXPECT_THAT(log_, HasSubstr("Found 1 package(s) that failed to be uploaded after '3' attempts, "
                              "and will be marked as failed and no longer retried: retried.1; "));
  const auto failed = CrashPackage::LoadFromFile(TPath(Status("retried.1", "failed")), boundary_);
  EXPECT_EQ(failed->GetUploadResults().back().message,
            "Failed to upload package after 3 attempts; the last: refused");
  EXPECT_EQ(failed->GetUploadResults().back().code, UploadResultCode::kClientError);
  EXPECT_EQ(failed->CountedAttempts(), 3);  // the give-up is no fourth attempt
  EXPECT_TRUE(Exists(done));  // known packages are never packaged again, nor deleted

  // Run 5: deletion of finished packages takes the complete one's record,
  // its status file stays for a week (and a second run leaves it quietly
  // alone); given-up crashes stay (for a person, or for a retry) until they
  // are 30 days old.
  Configure("servercrashupload.delete_completed_dumps: true\n");
  for (int run = 0; run < 2; ++run) {
    EXPECT_TRUE(Run().empty());
    EXPECT_EQ(DataFiles(), (std::set<std::string>{"done.2.crash-package.complete",
                                                  "gaveup.3.crash-package.failed",
                                                  "retried.1.crash-package.failed"}));
    EXPECT_FALSE(Exists(data_ + "/done.2.crash-manifest"));
    if (run == 1) {
      EXPECT_THAT(log_, Not(HasSubstr("Deleting package")));
      EXPECT_THAT(log_, Not(HasSubstr("manifest")));
    }
  }
  EXPECT_TRUE(Exists(gaveUp));
  // All three finished long ago; "retried" was then retried by a run killed
  // before its status file had its new name: it is retried, not deleted.
  const DateTime longAgo =
      DateTime::FromUnixTimeMs((DateTime::GetLocalTime().GetAsUnixTime() - 31 * 24 * 3600) * 1000);
  for (const char* name : {"gaveup.3", "retried.1"}) {
    CrashPackage::LoadFromFile(TPath(Status(name, "failed")), boundary_)
        ->AddUploadResult({longAgo, UploadResultCode::kUnknown, "given up"});
  }
  CrashPackage::LoadFromFile(TPath(Status("done.2", "complete")), boundary_)
      ->AddUploadResult({longAgo, UploadResultCode::kSuccess, "uploaded"});
  const std::string retriedFile = Status("retried.1", "failed");
  std::string text = ReadFile(retriedFile);
  text.replace(text.find("\"Failed\""), 8, "\"PendingRetry\"");
  WriteFile(retriedFile, text);
  EXPECT_EQ(Names(Run()), std::vector<std::string>{"retried.1"});
  EXPECT_EQ(DataFiles(), std::set<std::string>{"retried.1.crash-package.failed"});
  EXPECT_FALSE(Exists(gaveUp));
  EXPECT_TRUE(Exists(retried));
}

// A given-up package whose manifest is gone (a deletion killed half-way)
// can never be sent: its record goes, and what is left of the crash comes
// back as a new package.
TEST_F(CrashPackageProcessorTest, AGivenUpPackageWithoutItsManifestIsForgotten) {
  Dump("gone.1.dmp");
  Dump("kept.2.dmp");
  for (const auto& package : Run()) Fail(*package, Status::kFailed);
  fs::remove(data_ + "/gone.1.crash-manifest");
  EXPECT_EQ(Names(Run()), std::vector<std::string>{"gone.1"});
  EXPECT_THAT(log_, HasSubstr("Deleting package 'gone.1', given up, whose manifest '" + data_ +
                              "/gone.1.crash-manifest' is gone"));
  EXPECT_TRUE(Exists(Status("gone.1", "pending")));
  EXPECT_TRUE(Exists(Status("kept.2", "failed")));
}

// Files handed to another user after their package is made (root's crash
// helper giving them to the application's user) are still that one crash,
// not a new one of their new owner's, which would go twice.
TEST_F(CrashPackageProcessorTest, FilesThatChangeOwnerAreStillTheirPackagesCrash) {
  SKIP_UNLESS_ROOT();
  const TPath dump = Dump("app.78.dmp");
  ASSERT_EQ(Names(Run()), std::vector<std::string>{"app.78"});
  GiveAway({"app.78.dmp"});
  EXPECT_EQ(Names(Run()), std::vector<std::string>{"app.78"});
  // A dump its new owner adds beside them waits for the package, as one of
  // the package's owner would: made now, its crash would take theirs.
  Dump("app.78-full.dmp");
  GiveAway({"app.78-full.dmp"});
  EXPECT_EQ(Names(Run()), std::vector<std::string>{"app.78"});
  fs::remove(dumps_ + "/app.78-full.dmp");
  // Another user's file put in its place is that user's crash.
  fs::remove(dump.NativeString());
  Dump("app.78.dmp", "MDMP theirs");
  GiveAway({"app.78.dmp"});
  EXPECT_EQ(Names(Run()).size(), 2u);
}

// A package of an older version, which recorded no owner, is its stamped
// dump's owner's: it does not stand for another user's files of its name.
// One that stamped nothing either stands for the files of its name born
// before it, not for a crash made there since.
TEST_F(CrashPackageProcessorTest, AnOlderVersionsPackageIsItsDumpsOwners) {
  SKIP_UNLESS_ROOT();
  for (const char* name : {"app.79", "app.80", "app.81", "app.82"})
    Dump(name + std::string(".dmp"));
  ASSERT_EQ(Names(Run()), (std::vector<std::string>{"app.79", "app.80", "app.81", "app.82"}));
  for (const char* name : {"app.79", "app.80", "app.81", "app.82"}) {
    std::string status = ReadFile(Status(name, "pending"));
    const std::string unowned = std::regex_replace(status, std::regex(R"(,"crash-owner":\d+)"), "");
    ASSERT_NE(unowned, status);
    status = unowned;
    if (name >= std::string("app.81")) {
      status = std::regex_replace(status, std::regex(R"(,"zipped-files":\{[^}]*\})"), "");
      ASSERT_EQ(status.find("zipped-files"), std::string::npos);
    }
    WriteFile(Status(name, "pending"), status);
  }
  Dump("app.79-full.dmp");
  GiveAway({"app.79-full.dmp"});
  // With its dump gone it stands for nobody's files but what it stamped, or,
  // having stamped nothing, for none born after its record.
  const auto bornBy = [](const std::string& path) {
    return zor::platform::LatestBirthNs(
        *zor::platform::IdentifyPath(TPath(path), zor::platform::LinkHandling::kDoNotFollow));
  };
  const int64_t recorded = bornBy(data_ + "/app.81.crash-manifest");
  for (const char* name : {"app.80", "app.81"}) {
    const std::string dump = dumps_ + "/" + name + ".dmp";
    // The clock ticks coarsely: made anew once it has moved on.
    do {
      fs::remove(dump);
      Dump(name + std::string(".dmp"), "MDMP theirs");
    } while (bornBy(dump) <= recorded);
    GiveAway({name + std::string(".dmp")});
  }
  std::map<std::string, size_t> crashes;
  for (const std::string& name : Names(Run())) ++crashes[name.substr(0, name.find('-'))];
  EXPECT_EQ(crashes, (std::map<std::string, size_t>{
                         {"app.79", 2}, {"app.80", 2}, {"app.81", 2}, {"app.82", 1}}));
}

// A crash given up before its zip stands for the files it was made of:
// another file put under its name later (another user's, in a shared folder)
// is a new crash, neither hidden by it nor deleted with it.
TEST_F(CrashPackageProcessorTest, AGivenUpCrashStandsForTheFilesItWasMadeOf) {
  const TPath dump = Dump("app.77.dmp", "MDMP given up");
  auto packages = Run();
  ASSERT_EQ(Names(packages), std::vector<std::string>{"app.77"});
  Fail(*packages[0], Status::kFailed);
  fs::remove(dump.NativeString());
  Dump("app.77.dmp", "MDMP a new crash");
  const auto later = Run();
  ASSERT_EQ(later.size(), 1u);
  EXPECT_NE(later[0]->GetPackageName(), "app.77");
  packages[0]->DeletePackage();
  EXPECT_EQ(ReadFile(dump.NativeString()), "MDMP a new crash");
}

// A dump directory spelt with "." or "//" lists names that the packages'
// records keep cleaned: a sent crash kept there is no new crash.
TEST_F(CrashPackageProcessorTest, ASentCrashInADirectorySpeltOtherwiseIsNotNew) {
  WriteFile(dir_.Sub("other/app.3.dmp"), "MDMP");
  extraDumpDirectory_ = dir_.path() + "/./other/";
  auto packages = Run();
  ASSERT_EQ(Names(packages), std::vector<std::string>{"app.3"});
  packages[0]->SetUploadStatus(Status::kComplete);
  EXPECT_EQ(Names(Run()), std::vector<std::string>{});
}

// A dump its writer has only created is no crash yet: it waits for a run
// that finds something in it, or for an hour, when its writer is taken to
// have died.
// A dump its writer has not finished (still empty, or still open for writing)
// waits, for an hour at most.
TEST_F(CrashPackageProcessorTest, ACrashWaitsForTheWriterOfItsDumps) {
  Dump("app.4.dmp", "");
  const TPath died = Dump("app.5.dmp", "");
  // Open by a writer that has written some of it; one that hangs for an hour
  // is not waited for.
  const TPath writing = Dump("app.8.dmp", "MD");
  const TPath hung = Dump("app.9.dmp", "MD");
  fs::last_write_time(hung.NativeString(),
                      fs::file_time_type::clock::now() - std::chrono::hours(2));
  // Nor one whose time another clock set far ahead.
  const TPath ahead = Dump("app.10.dmp", "");
  fs::last_write_time(ahead.NativeString(),
                      fs::file_time_type::clock::now() + std::chrono::hours(24 * 180));
  auto writer = std::make_unique<std::ofstream>(writing.NativeString(), std::ios::app);
  std::ofstream hungWriter(hung.NativeString(), std::ios::app);
  // Under its owner's lease: it cannot be opened now, and the run goes on.
  const TPath leased = Dump("app.13.dmp", "MDMP");
  // The test holds the leases, and ignores the kernel's signal to give one up.
  struct IgnoreSigio {
    sighandler_t before = ::signal(SIGIO, SIG_IGN);
    ~IgnoreSigio() { ::signal(SIGIO, before); }
  } ignoreSigio;
  const int lease = ::open(leased.NativeString().c_str(), O_RDONLY);
  ASSERT_EQ(::fcntl(lease, F_SETLEASE, F_WRLCK), 0) << std::strerror(errno);
  // Without full dumps, only the minidump that is sent counts; a crash of a
  // full dump alone is judged on it.
  Dump("app.6.dmp", "");
  Dump("app.6-full.dmp", "MDMP");
  Dump("app.7-full.dmp", "MDMP");
  EXPECT_EQ(Names(Run(false)), (std::vector<std::string>{"app.10", "app.7", "app.9"}));
  EXPECT_THAT(log_, HasSubstr("Crash 'app.4' waits: its dumps are empty so far"));
  EXPECT_THAT(log_, HasSubstr("Crash 'app.6' waits"));
  EXPECT_THAT(log_, HasSubstr("Crash 'app.8' waits: its dump '" + writing.ToString().toStdString() +
                              "' is still being written"));
  EXPECT_THAT(log_, HasSubstr("Crash 'app.13' waits: its dump cannot be opened now"));
  ::close(lease);
  Dump("app.4.dmp", "MDMP");
  fs::last_write_time(died.NativeString(),
                      fs::file_time_type::clock::now() - std::chrono::hours(2));
  *writer << "MP";
  writer.reset();
  // Another user's file of the crash's name, held open, does not hold the
  // crash back: that user could hold it for as long as they liked.
  std::vector<std::string> expected = {"app.10", "app.13", "app.4", "app.5",
                                       "app.6",  "app.7",  "app.8", "app.9"};
  std::ofstream othersWriter;
  std::ofstream ownWriter;
  int plantedLease = -1;
  if (::geteuid() == 0) {
    Dump("app.11.dmp", "MDMP");
    const TPath others = Dump("app.11-full.dmp", "M");
    GiveAway({"app.11-full.dmp"});
    othersWriter.open(others.NativeString(), std::ios::app);
    expected.insert(expected.begin() + 1, "app.11");
    // Nor does that user's file of its name stop a crash from waiting for
    // its own writer: it is that user's crash.
    const TPath ownWriting = Dump("app.15.dmp", "MD");
    Dump("app.15.full.dmp", "M");
    GiveAway({"app.15.full.dmp"});
    ownWriter.open(ownWriting.NativeString(), std::ios::app);
    expected.insert(expected.begin() + 3, "app.15");
    // Nor does that user's leased file of its name from before the crash came.
    const TPath planted = Dump("app.16-full.dmp", "M");
    GiveAway({"app.16-full.dmp"});
    plantedLease = ::open(planted.NativeString().c_str(), O_RDONLY);
    ASSERT_EQ(::fcntl(plantedLease, F_SETLEASE, F_WRLCK), 0) << std::strerror(errno);
    const auto changed = [](const TPath& path) {
      return zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow)
          ->changedNs;
    };
    for (TPath late = Dump("app.16.dmp"); changed(late) <= changed(planted);) Dump("app.16.dmp");
    expected.insert(expected.begin() + 4, "app.16");
  }
  EXPECT_EQ(Names(Run()), expected);
  if (plantedLease >= 0) ::close(plantedLease);
  if (ownWriter.is_open()) {
    EXPECT_THAT(log_, HasSubstr("Crash 'app.15' waits"));
  }
  // A run that may not lease another user's dump cannot ask about its
  // writers: one changed within the minute waits, one left longer goes.
  if (::geteuid() != 0) return;
  const TPath unasked = Dump("app.12.dmp", "MD");
  GiveAway({"app.12.dmp"});
  const WithoutCapability noLeases(CAP_LEASE);
  EXPECT_EQ(Names(Run()), expected);
  EXPECT_THAT(log_,
              HasSubstr("Crash 'app.12' waits: its dump '" + unasked.ToString().toStdString() +
                        "' changed less than a minute ago"));
  fs::last_write_time(unasked.NativeString(),
                      fs::file_time_type::clock::now() - std::chrono::minutes(2));
  expected.insert(expected.begin() + 2, "app.12");
  EXPECT_EQ(Names(Run()), expected);
}

// A recorded next attempt is waited for, but never longer than the longest
// retry delay: one further ahead was set by a clock since put back.
TEST_F(CrashPackageProcessorTest, RecordedNextAttemptIsWaitedForAtMostADay) {
  struct Case {
    const char* name;
    int hoursAhead;
    bool offered;
  };
  const Case cases[] = {{"past.1", -1, true},
                        {"soon.2", 1, false},
                        {"aday.3", 23, false},
                        {"toofar.4", 25, true},
                        {"ayear.5", 24 * 365, true}};
  for (const Case& c : cases) Dump(std::string(c.name) + ".dmp");
  auto packages = Run();
  ASSERT_EQ(packages.size(), std::size(cases));
  const int64_t now = DateTime::GetLocalTime().GetAsUnixTime();
  for (const auto& package : packages) {
    for (const Case& c : cases) {
      if (package->GetPackageName() != c.name) continue;
      package->RecordTransientFailure(
          {DateTime::GetLocalTime(), UploadResultCode::kNetworkError, "server down"},
          DateTime::FromUnixTimeMs((now + c.hoursAhead * 3600LL) * 1000));
      package->SetUploadStatus(Status::kPendingRetry);
    }
  }
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    if (c.offered) expected.push_back(c.name);
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(Names(Run()), expected);
}

TEST_F(CrashPackageProcessorTest, GroupsFilesIntoPackages) {
  Dump("x.temp/excluded.1.dmp");
  Dump("Upper.TEMP/excluded.2.dmp");
  // What the crash handler is still writing goes whatever the setting says.
  Configure("servercrashupload.filename_exclusion_regex: .*(x|upper)\\.temp/.*\n");
  Dump(std::string("zorcrashreporter_") + kOwnId + ".crash.temp/app.8.dmp");
  // One key in two folders is two crashes; the second one's name says its folder.
  const TPath first = Dump("one/twice.3.dmp");
  const std::set<TPath> second = {Dump("two/twice.3.dmp"), Dump("two/twice.3.log")};
  Dump("three/twice.3.log");
  Dump("lonely.4.manifest", "{}");
  Dump("lonely.4.log");
  // Its stacks sort first: the crash is still known by its dump's folder and key.
  const TPath gdbDump = Dump("z/app.5.dmp");
  // First in path order, but it names no process: the minidump does.
  const TPath gdbFull = Dump("z/app.5-full.dmp");
  const TPath stacks = Dump("stacks/core_app.5.11.1700000000.txt");
  Dump("stacks/core_other.6.11.1700000000.txt");
  const TPath java = Dump(std::string("java/hs_err_svc_pid_77.") + kId + ".log");
  const TPath spaced = Dump("with space/app 1.9.dmp");
  const TPath backslash = Dump("back\\slash.2.dmp");
  // The run's own lock file would be this one's package lock.
  const TPath reserved = Dump("zorcrashreporter.dmp");
  // A name the program cannot represent is skipped; the crash stays whole.
  const TPath own = Dump(std::string("own_") + kOwnId + ".crash/app.3.dmp");
  Dump(std::string("own_") + kOwnId + ".crash/notes\xff.log");

  auto packages = Run();
  std::sort(packages.begin(), packages.end(),
            [](const auto& a, const auto& b) { return a->GetPackageName() < b->GetPackageName(); });
  const std::vector<std::pair<std::string, std::set<TPath>>> expected = {
      {kId, {java}},
      {"app 1.9", {spaced}},
      {"app.5", {gdbDump, gdbFull, stacks}},
      {"back\\slash.2", {backslash}},
      {kOwnId, {own}},
      {"twice.3", {first}},
      {"twice.3-", second},  // and 8 hexadecimal digits, as below
      {"zorcrashreporter-", {reserved}}};
  ASSERT_EQ(packages.size(), expected.size()) << log_;
  for (size_t i = 0; i < packages.size(); ++i) {
    const std::string name = Names({packages[i]}).front();
    EXPECT_EQ(name.substr(0, expected[i].first.size()), expected[i].first) << i;
    EXPECT_EQ(name.size(), expected[i].first.size() + (expected[i].first.back() == '-' ? 8 : 0))
        << i;
    EXPECT_EQ(ArtifactsOf(*packages[i]), expected[i].second) << i;
  }
  EXPECT_EQ(DataFiles().size(), expected.size());  // no status file for the group without a dump
  EXPECT_THAT(log_, HasSubstr("notes\\xff.log"));

  // Nothing new: nothing returned, and the listing says so.
  for (const auto& package : packages) package->SetUploadStatus(Status::kComplete);
  EXPECT_TRUE(Run().empty());
  EXPECT_THAT(log_, HasSubstr("Found (0) package(s)."));

  // A manifest that does not parse still says which folder the crash lay
  // in: known by its name alone, it would hide another folder's crash.
  Dump("broken/lost.8.manifest", "{");
  Dump("broken/lost.8.dmp");
  for (const auto& package : Run()) package->SetUploadStatus(Status::kComplete);
  const TPath later = Dump("other/lost.8.dmp");
  const auto next = Run();
  ASSERT_EQ(next.size(), 1u) << log_;
  EXPECT_EQ(ArtifactsOf(*next[0]), std::set<TPath>{later});
}

// RemovePath of one file fails as FailingRemoveFilesystem's kReturnFalse, and
// reading another fails as a file of another user does.
class UnreadableFilesystem : public test_support::FailingRemoveFilesystem {
 public:
  UnreadableFilesystem(TPath stuck, TPath unreadable)
      : FailingRemoveFilesystem(std::move(stuck), How::kReturnFalse),
        unreadable_(std::move(unreadable)) {}
  TString ReadTextFile(const TPath& path) override {
    if (path == unreadable_) zor::platform::ThrowPathError("TFile: cannot open", EACCES);
    return FailingRemoveFilesystem::ReadTextFile(path);
  }

 private:
  TPath unreadable_;
};

TEST_F(CrashPackageProcessorTest, BrokenStatusFilesAndLeftovers) {
  // A complete crash whose status file cannot be read for now: it is no
  // broken file, and its crash is not packaged (and sent) again.
  Dump("done.3.dmp");
  Run()[0]->SetUploadStatus(Status::kComplete);
  const std::string unreadable = Status("done.3", "complete");
  fs::create_directories(data_);
  const std::string corrupt = Status("app.7", "pending");
  WriteFile(corrupt, "not json");
  WriteFile(Status("empty", "failed"), "");
  WriteFile(Status("foreign", "complete"), "{\"something\":\"else\"}");
  const std::string stuck = Status("stuck", "pendingretry");
  WriteFile(stuck, "[]");
  // Saves of a writer that is gone are left over, however young (which old
  // files go is leftover_files_test.cc's); a running one's (another
  // send-logs) are in progress.
  const pid_t gone = fork();
  if (gone == 0) _exit(0);
  waitpid(gone, nullptr, 0);
  const std::string deadWriter = ".app.8.uploaded.parts." + std::to_string(gone) + ".0123abcd.tmp";
  const std::string liveWriter =
      ".l.zipped-logs-package.started." + std::to_string(getpid()) + ".89abcdef.tmp";
  WriteFile(data_ + "/" + deadWriter, "{");
  WriteFile(data_ + "/" + liveWriter, "{");
  Dump("app.7.dmp");
  // Of the crash handler's directories a day old, only one without a whole
  // minidump goes; another application's of a like name is its own.
  const std::string oldTemp =
      dumps_ + "/temp/zorcrashreporter_" + std::string(32, '1') + ".crash.temp";
  const std::string newTemp =
      dumps_ + "/temp/zorcrashreporter_" + std::string(32, '2') + ".crash.temp";
  const std::string wholeTemp =
      dumps_ + "/temp/zorcrashreporter_" + std::string(32, '3') + ".crash.temp";
  const std::string otherTemp = dumps_ + "/svc/app_" + std::string(32, '4') + ".crash.temp";
  zor::platform::minidump::MdHeader header{};
  header.signature = zor::platform::minidump::kSignature;
  header.streamCount = 1;
  header.streamDirectoryRva = sizeof(header);
  WriteFile(oldTemp + "/zorcrashreporter.9.dmp", "MDMP");
  WriteFile(newTemp + "/zorcrashreporter.10.dmp", "MDMP");
  WriteFile(wholeTemp + "/zorcrashreporter.11.dmp",
            std::string(reinterpret_cast<const char*>(&header), sizeof(header)) + "streams");
  WriteFile(otherTemp + "/app.12.dmp", "MDMP");
  for (const std::string& old : {oldTemp, wholeTemp, otherTemp}) {
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(25));
  }

  std::vector<std::shared_ptr<Package>> packages;
  {
    UnreadableFilesystem failing((TPath(stuck)), TPath(unreadable));
    packages = Run();
  }
  // The corrupt file's crash is packaged again in the same run.
  ASSERT_EQ(Names(packages), std::vector<std::string>{"app.7"});
  EXPECT_EQ(packages[0]->GetUploadStatus(), Status::kPending);
  EXPECT_EQ(DataFiles(),
            (std::set<std::string>{"app.7.crash-package.pending", "done.3.crash-package.complete",
                                   "stuck.crash-package.pendingretry", liveWriter}));
  EXPECT_THAT(log_, HasSubstr("'" + unreadable + "' cannot be read now; it is kept"));
  EXPECT_THAT(log_, HasSubstr("Error occurred when trying to load package status from file '" +
                              corrupt + "'. File was deleted"));
  EXPECT_THAT(log_, HasSubstr("'" + stuck +
                              "'.Attempt to delete the package status file failed. Crash "
                              "will be ignored."));
  EXPECT_FALSE(Exists(oldTemp));
  EXPECT_TRUE(Exists(newTemp + "/zorcrashreporter.10.dmp"));
  EXPECT_TRUE(Exists(wholeTemp + "/zorcrashreporter.11.dmp"));
  EXPECT_TRUE(Exists(otherTemp + "/app.12.dmp"));
}

// One folder reached through two dump directories (a bind mount) is one
// crash folder: its crash is one package, not a second one that would go
// as its manifest alone.
TEST_F(CrashPackageProcessorTest, AFolderReachedByTwoDumpDirectoriesHoldsOneCrash) {
  SKIP_UNLESS_ROOT();
  Dump("u/bm.13.dmp");
  const std::string bound = dir_.Sub("bound");
  fs::create_directories(bound);
  ASSERT_EQ(mount(dumps_.c_str(), bound.c_str(), nullptr, MS_BIND, nullptr), 0) << strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{bound};
  extraDumpDirectory_ = bound;
  EXPECT_EQ(Run().size(), 1u);
}

// A dump whose key is dots names no file: its package gets the second name.
TEST_F(CrashPackageProcessorTest, AKeyOfDotsGetsANameThatCanBeLocked) {
  Dump("..dmp");
  Dump("...dmp");
  const auto packages = Run();
  ASSERT_EQ(packages.size(), 2u);
  for (const auto& package : packages) {
    SCOPED_TRACE(package->GetPackageName().toStdString());
    EXPECT_THAT(package->GetPackageName().toStdString(), ::testing::StartsWith("."));
    EXPECT_TRUE(PackageLock::TryLock(*package));
  }
}

// Two crashes of one process key (its pid came again): a stacks file goes
// only with the crash beside it, none with the crash elsewhere, whether the
// other crash is found in the same run, was packaged by an earlier one, or
// was sent and its files deleted (its stacks file may come late).
TEST_F(CrashPackageProcessorTest, AStacksFileOfAPidThatCameAgainJoinsOnlyTheCrashBesideIt) {
  enum class Other { kThisRun, kPackaged, kSentAndDeleted };
  for (const Other other : {Other::kThisRun, Other::kPackaged, Other::kSentAndDeleted}) {
    SCOPED_TRACE(static_cast<int>(other));
    fs::remove_all(dumps_);
    fs::remove_all(data_);
    Configure();
    Dump("x/app.77.dmp");
    if (other != Other::kThisRun) {
      const auto earlier = Run();
      ASSERT_EQ(earlier.size(), 1u);
      if (other == Other::kSentAndDeleted) {
        earlier[0]->AddUploadResult({DateTime::GetLocalTime(), UploadResultCode::kSuccess, "sent"});
        earlier[0]->SetUploadStatus(Status::kComplete);
        Configure("servercrashupload.delete_completed_dumps: true\n");
      }
    }
    const TPath y = Dump("y/app.77.dmp");
    // Beside the crash, its own stacks file would be taken first.
    const TPath beside = other == Other::kThisRun ? Dump("y/gdb_app.77.11.2.txt") : TPath();
    const TPath stray = Dump("z/gdb_app.77.11.1.txt");
    const auto packages = Run();
    ASSERT_EQ(packages.size(), other == Other::kSentAndDeleted ? 1u : 2u);
    for (const auto& package : packages) {
      const auto files = ArtifactsOf(*package);
      EXPECT_EQ(files.count(stray), 0u);
      if (other == Other::kThisRun) {
        EXPECT_EQ(files.count(beside), files.count(y));
      }
    }
  }
}

// A damaged status file's name must not put a lock, made and removed as
// root, anywhere but in the data directory.
TEST_F(CrashPackageProcessorTest, AStatusFilesNameTakesNoLockOutsideTheDataDirectory) {
  fs::create_directories(data_);
  const std::string status = Status("escape", "pending");
  WriteFile(status, R"({"package-name":"../escape","package-type":"crash-package",)"
                    R"("upload-status":"Pending"})");
  const auto package = CrashPackage::LoadFromFile(TPath(status), boundary_);
  LogCapture capture;
  EXPECT_FALSE(PackageLock::TryLock(*package));
  EXPECT_FALSE(PackageLock::IsFree(*package));
  EXPECT_FALSE(Exists(dir_.Sub("escape.lock")));
  EXPECT_THAT(capture.Text(), HasSubstr("its name, from '" + status + "', is not a file name"));
}

// Without full dumps no package reads one, whatever its manifest says, and
// one whose upload file, made while they were allowed, may hold one is made
// again without: none is given up for it. And the other way round.
TEST_F(CrashPackageProcessorTest, NoFullDumpsRemakesPackagesThatMayHoldThemWithout) {
  for (const char* name : {"made.1", "sent.4", "unzipped.5", "gone.7", "fullgone.9"}) {
    Dump(std::string(name) + ".dmp");
    Dump(std::string(name) + "-full.dmp");
  }
  const std::string encrypted = data_ + "/made.1.zip.enc";
  for (const auto& package : Run(true)) {
    const std::string name = package->GetPackageName().toStdString();
    if (name == "sent.4") package->SetUploadStatus(Status::kComplete);
    if (name != "made.1" && name != "gone.7" && name != "fullgone.9") continue;
    WriteFile(data_ + "/" + name + ".zip.enc", "with the full dump");
    package->SetDataFilePath(DataFileKind::kEncryptedPackageFile,
                             TPath(data_ + "/" + name + ".zip.enc"));
  }
  // Made again, gone.7 would go without its minidump: its last copy waits.
  // fullgone.9 loses only what this run would not send.
  fs::remove(dumps_ + "/gone.7.dmp");
  fs::remove(dumps_ + "/fullgone.9-full.dmp");
  // An application's manifest that lists its files, says it sends no full
  // dump and calls its full dump a minidump.
  Dump("app.6.dmp");
  Dump("app.6-full.dmp");
  Dump("app.6.manifest", R"({"upload-full-dumps":false,"crash-artifact-files":[)"
                         R"({"filename":"app.6.dmp","type":"ProcessMiniDump"},)"
                         R"({"filename":"app.6-full.dmp","type":"ProcessMiniDump"}]})");
  for (const char* name : {"later.3", "fresh.8"}) {
    Dump(std::string(name) + ".dmp");
    Dump(std::string(name) + "-full.dmp");
  }
  // A crash of a full dump alone waits: sent now, it would be its manifest.
  Dump("only.10-full.dmp");

  const auto packages = Run(false);
  EXPECT_EQ(Names(packages), (std::vector<std::string>{"app.6", "fresh.8", "fullgone.9", "later.3",
                                                       "made.1", "only.10", "unzipped.5"}));
  EXPECT_TRUE(Exists(Status("sent.4", "complete")));
  EXPECT_FALSE(Exists(encrypted));
  EXPECT_THAT(log_, HasSubstr("Package 'made.1': removing its encrypted-package-file"));
  EXPECT_THAT(log_, HasSubstr("Package 'fullgone.9': removing its encrypted-package-file"));
  EXPECT_THAT(log_, Not(HasSubstr("unzipped.5': removing")));
  EXPECT_THAT(log_, HasSubstr("Package 'gone.7' may hold full dumps, which this run does not "
                              "send, and '" +
                              dumps_ + "/gone.7.dmp', which it was made of, is gone"));
  // `list` tells why it waits.
  const auto waiting =
      CrashPackage::LoadFromFile(TPath(Status("gone.7", "pendingretry")), boundary_);
  ASSERT_TRUE(waiting->GetLastError());
  EXPECT_THAT(waiting->GetLastError()->message.toStdString(),
              HasSubstr("it waits for a run that sends full dumps"));
  for (const auto& package : packages) {
    const std::string name = package->GetPackageName().toStdString();
    SCOPED_TRACE(name);
    if (name == "only.10") {
      try {
        package->GetFilesToZip({});
        ADD_FAILURE() << "zipped without its dump";
      } catch (const zor::platform::ZorvaneException& e) {
        EXPECT_EQ(ClassifyFailure(e), AttemptFailure::kTransient);
        EXPECT_THAT(e.what(), HasSubstr("which this run leaves out (--no-full-dumps)"));
      }
      continue;
    }
    const auto files = package->GetFilesToZip({});
    EXPECT_FALSE(files.empty());
    for (const auto& file : files)
      EXPECT_THAT(file.path.NativeString(), Not(::testing::EndsWith("-full.dmp")));
    // Their zips are made so, and finished.
    if (name != "unzipped.5" && name != "later.3") continue;
    Encrypt(*package, "without the full dump");
  }
  // Made so, they are not made again by the next run of that choice.
  Run(false);
  EXPECT_THAT(log_, Not(HasSubstr("removing")));
  // A run that sends full dumps makes one again with its full dump, which
  // would otherwise be deleted unsent with the crash, and zips fresh.8's,
  // though it was found by a run that did not; one whose minidump is gone
  // goes as it is, and gone.7 goes at last.
  fs::remove(dumps_ + "/later.3.dmp");
  const auto sending = Run(true);
  EXPECT_THAT(Names(sending),
              ::testing::IsSupersetOf({"fresh.8", "gone.7", "later.3", "only.10", "unzipped.5"}));
  for (const auto& package : sending) {
    if (package->GetPackageName() == "only.10") {
      EXPECT_EQ(package->GetFilesToZip({}).size(), 2u);  // the full dump and the manifest
    }
    if (package->GetPackageName() != "fresh.8") continue;
    const auto files = package->GetFilesToZip({});
    EXPECT_TRUE(std::any_of(files.begin(), files.end(), [&](const Package::FileToZip& file) {
      return file.path == TPath(dumps_ + "/fresh.8-full.dmp");
    }));
  }
  EXPECT_THAT(
      log_,
      HasSubstr("Package 'later.3' was made without full dumps, but '" + dumps_ +
                "/later.3.dmp', which it was made of, is gone or another file now: it is sent "
                "as it is"));
  EXPECT_THAT(log_, HasSubstr("Package 'unzipped.5': removing its encrypted-package-file"));
  EXPECT_THAT(log_, HasSubstr("it was made without full dumps, which this run sends"));
  EXPECT_FALSE(Exists(data_ + "/unzipped.5.zip.enc"));
  EXPECT_TRUE(Exists(data_ + "/later.3.zip.enc"));
  EXPECT_TRUE(Exists(data_ + "/gone.7.zip.enc"));
  // later.3 sent, its full dump stays for a crash of its own; and a package
  // that waits for the other choice still ages out.
  for (const auto& package : sending) {
    const std::string name = package->GetPackageName().toStdString();
    if (name == "later.3") package->DeletePackage();
    if (name == "gone.7") Backdate(*package, 48);
  }
  EXPECT_TRUE(Exists(dumps_ + "/later.3-full.dmp"));
  Configure("servercrashupload.retention.max_age_days: 1\n");
  Run(false);
  EXPECT_THAT(log_, HasSubstr("Retention: deleting package 'gone.7'"));
}

TEST_F(CrashPackageProcessorTest, SymbolicLinksAreFollowedOnlyWhenAsked) {
  Dump("app.1.dmp");
  const std::string outside = dir_.Sub("elsewhere");
  WriteFile(outside + "/linked.2.dmp", "MDMP");
  fs::create_directory_symlink(outside, dumps_ + "/link");
  fs::create_directory_symlink(dumps_, dumps_ + "/loop");
  // A dump that is itself a link to a file inside.
  WriteFile(dumps_ + "/real/first.bin", "MDMP");
  fs::create_symlink(dumps_ + "/real/first.bin", dumps_ + "/lk.3.dmp");

  EXPECT_EQ(Names(Run()), std::vector<std::string>{"app.1"});
  Configure("servercrashupload.dump.dirs.follow_symlinks: true\n");
  // The loop ends, and what it leads to again is found once. A link out of
  // the dump directories leads to crashes that could not be read: they are
  // left out, and the log says where to add them.
  const auto packages = Run();
  EXPECT_EQ(Names(packages), (std::vector<std::string>{"app.1", "lk.3"}));
  EXPECT_THAT(log_, HasSubstr("'" + dumps_ + "/link/linked.2.dmp' resolves to '" + outside +
                              "/linked.2.dmp'"));
  extraDumpDirectory_ = outside;
  EXPECT_THAT(Names(Run()), ::testing::Contains("linked.2"));
  // What the link leads to may be written anew unseen: its copy is the last.
  for (const auto& package : packages) {
    if (package->GetPackageName() != "lk.3") continue;
    EXPECT_EQ(package->FirstSourceGone().toStdString(), dumps_ + "/lk.3.dmp");
  }
}

// A file that vanishes between the listing and the packaging.
class VanishingFilesystem : public Filesystem {
 public:
  explicit VanishingFilesystem(std::string victim) : victim_(std::move(victim)) {
    SetTestInstance(this);
  }
  ~VanishingFilesystem() override { SetTestInstance(nullptr); }
  uint64_t FileSize(const TPath& path) override {
    if (path.NativeString() == victim_) fs::remove(victim_);
    return Filesystem::FileSize(path);
  }

 private:
  std::string victim_;
};

TEST_F(CrashPackageProcessorTest, FailuresWhileScanningLoseNothing) {
  Dump("kept.1.dmp");
  Dump("racy.2.dmp");
  const std::string log = Dump("racy.2.log").NativeString();
  {
    VanishingFilesystem vanishing(log);
    EXPECT_EQ(Names(Run()), std::vector<std::string>{"kept.1"});
  }
  EXPECT_THAT(log_, HasSubstr("The package of crash 'racy.2' cannot be made now; the next run "
                              "tries again"));
  // The next run finds the rest of that crash.
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"kept.1", "racy.2"}));

  // A dump directory that cannot be listed is named, and the others are
  // still searched.
  Dump("late.3.dmp");
  extraDumpDirectory_ = dir_.Sub("loop");
  fs::create_directory_symlink(extraDumpDirectory_, extraDumpDirectory_);
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"kept.1", "late.3", "racy.2"}));
  EXPECT_THAT(log_, HasSubstr("The dump directory '" + extraDumpDirectory_ +
                              "' cannot be read (Too many levels of symbolic links)"));
}

// The pass tells its progress against the whole package; what goes wrong in
// it is told apart: a package whose files cannot be listed or read is the
// package's verdict (but for a while when their folder is away), a file the
// data directory cannot take is not. (What a
// failed pass leaves is the encryptor's.)
TEST_F(CrashPackageProcessorTest, ZipAndEncryptInOnePass) {
  // Several deflate blocks, so that progress is told on the way.
  Dump("app.1.dmp", std::string(5 * 1024 * 1024, 'x'));
  Dump("blocked.3.dmp");
  Dump("gone.2.dmp");
  auto packages = Run();
  ASSERT_EQ(Names(packages), (std::vector<std::string>{"app.1", "blocked.3", "gone.2"}));
  CrashPackageProcessor processor({TPath(dumps_)}, TPath(data_));
  PackageEncryptor encryptor("key-7", test_support::PemWithNul(test_support::RsaKey(2048) + ".pub"));
  const auto pass = [&](Package& package, const ByteProgress& progress = {}) {
    processor.ZipAndEncryptPackage(package, encryptor, PackageEncryptor::KeepZip::kNo, 2,
                                   progress);
  };
  const uint64_t total =
      5 * 1024 * 1024 + fs::file_size(std::dynamic_pointer_cast<CrashPackage>(packages[0])
                                          ->GetManifest()
                                          ->GetFilePath()
                                          .NativeString());
  std::vector<uint64_t> told;
  pass(*packages[0], [&](uint64_t done, uint64_t of) {
    EXPECT_EQ(of, total);
    EXPECT_GE(done, told.empty() ? 0 : told.back());
    told.push_back(done);
  });
  EXPECT_GE(told.size(), 3u);
  EXPECT_EQ(told.back(), total);

  // With no descriptor left, the process has judged no file: its failure
  // says nothing about the package. (A sanitizer's runtime wants
  // descriptors of its own to check and report.)
  if (!ZOR_SHADOW_SANITIZER) {
    rlimit saved{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(::dup(0));  // the lowest free one
    ::close(static_cast<int>(none.rlim_cur));
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
    const auto failure = [&]() -> std::optional<AttemptFailure> {
      try {
        pass(*packages[1]);
      } catch (const ShortOfResources& e) {
        EXPECT_THAT(e.what(), HasSubstr("its limit of open files"));
        return ClassifyFailure(e);
      }
      return std::nullopt;
    }();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
    EXPECT_EQ(failure, AttemptFailure::kTransient);
  }

  // The record the package was made from, gone: nothing to say what it holds.
  fs::remove(std::dynamic_pointer_cast<CrashPackage>(packages[2])
                 ->GetManifest()
                 ->GetFilePath()
                 .NativeString());
  EXPECT_THROW(pass(*packages[2]), PackageFilesUnreadable);
  const TPath zip(data_ + "/blocked.3.package.zip");
  fs::create_directories(
      PackageEncryptor::DataFilePath(*packages[1], zip, ".enc").NativeString() + "/in-the-way");
  EXPECT_THAT(test_support::ErrorOf([&] { pass(*packages[1]); }),
              AllOf(HasSubstr(".zip.enc"), Not(HasSubstr("of package"))));

  // A crash whose folder is away waits for it, uncounted, for a week; after
  // that it is the package's verdict.
  Dump("far/away.4.dmp");
  std::shared_ptr<Package> away;
  for (const auto& package : Run()) {
    if (package->GetPackageName() == "away.4") away = package;
  }
  ASSERT_TRUE(away);
  fs::rename(dumps_ + "/far", dir_.Sub("far"));
  try {
    pass(*away);
    ADD_FAILURE() << "no failure";
  } catch (const zor::platform::ZorvaneException& e) {
    EXPECT_EQ(ClassifyFailure(e), AttemptFailure::kTransient);
    EXPECT_THAT(e.GetConcatenatedMessages().toStdString(),
                HasSubstr("it waits, since its folder '" + dumps_ + "/far' is not there"));
  }
  Backdate(*away, 8 * 24);
  EXPECT_THROW(pass(*away), PackageFilesUnreadable);

  // The store's refusal of the parts' tags judges what was sent, in a 200's
  // body too; its other trouble there does not.
  for (const auto& [code, failure] : {std::pair{"InvalidPart", AttemptFailure::kVerdict},
                                      std::pair{"InternalError", AttemptFailure::kTransient}}) {
    EXPECT_EQ(ClassifyFailure(HTTPException(200, "refused", "", {}, code)), failure) << code;
  }
}

// Its application cuts a dump short after the crash was checked (the
// encrypted file's creation comes between): the entry holds what was left,
// and a Warn line says that it is not the file the manifest describes.
class CuttingFilesystem : public Filesystem {
 public:
  explicit CuttingFilesystem(std::string victim) : victim_(std::move(victim)) {
    SetTestInstance(this);
  }
  ~CuttingFilesystem() override { SetTestInstance(nullptr); }
  std::unique_ptr<OutputFile> CreateNewFile(const TPath& path, OutputFile::Sync sync) override {
    fs::resize_file(victim_, 1000);
    return Filesystem::CreateNewFile(path, sync);
  }

 private:
  std::string victim_;
};

TEST_F(CrashPackageProcessorTest, ADumpCutShortWhileZippedIsNamed) {
  const TPath dump = Dump("app.1.dmp", std::string(300000, 'x'));
  auto packages = Run();
  ASSERT_EQ(packages.size(), 1u);
  CrashPackageProcessor processor({TPath(dumps_)}, TPath(data_));
  PackageEncryptor encryptor("key-7",
                             test_support::PemWithNul(test_support::RsaKey(2048) + ".pub"));
  LogCapture capture;
  {
    CuttingFilesystem cutting(dump.NativeString());
    processor.ZipAndEncryptPackage(*packages[0], encryptor, PackageEncryptor::KeepZip::kNo, 1, {});
  }
  EXPECT_THAT(capture.Text(), HasSubstr("'" + dump.NativeString() +
                                        "' ended after 1000 of its 300000 bytes while it was "
                                        "zipped"));
  EXPECT_TRUE(packages[0]->HasEncryptedPackageFile());
}

// One file that the crashes of a run all name goes up once that run, not
// once a crash: else a user's few megabytes would fill the data directory
// many times over while the server is down.
TEST_F(CrashPackageProcessorTest, AFileManyCrashesNameIsZippedOnceARun) {
  const TPath shared = Dump("shared.bin", zor::test::Incompressible(1 << 20));
  for (const char* name : {"a.1", "b.2", "c.3"}) {
    const TPath dump = Dump(std::string(name) + ".dmp");
    Dump(std::string(name) + ".manifest", R"({"crash-artifact-files":[{"filename":")" +
                                              dump.NativeString() + R"("},{"filename":")" +
                                              shared.NativeString() + R"(","type":"ErrorLog"}]})");
  }
  auto packages = Run();
  ASSERT_EQ(packages.size(), 3u);
  CrashPackageProcessor processor({TPath(dumps_)}, TPath(data_));
  PackageEncryptor encryptor("key-7",
                             test_support::PemWithNul(test_support::RsaKey(2048) + ".pub"));
  std::vector<uintmax_t> sizes;
  for (const auto& package : packages) {
    processor.ZipAndEncryptPackage(*package, encryptor, PackageEncryptor::KeepZip::kNo, 1);
    sizes.push_back(fs::file_size(package->GetEncryptedPackageFilePath().NativeString()));
  }
  EXPECT_GT(sizes[0], 1u << 20);
  EXPECT_LT(sizes[1], 64u << 10);
  EXPECT_LT(sizes[2], 64u << 10);
  // The next run's zip takes it again: a crash of its own.
  CrashPackageProcessor next({TPath(dumps_)}, TPath(data_));
  packages[1]->DiscardDataFiles(
      {DataFileKind::kEncryptedPackageFile, DataFileKind::kZorEncryptionMetadataFile}, "test");
  next.ZipAndEncryptPackage(*packages[1], encryptor, PackageEncryptor::KeepZip::kNo, 1);
  EXPECT_GT(fs::file_size(packages[1]->GetEncryptedPackageFilePath().NativeString()), 1u << 20);
}

// Every save of one package's record fails, as on a file the disk refuses.
class FailingSaveFilesystem : public Filesystem {
 public:
  explicit FailingSaveFilesystem(std::string failing) : failing_(std::move(failing)) {
    SetTestInstance(this);
  }
  ~FailingSaveFilesystem() override { SetTestInstance(nullptr); }
  void WriteFileAtomically(const TPath& path, std::string_view bytes,
                           zor::platform::FileReaders readers) override {
    if (path.ToString().toStdString().find(failing_) != std::string::npos) {
      zor::platform::ThrowPathError("AtomicFile: cannot rename", EIO);
    }
    Filesystem::WriteFileAtomically(path, bytes, readers);
  }

 private:
  std::string failing_;
};

// The size limit deletes the oldest tried crash first; one kept because a
// crash that shares its log cannot take it now keeps its room, and no newer
// crash is deleted in its place.
TEST_F(CrashPackageProcessorTest, ACrashKeptForASharedFileIsNotReplacedByANewerOne) {
  const TPath shared = Dump("shared.log", "shared log");
  const std::map<std::string, size_t> sizes = {{"a.1", 2 << 20}, {"b.2", 100}, {"c.3", 2 << 20}};
  for (const auto& [name, size] : sizes) {
    const TPath dump = Dump(name + ".dmp", zor::test::Incompressible(size));
    std::string listed = R"({"filename":")" + dump.NativeString() + R"("})";
    if (name != "c.3")
      listed += R"(,{"filename":")" + shared.NativeString() + R"(","type":"ErrorLog"})";
    Dump(name + ".manifest", R"({"crash-artifact-files":[)" + listed + "]}");
  }
  auto packages = Run();
  ASSERT_EQ(Names(packages), (std::vector<std::string>{"a.1", "b.2", "c.3"}));
  CrashPackageProcessor processor({TPath(dumps_)}, TPath(data_));
  PackageEncryptor encryptor("key-7",
                             test_support::PemWithNul(test_support::RsaKey(2048) + ".pub"));
  for (const auto& package : packages) {  // a.1's zip takes the log
    processor.ZipAndEncryptPackage(*package, encryptor, PackageEncryptor::KeepZip::kNo, 1);
    package->RecordTransientFailure(
        {DateTime::GetLocalTime(), UploadResultCode::kNetworkError, "down"}, DateTime());
  }
  Configure("servercrashupload.retention.max_total_mb: 3\n");
  {
    FailingSaveFilesystem failing("b.2.crash-package");
    Run();
  }
  EXPECT_THAT(log_, HasSubstr("Retention: package 'a.1' is kept for now"));
  EXPECT_THAT(log_, Not(HasSubstr("Retention: deleting package")));
  EXPECT_TRUE(Exists(dumps_ + "/c.3.dmp"));
}

TEST_F(CrashPackageProcessorTest, UnusableDumpAndDataDirectories) {
  fs::remove_all(dumps_);
  EXPECT_TRUE(Run().empty());
  EXPECT_TRUE(fs::is_directory(data_));  // made by the processor
  // A user could aim a link of theirs anywhere: the folder behind it is left
  // out whole, said once.
  if (::geteuid() == 0) {
    WriteFile(dir_.Sub("real/app.1.dmp"), "MDMP");
    fs::create_symlink(dir_.Sub("real"), dir_.Sub("aimed"));
    ASSERT_EQ(::lchown(dir_.Sub("aimed").c_str(), kNobody, kNobody), 0);
    extraDumpDirectory_ = dir_.Sub("aimed");
    EXPECT_TRUE(Run().empty());
    EXPECT_THAT(log_, HasSubstr("The dump directory '" + dir_.Sub("aimed") + "' is left out (the link"));
    // One that another user made first is theirs, not the program's.
    fs::create_directory(dir_.Sub("squatted"));
    ASSERT_EQ(::chown(dir_.Sub("squatted").c_str(), kNobody, kNobody), 0);
    EXPECT_THAT(
        test_support::ErrorOf([&] { CrashPackageProcessor({}, TPath(dir_.Sub("squatted"))); }),
        HasSubstr("The data directory '" + dir_.Sub("squatted") + "' belongs to user 65534"));
    // Root's own, in a folder of another user's, who may swap it for a link.
    fs::create_directories(dir_.Sub("squatted/data"));
    EXPECT_THAT(
        test_support::ErrorOf([&] { CrashPackageProcessor({}, TPath(dir_.Sub("squatted/data"))); }),
        HasSubstr("The data directory '" + dir_.Sub("squatted/data") +
                  "' is not used: the folder above it, '" + dir_.Sub("squatted") +
                  "', belongs to user 65534"));
  }
  WriteFile(dir_.Sub("file"), "");
  EXPECT_EQ(test_support::ErrorOf([&] { CrashPackageProcessor({}, TPath(dir_.Sub("file/data"))); }),
            "Could not create the data directory '" + dir_.Sub("file/data") +
                "': " + std::strerror(ENOTDIR) + "; set servercrashupload.data.dir");
}

// Another process's lock (here: a second open file description, which
// flock tells apart as it does processes) keeps every step of a run off the
// package, and a new `send-logs` off a running one's logs package.
TEST_F(CrashPackageProcessorTest, PackagesAnotherProcessHoldsAreLeftAlone) {
  // Users zip the log directory, which is the default dump directory.
  const std::string zip = dumps_ + "/logs.zip";
  WriteFile(zip, "PK user's logs");
  for (const char* name : {"done.1", "pending.2", "started.3", "free.4"})
    Dump(std::string(name) + ".dmp");
  auto packages = Run();
  ASSERT_EQ(packages.size(), 4u);
  packages[0]->SetUploadStatus(Status::kComplete);
  packages[3]->SetUploadStatus(Status::kStarted);
  std::optional<CrashPackageProcessor::NewLogsPackage> running(SendLogs(zip, "1"));
  running->package->SetUploadStatus(Status::kStarted);
  const std::string logsName = running->package->GetPackageName().toStdString();
  std::vector<zor::platform::TLockFile> held;
  for (const char* name : {"done.1", "pending.2", "started.3"}) {
    held.emplace_back(TPath(data_ + "/" + name + ".lock"));
  }
  Configure("servercrashupload.delete_completed_dumps: true\n");
  const auto before = Snapshot(data_);

  EXPECT_EQ(Names(Run()), std::vector<std::string>{"free.4"});
  for (const std::string name : {"done.1", "pending.2", "started.3", logsName.c_str()}) {
    EXPECT_THAT(log_,
                HasSubstr("Package '" + name + "' is being worked on by another process; skipped"));
  }
  const std::string secondName = SendLogs(zip, "2").package->GetPackageName().toStdString();
  auto after = Snapshot(data_);
  for (const auto& [file, content] : before) {
    if (file.find("free.4") != std::string::npos) continue;
    EXPECT_EQ(after[file], content) << file;
  }

  // Let go: the next run settles and deletes them, and the next `send-logs`
  // deletes every earlier logs package whole, of any status, but for the
  // user's zip, which it records with the user's details.
  held.clear();
  running.reset();
  const auto names = Names(Run());
  EXPECT_EQ(std::set<std::string>(names.begin(), names.end()),
            (std::set<std::string>{logsName, secondName, "free.4", "pending.2", "started.3"}));
  EXPECT_FALSE(Exists(Status("done.1", "complete")));
  for (const std::string status : {"pending", "started", "complete", "pendingretry", "failed"}) {
    WriteFile(data_ + "/old-" + status + ".zipped-logs-package." + status, "{}");
  }
  const auto third = SendLogs(zip, "case-3").package;
  const std::string base = third->GetPackageName().toStdString();
  std::set<std::string> logsFiles;
  for (const std::string& file : DataFiles()) {
    if (file.find(".zipped-logs-package") != std::string::npos) logsFiles.insert(file);
    EXPECT_THAT(file, Not(HasSubstr(".lock")));
  }
  EXPECT_EQ(logsFiles, (std::set<std::string>{base + ".pending", base + ".metadata"}));
  const auto metadata = LogPackageMetadata::LoadFromFile(TPath(data_ + "/" + base + ".metadata"));
  EXPECT_EQ(metadata->GetSupportCaseNumber(), "case-3");
  EXPECT_EQ(metadata->GetEmailAddress(), "me@example.com");
  EXPECT_EQ(third->GetDataFilePath(DataFileKind::kZippedPackageFile), TPath(zip));
  EXPECT_EQ(ReadFile(zip), "PK user's logs");
}

// A package another process takes after this run's look (a `send-logs`
// that supersedes it) is not retention's to change: a save would bring back
// what that one deletes.
TEST_F(CrashPackageProcessorTest, RetentionLeavesAPackageAnotherProcessHolds) {
  RetentionSettings byAge;
  byAge.maxAgeDays = 1;
  RetentionSettings bySize;
  bySize.maxTotalBytes = 1;
  for (const RetentionSettings& settings : {byAge, bySize}) {
    Dump("old.1.dmp");
    const auto packages = Run();
    ASSERT_EQ(packages.size(), 1u);
    Fail(*packages[0], Status::kPendingRetry);
    Backdate(*packages[0], 48);
    const zor::platform::TLockFile held(TPath(data_ + "/old.1.lock"));
    const auto before = Snapshot(data_);
    EXPECT_TRUE(RetentionPolicy(settings).Apply(packages, DateTime::GetLocalTime()).empty());
    EXPECT_EQ(Snapshot(data_), before);
    EXPECT_TRUE(Exists(dumps_ + "/old.1.dmp"));
  }
}

// A user's manifest may list another user's crash: retention must count it
// neither against that user nor in the package's room.
TEST_F(CrashPackageProcessorTest, AUsersManifestMakesItsPackageThatUsersAndCountsOnlyItsFiles) {
  SKIP_UNLESS_ROOT();
  const TPath others = Dump("aside/app.2.dmp", mib_);
  // The user's own file under three spellings, and one outside the dump
  // folders, which deleting the package would not free.
  Dump("mine/d/big", mib_);
  fs::create_directory_symlink("d", dumps_ + "/mine/l1");
  fs::create_directory_symlink("d", dumps_ + "/mine/l2");
  WriteFile(dir_.Sub("outside.dmp"), mib_);
  std::string records;
  for (const std::string& path :
       {others.ToString().toStdString(), dumps_ + "/mine/d/big", dumps_ + "/mine/l1/big",
        dumps_ + "/mine/l2/big", dir_.Sub("outside.dmp"), dumps_ + "/mine/app.2.dmp"}) {
    records += R"({"filename":")" + path + R"(","type":"ProcessMiniDump"},)";
  }
  Dump("mine/app.2.manifest", R"({"crash-artifact-files":[)" + records + "{}]}");
  Dump("mine/app.2.dmp");
  GiveAway({"mine/app.2.manifest", "mine/app.2.dmp", "mine/d", "mine/d/big", "mine/l1", "mine/l2",
            "mine"});
  ASSERT_EQ(::chown(dir_.Sub("outside.dmp").c_str(), kNobody, kNobody), 0);
  for (const auto& package : Run()) {
    if (!package->HasDataFile(DataFileKind::kManifestFile) ||
        package->GetDataFilePath(DataFileKind::kManifestFile) != TPath(dumps_ + "/mine/app.2.manifest")) {
      continue;
    }
    const PackageFootprint footprint = PackageFootprint::Measure(*package);
    EXPECT_EQ(footprint.owner, kNobody);
    EXPECT_GE(footprint.bytes, uint64_t{1} << 20);
    EXPECT_LT(footprint.bytes, uint64_t{2} << 20);
    return;
  }
  ADD_FAILURE() << "no package of the user's manifest: " << log_;
}

// A user picks their files' names freely, and may know what another folder's
// crash will be called: no name they choose may take another user's crash's
// package, hide it, or add their files to it.
TEST_F(CrashPackageProcessorTest, AUsersChosenNamesNeitherTakeNorHideAnotherUsersCrash) {
  SKIP_UNLESS_ROOT();
  const auto theirs = [&](const std::string& relative) {
    const TPath path = Dump(relative);
    GiveAway({relative, relative.substr(0, relative.find('/'))});
    return path;
  };
  const auto packageOf = [](const std::vector<std::shared_ptr<Package>>& packages,
                            const TPath& file) -> std::shared_ptr<Package> {
    for (const auto& package : packages) {
      if (ArtifactsOf(*package).count(file) != 0) return package;
    }
    return nullptr;
  };
  // The name that root's crash in b/ gets once a/ has the key, taken ahead;
  // and a stacks file of root's process in the user's folder.
  const TPath decoy = theirs("a/app.1234.dmp");
  const TString second = SecondPackageName({TPath(dumps_ + "/b"), "app.1234", std::nullopt});
  const TPath squatter = theirs("a/" + second.toStdString() + ".dmp");
  theirs("a/gdb_app.1234.11.1.txt");
  const TPath victim = Dump("b/app.1234.dmp");
  const TPath ownStacks = Dump("stacks/gdb_app.1234.11.2.txt");
  // A key that fits a file name alone, but not with a second name's tag.
  const std::string longKey = std::string(205, 'x') + ".1";
  theirs("a/" + longKey + ".dmp");
  const TPath longVictim = Dump("b/" + longKey + ".dmp");
  const auto packages = Run();
  ASSERT_EQ(packages.size(), 5u) << log_;
  ASSERT_NE(packageOf(packages, longVictim), nullptr) << log_;
  for (const TPath& file : {decoy, squatter, victim}) {
    SCOPED_TRACE(file.ToString().toStdString());
    ASSERT_NE(packageOf(packages, file), nullptr);
    EXPECT_EQ(ArtifactsOf(*packageOf(packages, file)).count(victim), file == victim);
  }
  EXPECT_EQ(ArtifactsOf(*packageOf(packages, victim)), (std::set<TPath>{victim, ownStacks}));
  EXPECT_NE(packageOf(packages, victim)->GetPackageName(), second);
  // `list` knows the packages by folder too: a third folder's crash waits.
  const TPath waiting = Dump("d/app.1234.dmp");
  const auto listed = PackageLister(TPath(data_), {TPath(dumps_)}).List();
  EXPECT_EQ(std::count_if(listed.begin(), listed.end(),
                          [](const PackageListEntry& e) { return e.status == "Waiting"; }),
            1);
  fs::remove(waiting.NativeString());

  // A finished crash whose files are gone hides no later crash of its key.
  Configure("servercrashupload.delete_completed_dumps: true\n");
  for (const auto& package : packages) {
    package->AddUploadResult({DateTime::GetLocalTime(), UploadResultCode::kSuccess, "uploaded"});
    package->SetUploadStatus(Status::kComplete);
  }
  EXPECT_TRUE(Run().empty());
  ASSERT_FALSE(Exists(victim));
  ASSERT_TRUE(Exists(Status("app.1234", "complete")));  // kept for a week
  const TPath again = Dump("c/app.1234.dmp");
  const auto next = Run();
  ASSERT_EQ(next.size(), 1u) << log_;
  EXPECT_EQ(ArtifactsOf(*next[0]), std::set<TPath>{again});
}

TEST_F(CrashPackageProcessorTest, RetentionPrunesByAgeThenSettledThenOldestTriedForSize) {
  constexpr int kDay = 24;
  // name, age in hours, status; "busy" ones have an upload in progress.
  struct Crash {
    std::string name;
    int hours;
    UploadStatus status;
    bool busy;
    bool tried = true;  // has an upload result
  };
  const Crash crashes[] = {
      {"ancient.1", 400 * kDay, Status::kPendingRetry, false},  // past the age
      {"stuck.2", 500 * kDay, Status::kPendingRetry, true},     // past the age, even busy
      {"busy.3", 40 * kDay, Status::kPendingRetry, true},       // oldest left, but busy
      {"older.4", 30 * kDay, Status::kPendingRetry, false},     // second for size
      {"recent.5", 1 * kDay, Status::kPendingRetry, false},
      {"failed.6", 12, Status::kFailed, false},                        // newest, yet first for size
      {"untried.7", 200 * kDay, Status::kPendingRetry, false, false},  // oldest, never tried
      // Made while the clock stood in 1970: its age is unknown, not 56 years.
      {"booted.8", 56 * 365 * kDay, Status::kPendingRetry, true},
  };
  for (const Crash& c : crashes) Dump(c.name + ".dmp", mib_);
  Dump("notes/readme.bin", std::string(512 * 1024, 'n'));  // no package's: neither counts nor goes
  for (const auto& package : Run()) {
    const Crash& c = *std::find_if(std::begin(crashes), std::end(crashes), [&](const Crash& c) {
      return c.name == package->GetPackageName().toStdString();
    });
    if (c.busy) Sending(*package);
    if (c.tried) {
      Fail(*package, c.status);
    } else {
      package->SetUploadStatus(c.status);
    }
    Backdate(*package, c.hours);
  }
  const auto tree = [&] {
    auto files = Snapshot(dumps_);
    files.merge(Snapshot(data_));
    return files;
  };
  const std::map<std::string, std::string> before = tree();

  // After the age limit the packages take five MiB; three are allowed.
  Configure(
      "servercrashupload.retention.max_age_days: 365\n"
      "servercrashupload.retention.max_total_mb: 3\n");
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"booted.8", "busy.3", "untried.7"}));

  // Exactly the pruned packages' own files are gone; nothing else changed.
  std::map<std::string, std::string> expected = before;
  for (const std::string name : {"ancient.1", "stuck.2", "older.4", "recent.5", "failed.6"}) {
    std::erase_if(expected, [&](const auto& entry) {
      const std::string file = fs::path(entry.first).filename().string();
      return file.rfind(name + ".", 0) == 0;
    });
    EXPECT_THAT(log_, HasSubstr("Retention: deleting package '" + name + "'"));
  }
  EXPECT_EQ(tree(), expected);
  EXPECT_THAT(log_, HasSubstr("'ancient.1' (status PendingRetry): older than 365 day(s)."));
  EXPECT_THAT(log_, HasSubstr("'failed.6' (status Failed): the packages hold more than "
                              "3145728 byte(s)."));

  // A limit that only the crash never tried and the uploads in progress
  // could meet is not met, and the Warn line says which kept it.
  Configure("servercrashupload.retention.max_total_mb: 1\n");
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"booted.8", "busy.3", "untried.7"}));
  EXPECT_EQ(tree(), expected);
  EXPECT_THAT(log_, HasSubstr("the limit cannot be met without deleting '1' crash(es) that "
                              "were never tried, or '2' upload(s) in progress, which are kept."));

  // Absent settings prune nothing, however old and large.
  Configure();
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"booted.8", "busy.3", "untried.7"}));
  EXPECT_EQ(tree(), expected);
}

// An encrypted copy that a crash can be made into again goes before any
// crash: one transient failure must not leave a crash deleted unsent for the
// room its copy takes. Not the last copy of a crash whose dump is gone, nor
// one whose parts are being sent.
TEST_F(CrashPackageProcessorTest, RetentionRemovesWhatCanBeMadeAgainBeforeAnyCrash) {
  for (const char* name : {"remade.1", "lastcopy.2", "sending.3"})
    Dump(name + std::string(".dmp"), mib_);
  // Another user's crash too, whose record is the program's user's.
  if (::geteuid() == 0) GiveAway({"remade.1.dmp"});
  for (const auto& package : Run()) {
    const std::string name = package->GetPackageName().toStdString();
    Encrypt(*package, mib_);
    package->RecordTransientFailure(
        {DateTime::GetLocalTime(), UploadResultCode::kNetworkError, "server down"}, DateTime());
    if (name == "sending.3") Sending(*package);
    // The two that must stay come first.
    Backdate(*package, name == "sending.3" ? 2 : name == "lastcopy.2" ? 1 : 0);
  }
  // Its dump written again in place, larger (the process crashed once more):
  // a crash of its own, which deleting this package would not free.
  WriteFile(dumps_ + "/lastcopy.2.dmp", mib_ + mib_ + mib_);
  // Five MiB: one copy removed meets the limit.
  Configure("servercrashupload.retention.max_total_mb: 5\n");
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"lastcopy.2", "remade.1", "sending.3"}));
  EXPECT_THAT(log_, Not(HasSubstr("Retention: deleting")));
  EXPECT_EQ(DataFiles(), (std::set<std::string>{
                             "lastcopy.2.crash-package.pendingretry", "lastcopy.2.zip.enc",
                             "lastcopy.2.zip.zormeta", "remade.1.crash-package.pendingretry",
                             "sending.3.crash-package.pendingretry", "sending.3.uploaded.parts",
                             "sending.3.zip.enc", "sending.3.zip.zormeta"}));
  EXPECT_TRUE(Exists(dumps_ + "/remade.1.dmp"));
  EXPECT_EQ(fs::file_size(dumps_ + "/lastcopy.2.dmp"), 3u << 20);
}

// A user who adds one large crash each run must not have other users' crashes
// deleted to make room for it.
TEST_F(CrashPackageProcessorTest, RetentionMakesNoRoomForOneOwnersUntriedCrashAtAnothersCost) {
  SKIP_UNLESS_ROOT();
  Dump("flood/big.1.dmp", mib_ + mib_ + mib_);  // never tried
  Dump("flood/old.2.dmp", mib_);
  Dump("roots.3.dmp", mib_);
  GiveAway({"flood", "flood/big.1.dmp", "flood/old.2.dmp"});
  for (const auto& package : Run()) {
    if (package->GetPackageName() != "big.1") Fail(*package, Status::kPendingRetry);
  }
  Configure("servercrashupload.retention.max_total_mb: 3\n");
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"big.1", "roots.3"}));
  EXPECT_THAT(log_, HasSubstr("Retention: deleting package 'old.2'"));
  EXPECT_THAT(log_, HasSubstr("were never tried, which are kept, nor '1' tried crash(es) of an "
                              "owner to make room for another owner's."));
}

// A log that every crash of a program names takes its room once, and stays
// while a crash that names it stands: counted for each, it would have a tried
// crash deleted for room that is not taken; deleted with that crash, it would
// be lost to the others, never sent.
TEST_F(CrashPackageProcessorTest, RetentionCountsAndKeepsAFileThatManyCrashesName) {
  const TPath log = Dump("shared.log", mib_ + mib_ + mib_);
  const auto crash = [&](const std::string& name, const std::string& content) {
    const TPath dump = Dump(name + ".dmp", content);
    Dump(name + ".manifest", R"({"crash-artifact-files":[{"filename":")" + dump.NativeString() +
                                 R"(","type":"ProcessMiniDump"},{"filename":")" +
                                 log.NativeString() + R"(","type":"ErrorLog"}]})");
  };
  crash("tried.1", mib_);
  for (const auto& package : Run()) Fail(*package, Status::kPendingRetry);
  crash("app.2", "dump");
  crash("app.3", "dump");
  Configure("servercrashupload.retention.max_total_mb: 5\n");
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"app.2", "app.3", "tried.1"}));
  EXPECT_THAT(log_, Not(HasSubstr("Retention: deleting")));

  Configure("servercrashupload.retention.max_total_mb: 3\n");
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"app.2", "app.3"}));
  EXPECT_THAT(log_, HasSubstr("Retention: deleting package 'tried.1'"));
  EXPECT_FALSE(Exists(dumps_ + "/tried.1.dmp"));
  EXPECT_TRUE(Exists(log));
}

// A copy whose removal fails (an I/O error, a file made immutable) still
// takes its room: neither its crash nor another one is deleted for it.
TEST_F(CrashPackageProcessorTest, RetentionKeepsACrashWhoseCopyCannotBeRemoved) {
  const std::string quarter(256 * 1024, 'd');
  Dump("waiting.1.dmp", quarter);
  Dump("waiting.2.dmp", quarter);
  const auto packages = Run();
  ASSERT_EQ(packages.size(), 2u);
  std::map<std::string, TPath> copies;
  for (const auto& package : packages) {
    copies[package->GetPackageName().toStdString()] = Encrypt(*package, mib_);
    Fail(*package, Status::kPendingRetry);
  }
  const test_support::FailingRemoveFilesystem failing(
      copies["waiting.1"], test_support::FailingRemoveFilesystem::How::kReturnFalse);
  Configure("servercrashupload.retention.max_total_mb: 1\n");
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"waiting.1", "waiting.2"}));
  EXPECT_THAT(log_, HasSubstr("of package 'waiting.1' could not be removed"));
  EXPECT_THAT(log_, HasSubstr("upload files that could not be removed take the rest"));
  EXPECT_THAT(log_, Not(HasSubstr("Retention: deleting")));
  EXPECT_TRUE(Exists(dumps_ + "/waiting.1.dmp"));
  EXPECT_TRUE(Exists(dumps_ + "/waiting.2.dmp"));
  EXPECT_FALSE(Exists(copies["waiting.2"]));
}

// Another user's file at a name a crash's own file left (a removed log) is
// not that crash's: it must not make retention delete it.
TEST_F(CrashPackageProcessorTest, RetentionCountsNoOtherUsersFileAtACrashsName) {
  SKIP_UNLESS_ROOT();
  Dump("roots.1.dmp", mib_);
  const TPath log = Dump("roots.1.log", "log");
  // Nor at the name of an application's completed manifest, its record.
  const TPath dump = Dump("roots.3.dmp");
  const TPath manifest = Dump("roots.3.manifest",
                              R"({"crash-artifact-files":[{"filename":")" + dump.NativeString() +
                                  R"(","type":"ProcessMiniDump","upload-permission":"Allowed"}]})");
  Dump("flood/big.2.dmp", mib_ + mib_);
  GiveAway({"flood", "flood/big.2.dmp"});
  for (const auto& package : Run()) Fail(*package, Status::kPendingRetry);
  for (const TPath& left : {log, manifest}) {
    fs::remove(left.NativeString());
    Dump(left.Filename().toStdString(), mib_ + mib_ + mib_);
    GiveAway({left.Filename().toStdString()});
  }
  Configure("servercrashupload.retention.max_total_mb: 4\n");
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"big.2", "roots.1", "roots.3"}));
  EXPECT_THAT(log_, Not(HasSubstr("Retention: deleting")));
}

// Room that a deletion could not free stays its owner's: no other owner's
// crash is deleted in its place, but that owner's next one is.
TEST_F(CrashPackageProcessorTest, RetentionDeletesNoOtherOwnersCrashForRoomItCouldNotFree) {
  SKIP_UNLESS_ROOT();
  const TPath stuck = Dump("flood/stuck.1.dmp", mib_ + mib_ + mib_);
  const TPath roots = Dump("roots.2.dmp", mib_);
  const TPath next = Dump("flood/next.3.dmp", mib_);
  GiveAway({"flood", "flood/stuck.1.dmp", "flood/next.3.dmp"});
  for (const auto& package : Run()) {
    Fail(*package,
         package->GetPackageName() == "stuck.1" ? Status::kFailed : Status::kPendingRetry);
  }
  Configure("servercrashupload.retention.max_total_mb: 3\n");
  {
    test_support::FailingRemoveFilesystem failing(
        stuck, test_support::FailingRemoveFilesystem::How::kReturnFalse);
    EXPECT_EQ(Names(Run()), std::vector<std::string>{"roots.2"});
  }
  EXPECT_THAT(log_, HasSubstr("Retention: deleting package 'stuck.1'"));
  EXPECT_THAT(log_, HasSubstr("Retention: deleting package 'next.3'"));
  EXPECT_THAT(log_, Not(HasSubstr("Retention: deleting package 'roots.2'")));
  EXPECT_TRUE(Exists(stuck));
  EXPECT_FALSE(Exists(next));
  EXPECT_TRUE(Exists(roots));
}

// `retry` takes a name as it is, and as `list` shows it, escaped; a given-up
// logs package, its customer's details gone, is not given attempts it can
// only fail; one being deleted is left for send-crashes, untouched.
TEST_F(CrashPackageProcessorTest, RetryTakesANameAsListShowsIt) {
  Dump("bad\tname.5.dmp");
  Dump("plain.6.dmp");
  // Named as the escaped form of an escape character's crash: each name
  // has one shown form, and its own name wins.
  Dump("esc\\x1b.8.dmp");
  Dump("esc\x1b.8.dmp");
  const TPath deleting = Dump("deleting.7.dmp");
  for (const auto& package : Run()) Fail(*package, Status::kFailed);
  const std::string marked = Status("deleting.7", "failed");
  std::string status = ReadFile(marked);
  WriteFile(marked, status.insert(status.rfind('}'), R"(,"being-deleted":true)"));
  WriteFile(dumps_ + "/logs.zip", "PK user's logs");
  TString logs;
  {
    const auto given = SendLogs(dumps_ + "/logs.zip", "1");
    Fail(*given.package, Status::kFailed);
    given.package->CleanUpFiles();
    logs = given.package->GetPackageName();
  }
  CrashPackageProcessor processor({TPath(dumps_)}, TPath(data_));
  const auto retried =
      processor.RetryFailedPackages({"bad\\tname.5", "plain.6", "deleting.7", "esc\\x1b.8", logs});
  EXPECT_EQ(retried.changed, (std::vector<TString>{"bad\tname.5", "esc\\x1b.8", "plain.6"}));
  EXPECT_EQ(retried.spent, std::vector<TString>{logs});
  EXPECT_EQ(retried.deleting, std::vector<TString>{"deleting.7"});
  EXPECT_EQ(retried.unknown, std::vector<TString>{});
  EXPECT_TRUE(Exists(deleting));
  EXPECT_TRUE(Exists(marked));
}

TEST_F(CrashPackageProcessorTest, RateLimitCountsAcrossRunsAndHeldPackagesStayPending) {
  const std::string state = data_ + "/" + UploadRateLimit::kStateFileName;
  Configure("servercrashupload.max_uploads_per_hour: 2\n");
  Dump("a.1.dmp");
  Dump("b.2.dmp");
  Dump("c.3.dmp");

  // Run 1: two of three; the third stays "Pending", untouched.
  auto packages = Run();
  ASSERT_EQ(packages.size(), 2u);
  for (const auto& package : packages) package->SetUploadStatus(Status::kComplete);
  const std::set<std::string> admitted{Names(packages)[0], Names(packages)[1]};
  const std::string held = admitted.count("a.1") == 0   ? "a.1"
                           : admitted.count("b.2") == 0 ? "b.2"
                                                        : "c.3";
  EXPECT_THAT(log_, HasSubstr("Upload rate limit: '1' package(s) wait for a later run; at most "
                              "'2' upload(s) per hour."));

  // Run 2, within the hour: nothing is admitted, and waiting is not a failed
  // attempt: the held package gets no result.
  EXPECT_TRUE(Run().empty());
  const auto waiting = CrashPackage::LoadFromFile(TPath(Status(held, "pending")), boundary_);
  EXPECT_TRUE(waiting->GetUploadResults().empty());
  EXPECT_THAT(log_, HasSubstr("'1' package(s) wait"));

  // Run 3, an hour later (as the state file tells it), with room for one and a
  // newer crash whose name sorts first: the oldest goes.
  const auto saved = UploadRateState::LoadFromFile(TPath(state));
  std::vector<int64_t> times;
  for (const int64_t time : saved->GetUploadTimes()) times.push_back(time - 3601);
  saved->SetUploadTimes(times);
  saved->Save();
  Backdate(*waiting, 1);
  Dump("0new.4.dmp");
  Configure("servercrashupload.max_uploads_per_hour: 1\n");
  EXPECT_EQ(Names(Run()), std::vector<std::string>{held});
  EXPECT_TRUE(Exists(Status("0new.4", "pending")));
}

// Each new crash costs the data directory a status file and a record: another
// user's flood of crash files is packaged a few hundred a run, and none is lost.
TEST_F(CrashPackageProcessorTest, AnotherUsersNewCrashesArePackagedAFewHundredARun) {
  SKIP_UNLESS_ROOT();
  for (int i = 0; i < 205; ++i) {
    Dump("flood/c" + std::to_string(i) + ".1.dmp");
    GiveAway({"flood/c" + std::to_string(i) + ".1.dmp"});
    // Another user's file beside a crash frees it from its owner's count no more.
    if (i % 2 == 0) Dump("flood/c" + std::to_string(i) + ".1.log");
  }
  Dump("roots.1.dmp");
  // A file the flooding user adds to another's crash does not hold it back.
  Dump("flood/zz.9.dmp");
  Dump("flood/zz.9-full.dmp", "");
  GiveAway({"flood/zz.9-full.dmp"});
  EXPECT_EQ(Names(Run()).size(), 202u);
  EXPECT_THAT(log_, HasSubstr("5 new crash(es) of user 65534 wait for a later run"));
  EXPECT_EQ(Run().size(), 207u);
}

// One user's flood of crashes must not keep another user's crash waiting:
// not in the order of a run that may be stopped before its end, nor at the
// rate limit.
TEST_F(CrashPackageProcessorTest, EachOwnersOldestGoesFirstAndPassesTheRateLimit) {
  SKIP_UNLESS_ROOT();
  for (const char* file : {"flood/a.1.dmp", "flood/a.2.dmp", "flood/a.3.dmp"}) Dump(file);
  GiveAway({"flood", "flood/a.1.dmp", "flood/a.2.dmp", "flood/a.3.dmp"});
  Dump("roots.4.dmp");
  // The flood's crashes are the oldest, a.1 first.
  for (const auto& package : Run()) {
    const std::string name = package->GetPackageName().toStdString();
    Backdate(*package, name == "roots.4" ? 1 : 5 - (name.back() - '0'));
  }
  EXPECT_EQ(Order(Run()), (std::vector<std::string>{"a.1", "roots.4", "a.2", "a.3"}));
  // One stopped (or failing) each time goes after its owner's others and
  // last in its round: a crash too large for a run's time would otherwise
  // hold them all back.
  for (const auto& package : Run()) {
    if (package->GetPackageName() == "a.1")
      package->RecordTransientFailure(
          {DateTime::GetLocalTime(), UploadResultCode::kNetworkError, "Interrupted by SIGTERM"},
          DateTime());
  }
  EXPECT_EQ(Order(Run()), (std::vector<std::string>{"a.2", "roots.4", "a.3", "a.1"}));
  // Nor do the crashes that come after its trouble hold it back for ever.
  Dump("flood/a.5.dmp");
  GiveAway({"flood/a.5.dmp"});
  EXPECT_EQ(Order(Run()), (std::vector<std::string>{"a.2", "roots.4", "a.3", "a.1", "a.5"}));
  Configure("servercrashupload.max_uploads_per_hour: 2\n");
  EXPECT_THAT(Names(Run()), UnorderedElementsAre("a.2", "roots.4"));
}

// A troubled crash goes after the crashes that were there when it met its
// trouble, not after every other owner's later ones; trouble dated while the
// clock was ahead does not put it behind every crash until that date.
TEST_F(CrashPackageProcessorTest, ATroubledCrashGoesBeforeLaterCrashesOfOtherOwners) {
  SKIP_UNLESS_ROOT();
  Dump("roots.1.dmp");
  Dump("roots.2.dmp");
  const int64_t nowMs = DateTime::GetLocalTime().GetAsUnixTimeMs();
  for (const auto& package : Run()) {
    const bool first = package->GetPackageName() == "roots.1";
    Backdate(*package, first ? 2 : 3);
    // roots.1 an hour ago, roots.2 "tomorrow".
    package->RecordTransientFailure(
        {DateTime::FromUnixTimeMs(first ? nowMs - 3600000 : nowMs + 86400000),
         UploadResultCode::kNetworkError, "trouble"},
        DateTime());
  }
  for (const char* file : {"other/u.3.dmp", "other/u.4.dmp"}) Dump(file);
  GiveAway({"other", "other/u.3.dmp", "other/u.4.dmp"});
  EXPECT_EQ(Order(Run()), (std::vector<std::string>{"roots.2", "u.3", "roots.1", "u.4"}));
}

// A ".complete" status file that is not the whole truth (a data directory
// restored over a newer one, a record damaged by hand) deletes no crash that
// is still to be sent.
TEST_F(CrashPackageProcessorTest, AStatusFileNamedCompleteThatIsNotDoneDeletesNothing) {
  // Beside the pending record, moved to `sibling`, one that says it was
  // sent, under `copies` names, recording the package under `recordedAs`.
  struct Row {
    const char* sibling;
    std::vector<const char*> copies;
    bool siblingUnreadable;
    const char* recordedAs = "app.1";
    const char* says = "Complete";
    // Its files as the pending record has them, spelt another way, or none.
    const char* files = "same";
  };
  const std::vector<const char*> one = {"app.1.crash-package.complete"};
  for (const Row& row :
       {Row{"app.1.crash-package.pending", one, false},
        Row{"app.1.crash-package.PENDING", one, false},
        Row{"other.crash-package.pending", one, false},
        Row{"other.crash-package.pendingretry", one, true},
        Row{"app.1.crash-package.pending",
            {"a.crash-package.complete", "app.1.crash-package.complete"},
            false},
        // Its files, under another package's name.
        Row{"app.1.crash-package.pending", {"zz.crash-package.complete"}, false, "zz"},
        // Named as sent, saying it is not: in the way all the same.
        Row{"app.1.crash-package.pending", one, false, "app.1", "Pending"},
        Row{"app.1.crash-package.pending",
            {"zz.crash-package.complete"},
            false,
            "zz",
            "Complete",
            "respelt"},
        Row{"app.1.crash-package.pending",
            {"zz.crash-package.complete"},
            false,
            "zz",
            "Complete",
            "linked"},
        // At the name the pending one's upload ends on, whatever it records.
        Row{"app.1.crash-package.pending", one, false, "zz", "Complete", "none"},
        Row{"other.crash-package.pending",
            {"other.crash-package.complete"},
            false,
            "zz",
            "Complete",
            "none"}}) {
    // Each run looks at the complete records once more when it deletes sent
    // crashes.
    for (const bool deletes : {false, true}) {
      // Over the size limit, which deletes sent crashes first.
      Configure(std::string("servercrashupload.retention.max_total_mb: 1\n"
                            "servercrashupload.delete_completed_dumps: ") +
                (deletes ? "true\n" : "false\n"));
      SCOPED_TRACE(std::string(row.sibling) + (row.siblingUnreadable ? ", unreadable" : "") +
                   ", copies " + std::to_string(row.copies.size()) + ", " + row.recordedAs + ", " +
                   row.says + ", " + row.files + (deletes ? ", deletes" : ""));
      fs::remove_all(data_);
      fs::remove_all(dumps_);
      const TPath dump = Dump("app.1.dmp", mib_ + mib_);
      ASSERT_EQ(Run().size(), 1u);
      const std::string pending = Status("app.1", "pending");
      std::string copy = std::regex_replace(
          std::regex_replace(
              std::regex_replace(ReadFile(pending), std::regex(R"("upload-status":"Pending")"),
                                 std::string(R"("upload-status":")") + row.says + "\""),
              std::regex(R"("upload-results":\[\])"),
              R"("upload-results":[{"timestamp":"2026-12-01T00:00:00.000+00:00",)"
              R"("upload-result-code":"Success","upload-message":"Upload successful"}])"),
          std::regex(R"("package-name":"app\.1")"),
          std::string(R"("package-name":")") + row.recordedAs + "\"");
      ASSERT_NE(copy.find(std::string(R"("package-name":")") + row.recordedAs + "\""),
                std::string::npos);
      if (row.files == std::string("respelt")) {
        copy = std::regex_replace(copy, std::regex(data_ + "/"), data_ + "/./");
      } else if (row.files == std::string("linked")) {
        fs::remove(dir_.Sub("datalink"));
        fs::create_directory_symlink(data_, dir_.Sub("datalink"));
        copy = std::regex_replace(copy, std::regex(data_ + "/"), dir_.Sub("datalink") + "/");
      } else if (row.files == std::string("none")) {
        const std::regex files(R"re(("(package-data-files|zipped-files)"):\{[^}]*\})re");
        copy = std::regex_replace(copy, files, "$1:{}");
        ASSERT_EQ(copy.find(data_), std::string::npos) << copy;
      }
      ASSERT_NE(copy.find("Upload successful"), std::string::npos);
      for (const char* name : row.copies) WriteFile(data_ + "/" + name, copy);
      const std::string sibling = data_ + "/" + row.sibling;
      fs::rename(pending, sibling);
      if (row.siblingUnreadable) {
        // Which package it records is not known: none is taken as sent.
        UnreadableFilesystem failing(TPath(), (TPath(sibling)));
        EXPECT_TRUE(Run().empty());
        EXPECT_THAT(log_, HasSubstr("while '" + sibling + "' cannot be read"));
        EXPECT_TRUE(fs::exists(dump.NativeString()));
        EXPECT_TRUE(fs::exists(Status("app.1", "complete")));
      }
      EXPECT_EQ(Names(Run()), std::vector<std::string>{"app.1"});
      EXPECT_THAT(
          log_,
          HasSubstr(row.says != std::string("Complete") ? std::string("its record says Pending")
                    : row.files == std::string("none")  ? std::string("records it too")
                    : row.recordedAs == std::string("zz")
                        ? "records its file '" +
                              (row.files == std::string("respelt")  ? data_ + "/./"
                               : row.files == std::string("linked") ? dir_.Sub("datalink/")
                                                                    : data_ + "/") +
                              "app.1.crash-manifest' too"
                        : std::string("records it too")));
      EXPECT_TRUE(fs::exists(dump.NativeString()));
      // Moved aside, every one: the upload of the other ends in its name.
      for (const char* name : row.copies) {
        EXPECT_FALSE(fs::exists(data_ + "/" + name)) << name;
        EXPECT_TRUE(fs::exists(data_ + "/" + name + ".doubted")) << name;
      }
    }
  }
  // Alone, named as sent but saying otherwise.
  const TPath dump = Dump("two.2.dmp");
  ASSERT_EQ(Run().size(), 2u);
  fs::rename(Status("two.2", "pending"), Status("two.2", "complete"));
  EXPECT_EQ(Names(Run()), (std::vector<std::string>{"app.1", "two.2"}));
  EXPECT_THAT(log_, HasSubstr("its record says Pending"));
  EXPECT_TRUE(fs::exists(dump.NativeString()));
}

// A package's age is the program's: a crash whose application wrote its
// manifest long before the program found it is not past an age limit in the
// run that packages it.
TEST_F(CrashPackageProcessorTest, RetentionAgesAPackageFromWhenTheProgramMadeIt) {
  Dump("app.5.dmp");
  Dump("app.5.manifest",
       R"({"crash-artifact-files":[{"filename":"app.5.dmp","type":"ProcessMiniDump"},)"
       R"({"filename":"app.5.manifest","type":"Manifest"}]})");
  for (const char* file : {"app.5.dmp", "app.5.manifest"}) {
    fs::last_write_time(dumps_ + "/" + file,
                        fs::file_time_type::clock::now() - std::chrono::hours(400 * 24));
  }
  Configure("servercrashupload.retention.max_age_days: 30\n");
  const auto packages = Run();
  ASSERT_EQ(Names(packages), std::vector<std::string>{"app.5"});
  ASSERT_EQ(packages[0]->GetDataFilePath(DataFileKind::kManifestFile),
            TPath(dumps_ + "/app.5.manifest"));
  EXPECT_THAT(log_, Not(HasSubstr("Retention: deleting")));
  // Made long ago, its status file saved again since: its age is the one it
  // recorded, not that of its last save.
  const std::string status = Status("app.5", "pending");
  const int64_t longAgoMs = (DateTime::GetLocalTime().GetAsUnixTime() - 400LL * 86400) * 1000;
  WriteFile(status, std::regex_replace(ReadFile(status), std::regex(R"("made-at":\d+)"),
                                       "\"made-at\":" + std::to_string(longAgoMs)));
  EXPECT_TRUE(Run().empty());
  EXPECT_THAT(log_,
              HasSubstr("Retention: deleting package 'app.5' (status PendingRetry): older than"));
}

// The program's own crash waits while its handler still writes the full
// dump beside it: sent now it would go without it, and its deletion would
// take it half-written. One its killed handler left, or one left for over
// an hour, goes as it is.
TEST_F(CrashPackageProcessorTest, AnOwnCrashWaitsForTheFullDumpItsHandlerWrites) {
  const std::string dir = std::string("zorcrashreporter_") + kOwnId + ".crash/";
  Dump(dir + "zorcrashreporter.42.dmp");
  Dump(dir + "zorcrashreporter.42.manifest", "{}");
  const TPath temp = Dump(dir + "zorcrashreporter.42-full.dmp.temp", "MDMP half");
  {
    const int writer = ::open(temp.NativeString().c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(writer, 0);
    EXPECT_TRUE(Run().empty());
    EXPECT_THAT(log_, HasSubstr("its full dump '" + temp.ToString().toStdString() +
                                "' is still being written"));
    // Open but left for over an hour: its writer hangs, and the crash goes.
    fs::last_write_time(temp.NativeString(),
                        fs::file_time_type::clock::now() - std::chrono::hours(2));
    EXPECT_EQ(Run().size(), 1u);
    ::close(writer);
  }
}

// A crash whose run was stopped before the server judged it was never
// tried: the size limit keeps it, however far over.
TEST_F(CrashPackageProcessorTest, RetentionKeepsACrashWhoseRunWasOnlyStopped) {
  Dump("stopped.1.dmp", mib_ + mib_);
  const auto packages = Run();
  ASSERT_EQ(packages.size(), 1u);
  struct Client : UploadClient {
    using UploadClient::PutBack;
  };
  (void)Client::PutBack(*packages[0], zor::platform::RunInterrupted(SIGTERM));
  Configure("servercrashupload.retention.max_total_mb: 1\n");
  EXPECT_EQ(Names(Run()), std::vector<std::string>{"stopped.1"});
  EXPECT_THAT(log_, HasSubstr("crash(es) that were never tried"));
  EXPECT_TRUE(Exists(dumps_ + "/stopped.1.dmp"));
}

}  // namespace
}  // namespace ZorErrorReporting
