#include "packages/crash_package.h"
#include "packages/system_info.h"
#include "platform/tsystem.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "files/zip_file.h"
#include "files/zip_test_reader.h"
#include "log/log_rotate_channel.h"
#include "packages/package_for_test.h"
#include "platform/process_priority.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using test_support::ErrorOf;
using test_support::Exists;
using test_support::FailingRemoveFilesystem;
using test_support::LogCapture;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::Not;
using zor::platform::TPath;
using zor::platform::TString;
using zor::test::ReadFile;
using zor::test::WriteFile;
using Permission = UploadPermission;
namespace TLog = zor::platform::TLog;

constexpr char kId[] = "0123456789abcdef0123456789abcdef";
const std::string kOwnDirectory = std::string("app_") + kId + ".crash";

std::vector<TPath> PathsOf(const std::vector<Package::FileToZip>& files) {
  std::vector<TPath> paths;
  for (const Package::FileToZip& file : files) paths.push_back(file.path);
  return paths;
}

// One record of a manifest's "crash-artifact-files".
std::string Record(const std::string& path) {
  return R"({"filename":")" + path + R"(","type":"ProcessMiniDump","upload-permission":"Allowed"})";
}

std::map<TPath, Permission> Permissions(const CrashPackage& package) {
  std::map<TPath, Permission> permissions;
  for (const auto& [path, file] : package.GetManifest()->GetCrashArtifactFiles()) {
    permissions[path] = file->GetUploadPermission();
  }
  return permissions;
}

class CrashPackageTest : public test_support::TempDirTest {
 protected:
  TPath AddFile(const std::string& relative, const std::string& content = "crash data") {
    WriteFile(dir_.Sub(relative), content);
    return TPath(dir_.Sub(relative));
  }
  // An application's manifest that lists `records`.
  TPath Manifest(const std::string& relative, const std::string& records) {
    return AddFile(relative, R"({"crash-artifact-files":[)" + records + "]}");
  }
  // The data directory, where the completed manifests go.
  TPath Data() {
    std::filesystem::create_directories(dir_.Sub("data"));
    return TPath(dir_.Sub("data"));
  }
  TPath RecordOf(const std::string& name = kId) {
    return Data() / TPath(name + ".crash-manifest");
  }
  // A new package as the discovery makes it: constructed, bound, saved.
  std::shared_ptr<CrashPackage> SavedPackage(const std::set<TPath>& files, bool fullDumps = true,
                                             const std::string& name = kId) {
    return JsonFileSerializedObject::SaveNewFile(
        std::make_shared<CrashPackage>(TString(name), files, fullDumps, std::set<TPath>{}, Data(),
                                       boundary_),
        TPath(dir_.Sub("data/") + name + ".crash-package.pending"));
  }

  // Records the package's encrypted copy as `name`.enc in the data directory.
  void Encrypted(CrashPackage& package, const std::string& name) {
    package.RecordEncryption(AddFile("data/" + name + ".enc"), AddFile("data/" + name + ".meta"));
  }
  // A zip pass over the package (which stamps what it takes), then its copy.
  void Zipped(CrashPackage& package, const std::string& name) {
    package.GetFilesToZip({});
    Encrypted(package, name);
  }
  // The package's status file as an older version wrote it: every match of
  // `pattern` replaced (unless `mayBeAbsent`, there must be one).
  void AsOlderVersion(const CrashPackage& package, const std::string& pattern,
                      const std::string& replacement = "", bool mayBeAbsent = false) {
    const std::string file = package.GetFilePath().NativeString();
    const std::string status = ReadFile(file);
    const std::string older = std::regex_replace(status, std::regex(pattern), replacement);
    ASSERT_TRUE(mayBeAbsent || older != status) << pattern;
    WriteFile(file, older);
  }
  // Gives `paths` to the user and group `id`.
  static void GiveTo(uid_t id, std::initializer_list<TPath> paths) {
    for (const TPath& path : paths) ASSERT_EQ(::chown(path.NativeString().c_str(), id, id), 0);
  }
  std::string StatusText(const CrashPackage& package) const {
    return ReadFile(package.GetFilePath().NativeString());
  }

  // A folder whose file system keeps no birth times (ramfs, mounted there
  // for the test), "bare"; false when it cannot be mounted.
  bool MountBareFolder() {
    std::filesystem::create_directories(dir_.Sub("bare"));
    if (::mount("none", dir_.Sub("bare").c_str(), "ramfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0)
      return false;
    bare_.at = dir_.Sub("bare");
    return true;
  }

  // Completing a manifest reads the product's settings; keep them in the test.
  test::ScopedEnv settings_{"XDG_CONFIG_HOME", dir_.Sub("config")};
  // Unmounted before the temporary folder is removed.
  struct Mount {
    std::string at;
    ~Mount() {
      if (!at.empty()) ::umount2(at.c_str(), MNT_DETACH);
    }
  } bare_;
};

// The completed manifest is the program's own record in the data directory,
// zipped under the application's manifest name; the application's manifest,
// if any, is only read, and belongs to the crash.
TEST_F(CrashPackageTest, CompletedManifestIsTheProgramsRecord) {
  for (const bool fullDumps : {false, true}) {
    SCOPED_TRACE(fullDumps);
    const std::string folder = fullDumps ? "with" : "without";
    const TPath mini = AddFile(folder + "/app.12.dmp");
    const TPath full = AddFile(folder + "/app.12-full.dmp");

    CrashPackage package(kId, {mini, full}, fullDumps, {}, Data(), boundary_);

    EXPECT_EQ(package.GetDataFilePath(DataFileKind::kManifestFile), RecordOf());
    EXPECT_THAT(ReadFile(RecordOf().NativeString()), HasSubstr("crash-artifact-files"));
    EXPECT_FALSE(Exists(TPath(dir_.Sub(folder + "/app.12.manifest"))));
    // Named after the first file's name with "-full" taken out.
    EXPECT_EQ(package.GetZipEntryName(RecordOf()), "app.12.manifest");
    // A Java heap dump's name gives none: the package's does.
    const TPath heap =
        AddFile(folder + "/java_heap_app_pid_9.fedcba9876543210fedcba9876543210.hprof");
    CrashPackage java("heap", {heap}, fullDumps, {}, Data(), boundary_);
    EXPECT_EQ(java.GetZipEntryName(RecordOf("heap")), "heap.manifest");
    const Permission fullPermission =
        fullDumps ? Permission::kAllowed : Permission::kNotAllowedFileTypeDisabledByAdmin;
    EXPECT_EQ(Permissions(package),
              (std::map<TPath, Permission>{{full, fullPermission}, {mini, Permission::kAllowed}}));
    // The minidump first, which the server reads first.
    const std::vector<TPath> zipped = fullDumps ? std::vector<TPath>{mini, full, RecordOf()}
                                                : std::vector<TPath>{mini, RecordOf()};
    EXPECT_EQ(PathsOf(package.GetFilesToZip({})), zipped);
  }

  // Read back from the status file: the application's manifest is zipped
  // once, as the record, the full dump not at all; all go with the crash.
  const TPath dump = AddFile("dumps/app.5.dmp");
  const TPath full = AddFile("dumps/app.5-full.dmp");
  const std::string written = R"({"Id":"crash-5","product-build":"5.0.1","os":"Plan9"})";
  const TPath application = AddFile("dumps/app.5.manifest", written);
  auto package = SavedPackage({dump, full, application}, false, "app.5");
  package->SetRemotePackageId("issue-1");
  package->Save();
  EXPECT_EQ(ReadFile(application.NativeString()), written);
  EXPECT_THAT(ReadFile(RecordOf("app.5").NativeString()),
              ::testing::StartsWith(written.substr(0, written.size() - 1)));
  EXPECT_EQ(package->GetZipEntryName(RecordOf("app.5")), "app.5.manifest");
  auto loaded = CrashPackage::LoadFromFile(package->GetFilePath(), boundary_);
  EXPECT_EQ(PathsOf(loaded->GetFilesToZip({})), (std::vector<TPath>{dump, RecordOf("app.5")}));
  EXPECT_EQ(loaded->GetProductBuild(), "5.0.1");
  EXPECT_EQ(loaded->GetOs(), "Plan9");
  // One that lists its files is taken as it stands: the system it leaves
  // out is this host's.
  const TPath listed = AddFile("dumps/app.6.dmp");
  const TPath asItStands = AddFile(
      "dumps/app.6.manifest",
      R"({"crash-artifact-files":[{"filename":"app.6.dmp","type":"ProcessMiniDump"},)"
      R"({"filename":"app.6.manifest","type":"Manifest"}]})");
  auto six = SavedPackage({listed, asItStands}, false, "app.6");
  EXPECT_EQ(six->GetManifest()->GetFilePath(), asItStands);
  EXPECT_EQ(six->GetOs(), zor::platform::TSystem::OSShortName());
  EXPECT_EQ(six->GetProcessorArchitecture(), SystemInfo::Get().GetProcessorArchitecture());
  EXPECT_FALSE(loaded->GetUploadFullDumps());
  // The upload name is the local id's 32 digits, without braces or dashes.
  TString digits = package->GetLocalPackageId().ToString(zor::platform::TUUID::kBraces);
  for (const char* cut : {"{", "}", "-"}) digits.replace(cut, "");
  EXPECT_EQ(loaded->GetUploadFileName(), digits.toLower());
  EXPECT_EQ(loaded->GetIdentityJson(), R"({"crash-correlation-id":"app.5","issue-id":"issue-1"})");
  loaded->DeletePackage();
  for (const TPath& gone : {dump, full, application, RecordOf("app.5"), package->GetFilePath()}) {
    EXPECT_FALSE(Exists(gone)) << gone;
  }

  // An application's manifest too large to be copied into every run's
  // memory: the record is the program's alone, and it reads back.
  const TPath bigDump = AddFile("dumps/app.6.dmp");
  const std::string filler(CrashPackage::kMaxApplicationManifestSize, 'a');
  const TPath big =
      AddFile("dumps/app.6.manifest", R"({"Id":"crash-6","filler":")" + filler + R"("})");
  LogCapture capture;
  package = SavedPackage({bigDump, big}, false, "app.6");
  EXPECT_THAT(capture.Text(), HasSubstr("The manifest '" + big.NativeString() + "' has " +
                                        std::to_string(filler.size() + 28) + " bytes"));
  EXPECT_EQ(ReadFile(RecordOf("app.6").NativeString()).find(filler), std::string::npos);
  // Not the crash's, it is not deleted with it unsent.
  EXPECT_EQ(package->GetManifest()->GetCrashArtifactFiles().count(big), 0u);
  loaded = CrashPackage::LoadFromFile(package->GetFilePath(), boundary_);
  EXPECT_EQ(PathsOf(loaded->GetFilesToZip({})), (std::vector<TPath>{bigDump, RecordOf("app.6")}));
}

TEST_F(CrashPackageTest, StatusFileWithoutUsableManifest) {
  const TPath status = Data() / "p.crash-package.pending";
  const TPath garbled = AddFile("dumps/app.4.manifest", "{not json");
  const TPath dump = AddFile("dumps/app.4.dmp");
  const std::pair<std::string, std::string> cases[] = {
      {"",
       "Package file does not contain path to package manifest! ('" + status.NativeString() + "')"},
      {R"("manifest-file":")" + garbled.NativeString() + "\",",
       std::string(R"(load manifest for crash package '{"crash-correlation-id":")") + kId +
           "\"}'. Error message: 'Failed to read following content as JSON"},
  };
  for (const auto& [dataFiles, warning] : cases) {
    SCOPED_TRACE(warning);
    const TPath zip = AddFile("data/p.package.zip");
    WriteFile(status.NativeString(),
              std::string(R"({"package-name":")") + kId + R"(","package-data-files":{)" +
                  dataFiles + R"("zipped-package-file":")" + zip.NativeString() + "\"}}");
    LogCapture capture;
    auto package = CrashPackage::LoadFromFile(status, boundary_);
    EXPECT_FALSE(package->HasManifest());
    EXPECT_EQ(ErrorOf([&] { package->GetFilesToZip({}); }),
              "Manifest failed to load on package construction. See warnings in log file for "
              "details.");
    EXPECT_EQ(package->GetOsVersion(), "Unspecified");

    // Only what the status file records goes.
    package->DeletePackage();
    EXPECT_THAT(capture.Text(),
                AllOf(HasSubstr(warning), HasSubstr("because the manifest failed to load")));
    EXPECT_TRUE(Exists(dump));
    EXPECT_FALSE(Exists(zip));
    EXPECT_FALSE(Exists(status));
  }
}

// Only the program writes its upload files, beside the status file: a record
// naming one elsewhere is corrupt, and what it names is never sent.
TEST_F(CrashPackageTest, UploadFilesAreTakenOnlyFromTheStatusFilesFolder) {
  const std::string data = Data().NativeString();
  const std::string status = data + "/p.crash-package.pending";
  const std::pair<std::string, bool> cases[] = {{data + "/p.zip.enc", true},
                                                {data + "//./p.zip.enc", true},
                                                {data + "/sub/../p.zip.enc", true},
                                                {"/etc/shadow", false},
                                                {data + "/../p.zip.enc", false},
                                                {data + "/sub/p.zip.enc", false},
                                                {"p.zip.enc", false}};
  for (const auto& [path, kept] : cases) {
    SCOPED_TRACE(path);
    WriteFile(status, std::string(R"({"package-name":"p","package-data-files":{)") +
                          R"("encrypted-package-file":")" + path + R"(",)" +
                          R"("parts-uploaded-file":")" + path + R"(.parts"}})");
    LogCapture capture;
    const auto package = CrashPackage::LoadFromFile(TPath(status), boundary_);
    EXPECT_EQ(package->HasEncryptedPackageFile(), kept);
    EXPECT_EQ(package->HasDataFile(DataFileKind::kPartsUploadedFile), kept);
    EXPECT_EQ(capture.Text().find("names its encrypted-package-file '" + path +
                                  "' outside its folder") != std::string::npos,
              !kept)
        << capture.Text();
  }
}

// An application's manifest that cannot be used (a FIFO, refused when read;
// a list that leaves out the dump found beside it, naming nothing usable or
// another user's in a shared folder) keeps no dump back: the crash gets a
// record of its own, and the Warn line says what named the file or what the
// list lacks, so that the reader looks in the right place.
TEST_F(CrashPackageTest, AnUnusableApplicationManifestDoesNotKeepTheDumpBack) {
  for (const bool fifo : {true, false}) {
    SCOPED_TRACE(fifo ? "a FIFO" : "a list without the dump");
    const std::string name = fifo ? "app.5" : "app.31";
    const TPath dump = AddFile("dumps/" + name + ".dmp");
    const TPath manifest(dir_.Sub("dumps/" + name + ".manifest"));
    if (fifo) {
      ASSERT_EQ(::mkfifo(manifest.NativeString().c_str(), 0600), 0);
    } else {
      WriteFile(manifest.NativeString(), R"({"crash-artifact-files":[{"filename":""}]})");
    }
    LogCapture capture;
    auto package = SavedPackage({dump, manifest}, true, name);
    EXPECT_THAT(capture.Text(), HasSubstr(fifo ? "Skipping '" + manifest.NativeString() +
                                                     "', which the dump directory's listing names: "
                                               : "lists the crash's files, but not '" +
                                                     dump.NativeString() + "' as one"));
    EXPECT_EQ(package->GetDataFilePath(DataFileKind::kManifestFile), RecordOf(name));
    EXPECT_EQ(PathsOf(package->GetFilesToZip({})), (std::vector<TPath>{dump, RecordOf(name)}));
  }
}

// The crash's directory goes only when it is the crash's own and empty; what
// the crash does not own stays, and the package still counts as deleted; a
// failed deletion is finished by the next run.
TEST_F(CrashPackageTest, DeletionLeavesWhatTheCrashDoesNotOwnAndCountsAsDone) {
  struct Case {
    std::string name, directory, version;
    bool ownDirectory;
    std::vector<std::string> others;
  };
  const Case cases[] = {
      {kId, kOwnDirectory, "1.1", true, {}},
      {kId, kOwnDirectory, "1.0", false, {}},
      // An application that names no version: the directory's name decides.
      // Another application's directory keeps what only the program's handler leaves.
      {kId,
       kOwnDirectory,
       "Unspecified",
       true,
       {"notes/readme.txt", "zorcrashreporter.5-full.dmp.temp"}},
      // Nor does one too large to read: once it made the package undeletable.
      {kId, kOwnDirectory, "1.99999999999", true, {}},
      {kId, "shared-dumps", "1.1", false, {}},
      // The package name is matched with its case.
      {kId, "app_0123456789ABCDEF0123456789ABCDEF.crash", "1.1", false, {}},
      // A short name matches many directories: one shared with other crashes.
      {"app", "app_1.crash", "1.1", true, {"other.5.dmp", "other.5.manifest", "notes/x.txt"}},
      // A folder not made for one crash (a user's dump folder) stays, even empty.
      {"app", "app-dumps", "1.1", false, {}},
      {kId, "nested/" + kOwnDirectory, "1.1", true, {"deep/er/file.bin"}},
      // The program's own, with the full dump its handler did not finish.
      {kId, std::string("zorcrashreporter_") + kId + ".crash", "1.1", true, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.directory + " " + c.version);
    const std::set<TPath> files = {
        AddFile(c.directory + "/app.77.dmp"),
        AddFile(c.directory + "/app.77.manifest", R"({"manifest-version":")" + c.version + "\"}")};
    for (const std::string& other : c.others) AddFile(c.directory + "/" + other);
    const std::string unfinished = dir_.Sub(c.directory + "/zorcrashreporter.77-full.dmp.temp");
    if (c.directory.starts_with("zorcrashreporter_")) WriteFile(unfinished, "MDMP");
    auto package = SavedPackage(files, true, c.name);
    const TPath zip = AddFile("data/p.package.zip");
    package->SetDataFilePath(DataFileKind::kZippedPackageFile, zip);
    EXPECT_EQ(package->IsInOwnDirectory(), c.ownDirectory);
    if (&c == &cases[0]) {
      // A dump that cannot go keeps the record of what is left, and the next
      // run finishes the job.
      {
        FailingRemoveFilesystem failing(*files.begin(), FailingRemoveFilesystem::How::kReturnFalse);
        package->DeletePackage();
      }
      EXPECT_TRUE(Exists(RecordOf()));
      EXPECT_TRUE(Exists(package->GetFilePath()));
      package = CrashPackage::LoadFromFile(package->GetFilePath(), boundary_);
    }

    LogCapture capture;
    package->DeletePackage();

    for (const TPath& file : files) EXPECT_FALSE(Exists(file)) << file;
    EXPECT_FALSE(Exists(TPath(unfinished)));
    for (const std::string& other : c.others) {
      EXPECT_TRUE(Exists(dir_.Sub(c.directory + "/" + other))) << other;
    }
    const bool kept = !c.ownDirectory || !c.others.empty();
    EXPECT_EQ(Exists(dir_.Sub(c.directory)), kept);
    EXPECT_EQ(capture.Text().find("Keeping the directory '" + dir_.Sub(c.directory) + "'") !=
                  std::string::npos,
              c.ownDirectory && kept);
    // Nothing of the package is left to retry.
    EXPECT_FALSE(Exists(zip));
    EXPECT_FALSE(Exists(package->GetFilePath()));
    std::filesystem::remove_all(dir_.Sub(c.directory));
  }
}

// After the upload only the files its zip found, unchanged, are deleted: a
// crash written since under one of the names is another crash, not sent yet.
TEST_F(CrashPackageTest, OnlyWhatTheZipFoundUnchangedIsDeletedWithThePackage) {
  namespace fs = std::filesystem;
  const std::pair<std::string, std::function<void(const std::string&)>> changes[] = {
      {"unchanged", [](const std::string&) {}},
      {"replaced",
       [](const std::string& path) {
         WriteFile(path + ".new", "crash data");
         fs::rename(path + ".new", path);
       }},
      {"rewritten", [](const std::string& path) { WriteFile(path, "a new crash, longer"); }},
      {"touched",
       [](const std::string& path) {
         fs::last_write_time(path, fs::last_write_time(path) + std::chrono::hours(1));
       }},
  };
  for (const auto& [how, change] : changes) {
    SCOPED_TRACE(how);
    const TPath dump = AddFile(how + "/app.77.dmp");
    const TPath log = AddFile(how + "/app.77.log");
    const TPath manifest = AddFile(how + "/app.77.manifest", R"({"manifest-version":"1.1"})");
    auto package = SavedPackage({dump, log, manifest}, true, "p-" + how);
    // Not there when the zip is made, there again when the crash goes.
    fs::remove(log.NativeString());
    EXPECT_EQ(PathsOf(package->GetFilesToZip({})),
              (std::vector<TPath>{dump, RecordOf("p-" + how)}));
    Encrypted(*package, how);
    package = CrashPackage::LoadFromFile(package->GetFilePath(), boundary_);
    // A kept zip encrypted again for another key: no new pass, same files.
    Encrypted(*package, how);
    AddFile(how + "/app.77.log", "a new crash's log");
    change(dump.NativeString());
    // The program's own record (its times set by hand, say) goes with the
    // data files: no line says it stays.
    change(RecordOf("p-" + how).NativeString());

    LogCapture capture;
    package->DeletePackage();

    EXPECT_EQ(Exists(dump), how != "unchanged");
    EXPECT_TRUE(Exists(log));
    EXPECT_FALSE(Exists(manifest) || Exists(RecordOf("p-" + how)));
    EXPECT_FALSE(Exists(package->GetFilePath()));
    EXPECT_THAT(capture.Text(), HasSubstr("Keeping '" + log.NativeString() + "' of package"));
    EXPECT_THAT(capture.Text(),
                Not(HasSubstr("Not deleting '" + RecordOf("p-" + how).NativeString())));
  }
}

// Whether a crash's upload files can be made again from its files decides
// whether a copy is dropped (for the size limit, a key change, a restart):
// a crash file that is not what was zipped makes the copy the last one.
TEST_F(CrashPackageTest, ACopyCanBeMadeAgainOnlyFromTheFilesItWasMadeOf) {
  namespace fs = std::filesystem;
  const bool root = ::geteuid() == 0;
  struct Row {
    std::string how;
    std::function<void(const TPath& dump, const TPath& log)> change;
    bool stamped;
    std::string gone;  // "", "dump" or "log"
  };
  const Row rows[] = {
      {"unchanged", [](const TPath&, const TPath&) {}, true, ""},
      {"log written on",
       [](const TPath&, const TPath& log) {
         std::ofstream(log.NativeString(), std::ios::app) << " and more";
       },
       true, ""},
      {"log truncated as its program started again",
       [](const TPath&, const TPath& log) { WriteFile(log.NativeString(), "new"); }, true, "log"},
      // In place, so its inode and birth stay: only its bytes tell.
      {"log truncated and written past its old length",
       [](const TPath&, const TPath& log) {
         std::ofstream(log.NativeString(), std::ios::trunc) << "log of the next run, longer";
       },
       true, "log"},
      {"dump written again",
       [](const TPath& dump, const TPath&) { WriteFile(dump.NativeString(), "a new crash"); }, true,
       "dump"},
      {"dump removed", [](const TPath& dump, const TPath&) { fs::remove(dump.NativeString()); },
       true, "dump"},
      // The zip would refuse it now: its copy cannot be made again.
      {"dump given a second name",
       [](const TPath& dump, const TPath&) {
         fs::create_hard_link(dump.NativeString(), dump.NativeString() + ".kept");
       },
       true, "dump"},
      // Another user's log that the crash names, written on since: the zip
      // takes it no more.
      {"another user's log written on",
       [](const TPath&, const TPath& log) {
         ASSERT_EQ(::chown(log.NativeString().c_str(), 65534, 65534), 0);
         std::ofstream(log.NativeString(), std::ios::app) << " and more";
       },
       true, "log"},
      // Handed to its user (root's helper chowns a crash): still the crash's.
      {"files given to their user",
       [](const TPath& dump, const TPath& log) {
         GiveTo(65534, {dump, log});
       },
       true, ""},
      // An older version's package stamped nothing: its manifest's dumps tell.
      {"unstamped", [](const TPath&, const TPath&) {}, false, ""},
      {"unstamped, dump removed",
       [](const TPath& dump, const TPath&) { fs::remove(dump.NativeString()); }, false, "dump"},
      {"unstamped, dump written again",
       [](const TPath& dump, const TPath&) { WriteFile(dump.NativeString(), "a new crash"); },
       false, "dump"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.how);
    if (row.how.find("user") != std::string::npos && !root) continue;  // chown
    const std::string name = "c" + std::to_string(&row - rows);
    const TPath dump = AddFile(name + "/app.5.dmp");
    const TPath log = AddFile(name + "/app.5.log", "log of the crash");
    auto package = SavedPackage({dump, log}, true, name);
    Zipped(*package, name);
    if (!row.stamped) AsOlderVersion(*package, R"(,"zipped-files":\{[^}]*\})", "", true);
    const auto stamp = zor::platform::IdentifyPath(dump, zor::platform::LinkHandling::kDoNotFollow);
    // Without birth times a change of owner is all that tells a file made
    // anew at the freed inode: there the given-away crash is gone.
    if (row.how == "files given to their user" && stamp->birthNs == 0) continue;
    row.change(dump, log);
    package = CrashPackage::LoadFromFile(package->GetFilePath(), boundary_);
    ASSERT_EQ(package->GetZippedFiles().empty(), !row.stamped);
    const TString expected = row.gone == "dump"  ? dump.ToString()
                             : row.gone == "log" ? log.ToString()
                                                 : TString();
    EXPECT_EQ(package->FirstSourceGone(), expected);
  }
}

// A sent crash's dump out of this run's reach (its dump directory away) is
// neither deleted nor taken as gone: the record stays until the package is
// told to forget such files. A folder its owner replaced by a link to another
// file system is simply gone.
TEST_F(CrashPackageTest, AFileOutOfReachKeepsTheRecordUntilItIsForgotten) {
  for (const bool linked : {false, true}) {
    SCOPED_TRACE(linked ? "folder replaced by a link" : "dump directory out of reach");
    const TPath dump = AddFile("dumps/app/app.9.dmp");
    auto package = SavedPackage({dump}, true, "p9");
    Zipped(*package, "p9");
    const TrustBoundary dataOnly({Data()});
    if (linked) {
      std::filesystem::remove_all(dir_.Sub("dumps/app"));
      std::filesystem::create_directories("/dev/shm/zor-test-p9");
      std::filesystem::create_directory_symlink("/dev/shm/zor-test-p9", dir_.Sub("dumps/app"));
    }
    package = CrashPackage::LoadFromFile(package->GetFilePath(), linked ? boundary_ : dataOnly);
    package->DeletePackage();
    EXPECT_EQ(Exists(RecordOf("p9")), !linked);
    if (!linked) {
      EXPECT_TRUE(Exists(dump));
      package->ForgetFilesOutOfReach();
      package->DeletePackage();
      EXPECT_FALSE(Exists(RecordOf("p9")));
      EXPECT_TRUE(Exists(dump));
    }
    EXPECT_EQ(Exists(package->GetFilePath()), false);
    std::filesystem::remove_all(dir_.Sub("dumps"));
    std::filesystem::remove_all("/dev/shm/zor-test-p9");
  }
}

// Dumps that vanish between the listing and the stamping leave a package
// that stands for nothing: it is not made. Nor is a crash whose every file is
// refused zipped: it would go as its manifest alone, and then be deleted as
// sent.
TEST_F(CrashPackageTest, APackageWhoseDumpsVanishedIsNeitherStampedNorZipped) {
  // Nor one of files from two directories, before anything is written.
  const TPath mini = AddFile("a/app.1.dmp"), log = AddFile("b/app.1.log");
  EXPECT_EQ(ErrorOf([&] {
              CrashPackage(kId, {mini, log}, true, {}, Data(), boundary_);
            }),
            "All files in crash package must reside in the same directory! Mistmached files: ('" +
                mini.NativeString() + "', '" + log.NativeString() + "')");
  EXPECT_FALSE(Exists(RecordOf()));
  // Nor one whose dumps are gone before it is made: none tells whose it is,
  // and any user's file of its name would be taken for its own.
  const TPath othersLog = AddFile("dumps/app.2.log");
  EXPECT_THROW(CrashPackage(kId, {TPath(dir_.Sub("dumps/app.2.dmp")), othersLog}, true, {}, Data(),
                            boundary_),
               zor::platform::TPath::Exception);
  EXPECT_FALSE(Exists(RecordOf()));

  const TPath dump = AddFile("dumps/app.8.dmp");
  auto package = SavedPackage({dump});
  std::filesystem::remove(dump.NativeString());
  EXPECT_THROW(package->StampFilesAsFound(), zor::platform::ZorvaneException);
  EXPECT_THAT(ErrorOf([&] { package->GetFilesToZip({}); }),
              HasSubstr("None of the crash files that '" + RecordOf().NativeString() +
                        "' names may be read (1 refused; the first, '" + dump.NativeString()));
}

// A user may leave any number of files beside a dump: a crash takes its dumps
// and a bounded number of others, whether its folder's listing or a manifest
// the application completed names them, and leaves the rest where they are.
TEST_F(CrashPackageTest, ACrashTakesItsDumpsAndABoundedNumberOfOtherFiles) {
  for (const bool listed : {true, false}) {
    SCOPED_TRACE(listed);
    const std::string name = listed ? "listed" : "named", folder = name + "/";
    std::set<TPath> files;
    std::string records;
    const size_t logs = CrashPackage::kMaxOtherFiles + 3;
    for (size_t i = 0; i < logs; ++i) {
      files.insert(AddFile(folder + "a" + std::to_string(1000 + i) + ".log", "x"));
      // Whatever type a record claims, the name tells a log.
      records += Record(files.rbegin()->NativeString()) + ",";
    }
    // Last in path order, first to be taken.
    const TPath dump = AddFile(folder + "zz.dmp");
    files.insert(dump);
    if (!listed) {
      files.insert(Manifest(
          folder + "zz.manifest",
          records + R"({"filename":")" + dump.NativeString() + R"(","type":"ProcessMiniDump"})"));
    }
    LogCapture capture;
    auto package = SavedPackage(files, true, name);
    const std::vector<TPath> zipped = PathsOf(package->GetFilesToZip({}));
    EXPECT_THAT(capture.Text(), HasSubstr("goes without 3 of its files"));
    EXPECT_EQ(zipped.size(), CrashPackage::kMaxOtherFiles + 2);  // and the dump and the record
    EXPECT_THAT(zipped, ::testing::Contains(dump));
    Encrypted(*package, name);
    package->DeletePackage();
    EXPECT_FALSE(Exists(dump));
    EXPECT_TRUE(Exists(TPath(dir_.Sub(folder + "a" + std::to_string(1000 + logs - 1) + ".log"))));
  }
  // With room for one more file, the crash still takes both of its dumps:
  // without one it would go as a part of itself.
  const std::set<TPath> crash = {AddFile("room/app.3.dmp"), AddFile("room/app.3-full.dmp"),
                                 AddFile("room/app.3.log", "x")};
  auto package = SavedPackage(crash, true, "room");
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  rlimit lowered = before;
  lowered.rlim_cur =
      before.rlim_cur - zor::platform::OpenFilesLeft() + CrashPackage::kDescriptorsKept + 1;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  LogCapture capture;
  const std::vector<TPath> zipped = PathsOf(package->GetFilesToZip({}));
  ::setrlimit(RLIMIT_NOFILE, &before);
  EXPECT_THAT(zipped, ::testing::IsSupersetOf({TPath(dir_.Sub("room/app.3.dmp")),
                                               TPath(dir_.Sub("room/app.3-full.dmp"))}));
  EXPECT_THAT(capture.Text(), HasSubstr("goes without 1 of its files (the first, '" +
                                        dir_.Sub("room/app.3.log") + "')"));

  // With room for fewer than its dumps, it waits whole for a higher limit.
  std::set<TPath> dumps;
  for (int i = 0; i < 40; ++i) dumps.insert(AddFile("many/app.4-" + std::to_string(i) + ".dmp"));
  auto many = SavedPackage(dumps, true, "many");
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const std::string error = ErrorOf([&] { many->GetFilesToZip({}); });
  ::setrlimit(RLIMIT_NOFILE, &before);
  EXPECT_THAT(error, HasSubstr("Crash 'many' has 40 dumps to send, and the process may open only"));
  // Names whose files are gone need no descriptor: it goes with what is left.
  for (auto gone = std::next(dumps.begin()); gone != dumps.end(); ++gone) {
    std::filesystem::remove(gone->NativeString());
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
  const size_t taken = many->GetFilesToZip({}).size();
  ::setrlimit(RLIMIT_NOFILE, &before);
  EXPECT_EQ(taken, 2u);  // the dump left and the record
}

// In a folder others may write, another user's files of the crash's name are
// not the crash's, busy or not: its package leaves them out and its deletion
// leaves them there. The crash is its oldest dump's owner's, whichever dump
// comes first, and stays that user's when its dumps are gone.
TEST_F(CrashPackageTest, AnotherUsersFilesOfTheCrashsNameAreNotItsOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
  const TPath full = AddFile("shared/app.4-full.dmp");
  const TPath mini = AddFile("shared/app.4.dmp");
  const TPath log = AddFile("shared/app.4.log", "x");
  // Each chown is the entry's latest change: the full dump's is the oldest
  // once the file system's coarse clock has moved on.
  ASSERT_EQ(::chown(full.NativeString().c_str(), 65533, 65533), 0);
  const auto changed = [](const TPath& path) {
    return zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow)->changedNs;
  };
  do {
    GiveTo(65534, {mini, log});
  } while (changed(mini) <= changed(full));
  auto package = SavedPackage({full, mini, log}, true, "shared");
  EXPECT_EQ(PathsOf(package->GetFilesToZip({})), (std::vector<TPath>{full, RecordOf("shared")}));
  Encrypted(*package, "shared");
  package->DeletePackage();
  EXPECT_FALSE(Exists(full));
  EXPECT_TRUE(Exists(mini) && Exists(log));
  const auto signalBefore = ::signal(SIGIO, SIG_IGN);

  // Such files are not even opened when the package is made: a lease on its
  // manifest or log holds nothing back.
  const TPath dump = AddFile("shared/app.5.dmp");
  std::vector<int> leases;
  for (const char* other : {"shared/app.5.manifest", "shared/app.5.log"}) {
    const TPath path = AddFile(other, "{}");
    ASSERT_EQ(::chown(path.NativeString().c_str(), 65534, 65534), 0);
    leases.push_back(::open(path.NativeString().c_str(), O_RDONLY));
    ASSERT_EQ(::fcntl(leases.back(), F_SETLEASE, F_WRLCK), 0) << std::strerror(errno);
  }
  std::shared_ptr<CrashPackage> bare;
  LogCapture making;
  EXPECT_NO_THROW(bare = SavedPackage({dump, TPath(dir_.Sub("shared/app.5.manifest")),
                                       TPath(dir_.Sub("shared/app.5.log"))},
                                      true, "bare"));
  for (const int lease : leases) ::close(lease);
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->GetManifest()->GetCrashArtifactFiles().size(), 1u);
  EXPECT_THAT(making.Text(), HasSubstr("Crash 'bare' goes without"));

  // A Java stack file makes a crash, and so tells its owner too.
  const std::string id = "abcdef0123456789abcdef0123456789";
  const TPath stack = AddFile("shared/jstack_x_pid_1." + id + ".txt", "Full thread dump");
  const TPath othersLog = AddFile("shared/" + id + ".log", "private");
  ASSERT_EQ(::chown(stack.NativeString().c_str(), 65533, 65533), 0);
  ASSERT_EQ(::chown(othersLog.NativeString().c_str(), 65534, 65534), 0);
  // Nor is root's file beside a user's crash that user's.
  const TPath rootsLog = AddFile("shared/" + id + "_1.log", "root's");
  const auto java = SavedPackage({stack, othersLog, rootsLog}, true, "java");
  EXPECT_EQ(java->GetManifest()->GetCrashArtifactFiles().size(), 1u);

  // The owner is the one told when the package was made: with its dump gone,
  // another user's file at its log's name is neither read nor deleted.
  const TPath gone = AddFile("shared/app.6.dmp");
  const TPath own = AddFile("shared/app.6.log", "mine");
  GiveTo(65533, {gone, own});
  auto made = SavedPackage({gone, own}, true, "made");
  made->StampFilesAsFound();
  made->Save();
  std::filesystem::remove(gone.NativeString());
  std::filesystem::remove(own.NativeString());
  const TPath theirs = AddFile("shared/app.6.log", "their secret");
  ASSERT_EQ(::chown(theirs.NativeString().c_str(), 65534, 65534), 0);
  auto loaded = CrashPackage::LoadFromFile(made->GetFilePath(), boundary_);
  const int lease = ::open(theirs.NativeString().c_str(), O_RDONLY);
  ASSERT_EQ(::fcntl(lease, F_SETLEASE, F_WRLCK), 0) << std::strerror(errno);
  LogCapture zipping;
  EXPECT_THROW(loaded->GetFilesToZip({}), zor::platform::ZorvaneException);
  ::close(lease);
  ::signal(SIGIO, signalBefore);
  EXPECT_THAT(zipping.Text(), HasSubstr("it is busy, and it belongs to user 65534, and the "
                                        "crash's dumps to user 65533"));
  loaded->DeletePackage();
  EXPECT_TRUE(Exists(theirs));

  // Files that change owner after the package is made (root hands them to
  // a user) are still the ones it was made of.
  const TPath movedDump = AddFile("shared/app.7.dmp");
  const TPath movedLog = AddFile("shared/app.7.log", "moved");
  const TPath movedManifest = AddFile("shared/app.7.manifest", "{}");
  auto moved = SavedPackage({movedDump, movedLog, movedManifest}, true, "moved");
  moved->StampFilesAsFound();
  GiveTo(65534, {movedDump, movedLog, movedManifest});
  // Busy, such a file makes the crash wait, as its owner's would.
  const auto ignored = ::signal(SIGIO, SIG_IGN);
  const int busy = ::open(movedDump.NativeString().c_str(), O_RDONLY);
  ASSERT_EQ(::fcntl(busy, F_SETLEASE, F_WRLCK), 0) << std::strerror(errno);
  EXPECT_THROW(moved->GetFilesToZip({}), ShortOfResources);
  ::close(busy);
  ::signal(SIGIO, ignored);
  EXPECT_EQ(PathsOf(moved->GetFilesToZip({})),
            (std::vector<TPath>{movedDump, movedLog, RecordOf("moved")}));
  // The application's manifest, which the record stands for, goes with them.
  Encrypted(*moved, "moved");
  moved->DeletePackage();
  EXPECT_FALSE(Exists(movedManifest) || Exists(movedDump) || Exists(movedLog));

  // An older version's status file tells no owner: with the dumps gone, no
  // other file than the one it was made of is taken at a name.
  const TPath oldDump = AddFile("shared/app.8.dmp");
  const TPath oldLog = AddFile("shared/app.8.log", "mine");
  auto older = SavedPackage({oldDump, oldLog}, true, "older");
  older->StampFilesAsFound();
  // Its zip stamped its record in the data directory too, which is root's.
  Zipped(*older, "older");
  older->Save();
  AsOlderVersion(*older, R"(,"crash-owner":\d+)");
  std::filesystem::remove(oldDump.NativeString());
  std::filesystem::remove(oldLog.NativeString());
  const TPath planted = AddFile("shared/app.8.log", "their secret");
  const TPath plantedDump = AddFile("shared/app.8.dmp", "their dump");
  // Root's file at a name is no more the crash's than another user's.
  ASSERT_EQ(::chown(plantedDump.NativeString().c_str(), 65534, 65534), 0);
  LogCapture unknown;
  EXPECT_THROW(CrashPackage::LoadFromFile(older->GetFilePath(), boundary_)->GetFilesToZip({}),
               zor::platform::ZorvaneException);
  EXPECT_THAT(unknown.Text(), HasSubstr("it is not the file the package was made of"));
}

// An older version's stamps keep no birth time: its dump, copied in with its
// time kept (born after that time, but before the package was made), is
// still the one the package was made of, and tells its owner.
TEST_F(CrashPackageTest, AnOlderVersionsStampKnowsACopyThatKeptItsTime) {
  const TPath dump = AddFile("shared/app.9.dmp");
  std::filesystem::last_write_time(
      dump.NativeString(), std::filesystem::file_time_type::clock::now() - std::chrono::hours(24));
  if (zor::platform::IdentifyPath(dump, zor::platform::LinkHandling::kDoNotFollow)->birthNs == 0) {
    GTEST_SKIP() << "this file system keeps no birth times";
  }
  auto older = SavedPackage({dump}, true, "copied");
  Zipped(*older, "copied");
  AsOlderVersion(*older, R"(,"crash-owner":\d+)");
  AsOlderVersion(*older, R"((\[\d+,\d+,\d+,-?\d+),\d+\])", "$1]", true);
  ASSERT_EQ(StatusText(*older).find("crash-owner"), std::string::npos);
  const auto loaded = CrashPackage::LoadFromFile(older->GetFilePath(), boundary_);
  EXPECT_EQ(loaded->GetCrashOwner(), std::optional<uid_t>(::geteuid()));
}

// One that stamped nothing either stands for the files born before it was
// made: another user's dump made at its name since is neither zipped nor
// deleted with it. Where its dump folder keeps no birth times, a file
// changed since it was made may have been, and is not taken either.
TEST_F(CrashPackageTest, AnOlderVersionsUnstampedPackageTakesNoFileMadeSince) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
  const auto bornBy = [](const TPath& path) {
    return zor::platform::LatestBirthNs(
        *zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow));
  };
  const bool bare = MountBareFolder();
  // Its record in the data directory, or (much older) its application's
  // manifest in place: then its status file dates it.
  for (const auto& [folder, inPlace] :
       {std::pair{"shared", false}, std::pair{"shared", true}, std::pair{"bare", false}}) {
    SCOPED_TRACE(std::string(folder) + (inPlace ? " in place" : ""));
    if (folder == std::string("bare") && !bare) continue;
    const std::string name = inPlace ? "app.11" : "app.10";
    const TPath dump = AddFile(folder + ("/" + name) + ".dmp");
    std::set<TPath> files{dump};
    if (inPlace)
      files.insert(Manifest("shared/" + name + ".manifest", Record(dump.NativeString())));
    auto older = SavedPackage(files, true, name);
    AsOlderVersion(*older, R"(,"crash-owner":\d+)", "", true);
    AsOlderVersion(*older, R"(,"zipped-files":\{[^}]*\})", "", true);
    ASSERT_EQ(StatusText(*older).find("zipped-files"), std::string::npos);
    const auto made = zor::platform::IdentifyPath(older->GetFilePath(),
                                                  zor::platform::LinkHandling::kDoNotFollow);
    if (made->birthNs == 0) GTEST_SKIP() << "this file system keeps no birth times";
    // A run loads it once before the user's file is made, and once after;
    // each save between makes the status file anew.
    auto first = CrashPackage::LoadFromFile(older->GetFilePath(), boundary_);
    // Its clock ticks coarsely: the new file is made once it has moved on.
    std::filesystem::remove(dump.NativeString());
    do {
      AddFile(folder + ("/" + name) + ".dmp", "their dump");
    } while (bornBy(dump) <= made->birthNs && std::filesystem::remove(dump.NativeString()));
    ASSERT_EQ(::chown(dump.NativeString().c_str(), 65534, 65534), 0);
    first->Save();
    auto loaded = CrashPackage::LoadFromFile(older->GetFilePath(), boundary_);
    EXPECT_THROW(loaded->GetFilesToZip({}), zor::platform::ZorvaneException);
    loaded->DeletePackage();
    EXPECT_EQ(ReadFile(dump.NativeString()), "their dump");
    std::filesystem::remove(older->GetFilePath().NativeString());
  }
}

// Where the dump folder keeps no birth times, nothing but the change time
// (which no one can set back) tells a file made anew at a freed inode, its
// size and modification time copied, from the one stamped: a stamped file
// whose change time moved is not taken for it, and is deleted only as the
// crash owner's (so one given to another user since stays).
// So is a stamp of an older version, which kept neither: a file changed
// after the package's files were made is not the one stamped.
TEST_F(CrashPackageTest, WithoutBirthTimesAStampKnowsItsFileByItsChangeTime) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a file system";
  if (!MountBareFolder()) GTEST_SKIP() << "cannot mount ramfs: " << std::strerror(errno);
  const auto identify = [](const TPath& path) {
    return *zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
  };
  for (const bool older : {false, true}) {
    for (const bool givenAway : {false, true}) {
      SCOPED_TRACE(std::string(older ? "older stamp" : "stamp") +
                   (givenAway ? ", given away" : ""));
      const TPath dump = AddFile("bare/app.14.dmp");
      auto package = SavedPackage({dump}, true, "bare");
      package->GetFilesToZip({});
      const TPath encrypted = AddFile("data/bare.enc");
      package->RecordEncryption(encrypted, AddFile("data/bare.meta"));
      if (older) AsOlderVersion(*package, R"((\[\d+,\d+,\d+,-?\d+)(,-?\d+)+\])", "$1]");
      const int64_t made = zor::platform::LatestBirthNs(identify(encrypted));
      // Its clock ticks coarsely: given away once it has moved on.
      while (givenAway && identify(dump).changedNs <= made) {
        ASSERT_EQ(::chown(dump.NativeString().c_str(), 65534, 65534), 0);
      }
      CrashPackage::LoadFromFile(package->GetFilePath(), boundary_)->DeletePackage();
      EXPECT_EQ(Exists(dump), givenAway);
      std::filesystem::remove(dump.NativeString());
    }
  }
}

// An application's completed manifest serves as its crash's record, in its
// dump folder: another user's file made at its name since (the crash's own
// gone) is neither sent as the record nor deleted with the crash.
TEST_F(CrashPackageTest, AnotherUsersFileAtTheRecordsNameIsNotTheRecord) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to other users";
  const TPath dump = AddFile("shared/app.3.dmp");
  const TPath manifest = Manifest("shared/app.3.manifest", Record(dump.NativeString()));
  auto package = SavedPackage({dump, manifest}, true, "app.3");
  ASSERT_EQ(package->GetDataFilePath(DataFileKind::kManifestFile), manifest);
  package->StampFilesAsFound();
  package->Save();
  std::filesystem::remove(manifest.NativeString());
  AddFile("shared/app.3.manifest", R"({"secret":"theirs"})");
  ASSERT_EQ(::chown(manifest.NativeString().c_str(), 65534, 65534), 0);
  auto loaded = CrashPackage::LoadFromFile(package->GetFilePath(), boundary_);
  try {
    loaded->GetFilesToZip({});
    ADD_FAILURE() << "another user's manifest was zipped as the record";
  } catch (const zor::platform::ZorvaneException& e) {
    EXPECT_THAT(e.GetConcatenatedMessages().toStdString(), HasSubstr("is not the crash's record"));
  }
  loaded->DeletePackage();
  EXPECT_THAT(ReadFile(manifest.NativeString()), HasSubstr("theirs"));
}

// A crash's files may name another crash's dumps (a manifest the application
// completed, a log's chain): that crash goes in its own package, so this one
// neither zips nor deletes them.
TEST_F(CrashPackageTest, AnotherCrashsDumpsAreNeitherZippedNorDeleted) {
  const TPath dump = AddFile("dumps/app.1.dmp");
  const TPath log = AddFile("dumps/app.1.log", "x");
  const std::vector<TPath> others = {AddFile("dumps/app.2.dmp"), AddFile("dumps/app.2.manifest"),
                                     AddFile("dumps/sub/app.1.dmp")};
  std::string records = Record(dump.NativeString()) + "," + Record(log.NativeString());
  for (const TPath& other : others) records += "," + Record(other.NativeString());
  const TPath manifest = Manifest("dumps/app.1.manifest", records);
  LogCapture capture;
  auto package = SavedPackage({dump, log, manifest});
  EXPECT_EQ(PathsOf(package->GetFilesToZip({})), (std::vector<TPath>{dump, log, manifest}));
  EXPECT_THAT(capture.Text(), HasSubstr("Skipping 3 file(s) that '" + manifest.NativeString() +
                                        "' names of other crashes"));
  Encrypted(*package, "app.1");
  package->DeletePackage();
  EXPECT_FALSE(Exists(dump));
  for (const TPath& other : others) EXPECT_TRUE(Exists(other)) << other.ToString();

  const std::string chained = dir_.Sub("dumps/app.3.log");
  const TPath chainedLog = AddFile(
      "dumps/app.3.log", R"({"k":"open-log","v":{"path":")" + chained + "\"}}\n" +
                             R"({"k":"rotate-log","v":{"new-path":")" + others[0].NativeString() +
                             R"(","old-path":")" + chained + "\"}}\n");
  LogCapture chainCapture;
  CrashPackage fromListing("app.3", {AddFile("dumps/app.3.dmp"), chainedLog}, true, {}, Data(),
                           boundary_);
  EXPECT_EQ(Permissions(fromListing).count(others[0]), 0u);
  EXPECT_THAT(chainCapture.Text(), HasSubstr("Skipping '" + others[0].NativeString() +
                                             "', which the rotated log chain of '" + chained));
}

using CrashPackageTrustTest = CrashPackageTest;

TEST_F(CrashPackageTrustTest, ManifestListingIsFollowedOnlyInsideTheDumpDirectories) {
  const zor::test::ScopedTempDir outside_;
  const TPath secret = TPath(outside_.Sub("secret.txt"));
  WriteFile(secret.NativeString(), "not for upload");
  std::filesystem::create_directories(dir_.Sub("dumps"));
  std::filesystem::create_directory_symlink(outside_.path(), dir_.Sub("dumps/out"));
  const TPath dump = AddFile("dumps/app.6.dmp");
  const auto record = [](const std::string& path) { return Record(path) + ","; };
  // Over the size limit by what it claims: never read.
  const TPath big = AddFile("dumps/app.6-full.dmp");
  std::filesystem::resize_file(big.NativeString(), 1024 * 1024 + 1);
  std::string records = record(dump.NativeString()) + record(big.NativeString());
  // Many files that are not there: the Warn lines stop, a count says the rest.
  for (int i = 0; i < 25; ++i) records += record(dir_.Sub("dumps/gone/" + std::to_string(i)));
  // And as many that are there, outside: refused when read and when deleted.
  for (int i = 0; i < 25; ++i) {
    const std::string name = outside_.Sub("z" + std::to_string(i));
    WriteFile(name, "outside");
    records += record(name);
  }
  const TPath manifestPath = Manifest("dumps/app.6.manifest",
                                      records + record(secret.NativeString()) +
                                          record("/../" + dir_.Sub("dumps/out/secret.txt")) + "{}");
  WriteFile(dir_.Sub("c.yml"), "servercrashupload.data.dir: " + dir_.Sub("data") +
                                   "\nservercrashupload.max_artifact_size_mb: 1\n");
  Config config;
  config.Load(TPath(dir_.Sub("c.yml")));
  Config::SetTestInstance(&config);
  auto package = SavedPackage({dump, manifestPath});

  LogCapture capture;
  std::vector<Package::FileToZip> files = package->GetFilesToZip({});
  EXPECT_EQ(PathsOf(files), (std::vector<TPath>{dump, manifestPath}));
  Config::SetTestInstance(nullptr);
  // Grown past the limit once checked (a sparse terabyte, say): the zip
  // takes only what was checked.
  std::filesystem::resize_file(dump.NativeString(), 2 * 1024 * 1024);
  ZipFile zip;
  ASSERT_TRUE(zip.Open(TString(dir_.Sub("grown.zip"))));
  zip.Add(files[0].file, "grown.dmp", files[0].maxBytes);
  zip.Close();
  const zor::test::ZipListing listing = zor::test::ReadZipIndependently(dir_.Sub("grown.zip"));
  ASSERT_EQ(listing.entries.size(), 1u) << listing.error;
  EXPECT_EQ(listing.entries[0].size, std::string("crash data").size());
  package->DeletePackage();

  const std::string log = capture.Text();
  EXPECT_THAT(log,
              AllOf(HasSubstr("Skipping '" + big.NativeString() + "' of package"),
                    HasSubstr("Skipping 33 more file(s) that '" + manifestPath.NativeString()),
                    HasSubstr("Not deleting '" + secret.NativeString() + "'"),
                    HasSubstr("Not deleting 8 more file(s) that '" + manifestPath.NativeString())));
  const auto count = [&log](const std::string& line) {
    size_t n = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("Skipping '"), 20u + 1u);       // the refused ones shown, and the one too large
  EXPECT_EQ(count("Deleting dump file '"), 20u);  // of the 55 named, and then a count
  EXPECT_THAT(log, HasSubstr("Deleting 35 more dump files of package"));
  EXPECT_EQ(count("Not deleting '"), 20u);
  EXPECT_FALSE(Exists(dump));
  EXPECT_EQ(ReadFile(secret.NativeString()), "not for upload");
  EXPECT_FALSE(Exists(package->GetFilePath()));
}

// One file that a manifest names under many names (hard links, a path
// through a link to its folder) is zipped once.
TEST_F(CrashPackageTrustTest, OneFileUnderManyNamesIsZippedOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the crash to another user";
  const TPath dump = AddFile("dumps/app.9.dmp");
  std::string records = Record(dump.NativeString());
  // Not dumps by name: another name of a dump would make a crash of its own.
  for (int i = 0; i < 3; ++i) {
    const std::string link = dir_.Sub("dumps/app.9-" + std::to_string(i) + ".bin");
    std::filesystem::create_hard_link(dump.NativeString(), link);
    records += "," + Record(link);
  }
  std::filesystem::create_directory_symlink(".", dir_.Sub("dumps/again"));
  records += "," + Record(dir_.Sub("dumps/again/app.9-0.bin"));
  const TPath manifestPath = Manifest("dumps/app.9.manifest", records);
  // A user's own names: root's would not be read through links at all.
  for (const std::string& path : {dir_.Sub("dumps"), dump.NativeString(), dir_.Sub("dumps/again"),
                                  manifestPath.NativeString()}) {
    ASSERT_EQ(::lchown(path.c_str(), 65534, 65534), 0);
  }
  auto package = SavedPackage({dump, manifestPath});
  LogCapture capture;
  // The dump, first in the zip, and the manifest.
  EXPECT_EQ(PathsOf(package->GetFilesToZip({})), (std::vector<TPath>{dump, manifestPath}));
  EXPECT_THAT(capture.Text(), HasSubstr("Skipping 4 name(s) that '" + manifestPath.NativeString() +
                                        "' gives a file that is already in this zip"));
}

// A log that two crashes name goes up once a run, with the first crash's
// zip: the second neither sends nor deletes it, so that it stays while the
// first is not sent (given up, it keeps its files).
TEST_F(CrashPackageTest, AFileAnotherCrashsZipHoldsIsThatCrashsToDelete) {
  const TPath log = AddFile("dumps/shared.log", "both crashes' log");
  const auto crash = [&](const std::string& name) {
    const TPath dump = AddFile("dumps/" + name + ".dmp");
    return std::set<TPath>{dump, Manifest("dumps/" + name + ".manifest",
                                          Record(dump.NativeString()) + "," + R"({"filename":")" +
                                              log.NativeString() + R"(","type":"ErrorLog"})")};
  };
  auto first = SavedPackage(crash("app.1"), true, "first");
  auto second = SavedPackage(crash("app.2"), true, "second");
  Package::ZippedElsewhere zippedThisRun;
  for (const Package::FileToZip& file : first->GetFilesToZip({})) {
    zippedThisRun[{file.file.Identify()->device, file.file.Identify()->inode}] = {
        *file.file.Identify(), first->GetPackageName()};
  }
  ASSERT_EQ(zippedThisRun.size(), 3u);  // dump, log, manifest
  const auto files = PathsOf(second->GetFilesToZip(zippedThisRun));
  EXPECT_EQ(std::count(files.begin(), files.end(), log), 0);
  Encrypted(*second, "second");
  EXPECT_EQ(second->GetZippedFiles().count(log), 0u);
  second->DeletePackage();
  EXPECT_FALSE(Exists(dir_.Sub("dumps/app.2.dmp")));
  EXPECT_EQ(ReadFile(log.NativeString()), "both crashes' log");
  // A crash whose dump itself went in the other zip waits: sent now, it
  // would be its manifest and the log alone.
  auto third = SavedPackage({AddFile("dumps/app.1.manifest", "{}"), dir_.Sub("dumps/app.1.dmp")},
                            true, "third");
  EXPECT_THROW(third->GetFilesToZip(zippedThisRun), zor::platform::ZorvaneException);
}

// A manifest naming thousands of files must not make the package's status
// file too large to save (every later save would fail, and the package
// would be zipped again each run, never given up): the dump's stamp stays,
// the names past the room are not recorded, so those files stay.
TEST_F(CrashPackageTrustTest, StampsStopWhereTheStatusFileWouldGrowTooLarge) {
  const TPath dump = AddFile("dumps/app.3.dmp");
  std::string records = Record(dump.NativeString());
  std::string longName;
  for (int i = 0; i < 120; ++i) longName += "\u00e9";  // written as 720 bytes
  constexpr int kNamed = 6000;                         // past the room of 4 MiB
  for (int i = 0; i < kNamed; ++i) {
    const std::string name = dir_.Sub("dumps/" + std::to_string(i) + longName);
    WriteFile(name, "");
    records += R"(,{"filename":")" + name +
               R"(","type":"ErrorLog","upload-permission":"NotAllowedFileTypeDisabledByAdmin"})";
  }
  // So large a list is no application's: an earlier version's status file
  // names it as the manifest it completed in place.
  const TPath manifestPath = Manifest("dumps/app.3.manifest", records);
  const TPath status = Data() / "app.3.crash-package.pending";
  WriteFile(status.NativeString(), std::string(R"({"package-name":")") + kId +
                                       R"(","package-data-files":{"manifest-file":")" +
                                       manifestPath.NativeString() + "\"}}");
  auto package = CrashPackage::LoadFromFile(status, boundary_);
  LogCapture capture;
  Zipped(*package, "p");
  const auto& stamps = package->GetZippedFiles();
  EXPECT_EQ(stamps.count(dump), 1u);
  EXPECT_LT(stamps.size(), static_cast<size_t>(kNamed));
  EXPECT_LT(std::filesystem::file_size(package->GetFilePath().NativeString()),
            Package::kMaxStampBytes + (64 << 10));
  EXPECT_THAT(capture.Text(), HasSubstr("of its crash files are not recorded"));
}

// A manifest another user wrote, in that user's folder, names root's file
// beside the user's dump, and a file in root's folder: only the user's own
// files are zipped and deleted, and root's folder stays.
TEST_F(CrashPackageTrustTest, AnotherUsersManifestNeitherZipsNorDeletesRootsFile) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the crash to another user";
  constexpr uid_t kNobody = 65534;
  std::filesystem::create_directories(dir_.Sub("dumps"));
  const TPath dump = AddFile("dumps/app.7.dmp");
  const TPath rootsFile = AddFile("dumps/root.7.dmp", "root's");
  // Named first, so taken for the crash's own directory: empty, and root's.
  const std::string rootsFolder = dir_.Sub(std::string("dumps/") + kId + ".crash");
  std::filesystem::create_directories(rootsFolder);
  const TPath manifestPath = AddFile(
      "dumps/app.7.manifest",
      R"({"manifest-version":"1.1","crash-artifact-files":[)" + Record(rootsFolder + "/a.dmp") +
          "," + Record(dump.NativeString()) + "," + Record(rootsFile.NativeString()) + "]}");
  for (const std::string& path : {dir_.Sub("dumps"), dump.NativeString(),
                                  manifestPath.NativeString()}) {
    ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
  }
  auto package = SavedPackage({dump, manifestPath});

  EXPECT_EQ(PathsOf(package->GetFilesToZip({})), (std::vector<TPath>{dump, manifestPath}));
  package->DeletePackage();

  EXPECT_FALSE(Exists(dump));
  EXPECT_EQ(ReadFile(rootsFile.NativeString()), "root's");
  EXPECT_TRUE(std::filesystem::is_directory(rootsFolder));
}

// A log's chain of older files ends, logged, at a file that cannot be read or
// that belongs to another owner than the newer one's; the log itself still goes.
TEST_F(CrashPackageTrustTest, RotatedChainStopsAtAMissingFileOrOneOfAnotherOwner) {
  {
    const TPath dump = AddFile("unreadable/app.3.dmp");
    const TPath log = AddFile("unreadable/app.3.log", R"({"k":"open-log","v":{"path":")" +
                                                          dir_.Sub("gone/app.2.log") + "\"}}\n");
    LogCapture capture;
    CrashPackage package(kId, {dump, log}, true, {}, Data(), boundary_);
    EXPECT_THAT(capture.Text(), HasSubstr("ends before '" + dir_.Sub("gone/app.2.log") + "'"));
    EXPECT_EQ(Permissions(package), (std::map<TPath, Permission>{{dump, Permission::kAllowed},
                                                                 {log, Permission::kAllowed}}));
  }
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the log to another user";
  const TPath dump = AddFile("dumps/app.4.dmp");
  TLog::TimeBasedRotateFileChannel channel(TPath(dir_.Sub("dumps/app.4.log")), 0);
  channel.Open();
  const TPath older = channel.GetPath();
  channel.Append(TLog::Info, {"msg", TLog::Literal::String("line"), std::nullopt});
  channel.DoRotate();
  const TPath newest = channel.GetPath();
  channel.Append(TLog::Info, {"msg", TLog::Literal::String("line"), std::nullopt});
  channel.Flush();
  // The newest log is the other user's word about a file of root's (a crash
  // of that user's, or the log would not be the crash's at all).
  constexpr uid_t kNobody = 65534;
  for (const TPath& path : {dump, newest}) {
    ASSERT_EQ(::chown(path.NativeString().c_str(), kNobody, kNobody), 0);
  }

  LogCapture capture;
  CrashPackage untrusted(kId, {dump, newest}, true, {}, Data(), boundary_);
  EXPECT_EQ(Permissions(untrusted), (std::map<TPath, Permission>{{dump, Permission::kAllowed},
                                                                 {newest, Permission::kAllowed}}));
  EXPECT_THAT(capture.Text(), HasSubstr("ends before '" + older.NativeString() + "'"));

  // Given to the same user, the older file is followed.
  ASSERT_EQ(::chown(older.NativeString().c_str(), kNobody, kNobody), 0);
  CrashPackage trusted(kId, {dump, newest}, true, {}, Data(), boundary_);
  EXPECT_EQ(Permissions(trusted).count(older), 1u);
}

}  // namespace
}  // namespace ZorErrorReporting
