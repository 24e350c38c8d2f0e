// The program's own crash, end to end: simulate-crash leaves a crash
// directory, send-crashes packages and uploads it to the local crash server,
// and the server decrypts what arrived.
//
// Skipped in sanitizer builds: the program's full dump would hold the
// sanitizer's shadow memory (see src/main/crash_simulation_test.cc).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "files/zip_test_reader.h"
#include "platform/sanitizer_build.h"
#include "support/local_crash_server.h"
#include "support/minidump_probe.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "support/tiny_proxy.h"

namespace zor::test {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
namespace fs = std::filesystem;

// The decrypted zip of the one crash the server holds, written to `zipPath`;
// not ok, with the reason, when not exactly one arrived or it does not decrypt.
ZipListing OnlyArrivedZip(const LocalCrashServer& server, const std::string& zipPath) {
  const std::vector<std::string> crashIds = server.CrashIds();
  ZipListing zip;
  if (crashIds.size() != 1) {
    zip.error = std::to_string(crashIds.size()) + " crashes arrived";
  } else if (server.DecryptZip(crashIds[0], zipPath, &zip.error)) {
    zip = ReadZipIndependently(zipPath);
  }
  return zip;
}

// Writes `dir`/`name`, a configuration that sends the crashes of `dumps` to
// `server`, and returns its path; the log goes to `logs`.
std::string WriteConfig(const LocalCrashServer& server, const ScopedTempDir& dir,
                        const std::string& dumps, const std::string& logs,
                        const std::string& name = "config.yml", const std::string& extra = "") {
  WriteFile(dir.Sub(name), server.Settings(dir.Sub("data"), dumps, logs) + extra);
  return dir.Sub(name);
}

// The program run in `dir`, with its home there and no core file.
ProcessResult RunIn(const ScopedTempDir& dir, const std::vector<std::string>& args,
                    ProcessOptions options = {}) {
  options.workingDirectory = dir.path();
  options.environment.emplace("HOME", dir.Sub("home"));
  options.noCoreDump = true;
  return RunProcess(ProgramPath(), args, options);
}

// A send-crashes run in `dir` with `config` (and `extra` arguments) that
// ends well.
void SendCrashesIn(const ScopedTempDir& dir, const std::string& config,
                   std::vector<std::string> extra = {}) {
  extra.insert(extra.begin(), {"--command", "send-crashes", "--config-file", config});
  const ProcessResult run = RunIn(dir, extra);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
}

TEST(CrashUploadTest, SimulatedCrashArrivesWithItsManifestDumpsAndRotatedLogs) {
  if (ZOR_SHADOW_SANITIZER) GTEST_SKIP() << "see the file comment";
  LocalCrashServer server;
  ScopedTempDir dir;
  // The log directory is the dump directory too, so that the rotated logs a
  // crash names lie where the program may read them.
  const std::string config = WriteConfig(server, dir, dir.Sub("logs"), dir.Sub("logs"));
  // Six rotations make a chain of seven files, one more than is sent whole.
  const ProcessResult crash = RunIn(
      dir, {"--command", "simulate-crash", "--type", "MultipleCrashes", "--config-file", config,
            "--rotate-log-n-times", "6", "--rotate-log-interval", "1", "--enable-features",
            "crash-handler"});
  // Which threads the dump holds, and what lldb shows of them, is
  // crash_handling_test.cc's.
  ASSERT_EQ(crash.status, 128 + SIGSEGV) << crash.out << crash.err;
  SendCrashesIn(dir, config);
  if (HasFatalFailure()) return;

  const ZipListing zip = OnlyArrivedZip(server, dir.Sub("arrived.zip"));
  ASSERT_TRUE(zip.ok) << zip.error;
  std::vector<std::string> names;
  for (const ZipEntryInfo& e : zip.entries) names.push_back(fs::path(e.name).filename().string());

  // The manifest, the minidump and the full dump.
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) {
                            return n.ends_with(".manifest") || n.ends_with(".dmp");
                          }),
            3)
      << ::testing::PrintToString(names);
  // The crash's copy of the newest log, then the older files but the middle one.
  EXPECT_THAT(names, IsSupersetOf({"zorcrashreporter_6.txt", "zorcrashreporter_5.txt",
                                   "zorcrashreporter_4.txt", "zorcrashreporter_2.txt",
                                   "zorcrashreporter_1.txt", "zorcrashreporter.txt"}));
  EXPECT_THAT(names, Not(Contains("zorcrashreporter_3.txt")));
}

// A crash cut short (killed while writing the full dump, a disk that fills,
// a handler killed before its move) still reaches the server with a minidump
// that lldb opens, and nothing is left in the crash handler's temp folder.
// The dump directories name none of the program's own: it collects its
// crashes by default.
TEST(CrashUploadTest, CrashCutShortStillArrivesWithItsMinidump) {
  if (ZOR_SHADOW_SANITIZER) GTEST_SKIP() << "see the file comment";
  enum class Cut { kKillDuringFullDump, kFullDisk, kKilledBeforeTheMove };
  struct Case {
    const char* name;
    Cut cut;
    int status;
    const char* inManifest;
  };
  const Case cases[] = {
      {"killed during the full dump", Cut::kKillDuringFullDump, 128 + SIGKILL,
       "\"full-dump\":\"missing: the crash handler did not finish it\""},
      {"killed before the move", Cut::kKilledBeforeTheMove, 128 + SIGSEGV,
       "\"adopted\":\"the crash handler ended before"},
      // Last: without root it skips the rest.
      {"full disk", Cut::kFullDisk, 128 + SIGSEGV,
       "\"full-dump\":\"missing: writing it failed\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LocalCrashServer server;
    ScopedTempDir dir;
    const std::string logs = dir.Sub("logs");
    const std::string dumps = logs + "/crashdumps";
    fs::create_directories(logs);
    if (c.cut == Cut::kFullDisk) {
      // Room for the log, the minidump and the manifest, not for the full dump.
      if (mount("tmpfs", logs.c_str(), "tmpfs", 0, "size=4m,mode=0700") != 0) {
        GTEST_SKIP() << "mounting a tmpfs needs root: " << strerror(errno);
      }
    }
    struct Unmount {
      std::string path;
      bool mounted;
      ~Unmount() {
        if (mounted) umount2(path.c_str(), MNT_DETACH);
      }
    } unmount{logs, c.cut == Cut::kFullDisk};
    const std::string config = WriteConfig(server, dir, dir.Sub("elsewhere"), logs);
    ProcessOptions options;
    std::atomic<bool> seen{false}, over{false};
    std::thread watcher;
    if (c.cut == Cut::kKillDuringFullDump) {
      // Kills the program once a full dump is being written; it watches the
      // directory rather than sleeping.
      options.started = [&](int pid) {
        watcher = std::thread([&, pid] {
          while (!over.load()) {
            for (const std::string& crash : FindCrashDirectories(dumps)) {
              for (const std::string& name : ListFileNames(crash)) {
                if (!name.ends_with("-full.dmp.temp")) continue;
                seen.store(true);
                kill(pid, SIGKILL);
                return;
              }
            }
            std::this_thread::yield();
          }
        });
      };
    }

    // 128 MiB of heap: a full dump that takes a while and does not fit 4 MiB.
    const ProcessResult crash = RunIn(
        dir, {"--command", "simulate-crash", "--config-file", config, "--min-crash-size", "131072"},
        options);
    over.store(true);
    if (watcher.joinable()) watcher.join();
    ASSERT_EQ(crash.status, c.status) << crash.out << crash.err;
    EXPECT_EQ(seen.load(), c.cut == Cut::kKillDuringFullDump);
    if (c.cut == Cut::kKilledBeforeTheMove) {
      // What a handler killed before its move leaves: the directory in the
      // temp folder, its manifest not yet written.
      const std::vector<std::string> crashes = FindCrashDirectories(dumps);
      ASSERT_EQ(crashes.size(), 1u);
      for (const std::string& name : ListFileNames(crashes[0])) {
        if (name.ends_with(".manifest")) fs::remove(crashes[0] + "/" + name);
      }
      fs::rename(crashes[0], dumps + "/temp/" + fs::path(crashes[0]).filename().string() + ".temp");
    }

    SendCrashesIn(dir, config);
    if (HasFatalFailure()) return;
    EXPECT_TRUE(ListFileNames(dumps + "/temp").empty());
    const ZipListing zip = OnlyArrivedZip(server, dir.Sub("arrived.zip"));
    ASSERT_TRUE(zip.ok) << zip.error;
    std::string minidump, manifest;
    for (const ZipEntryInfo& e : zip.entries) {
      const std::string name = fs::path(e.name).filename().string();
      if (name.ends_with(".manifest")) manifest = e.content;
      if (name.ends_with(".dmp") && !name.ends_with("-full.dmp")) minidump = e.content;
      if (c.cut != Cut::kKilledBeforeTheMove) {
        EXPECT_FALSE(name.ends_with("-full.dmp")) << name;
      }
    }
    EXPECT_THAT(manifest, HasSubstr(c.inManifest));
    WriteFile(dir.Sub("arrived.dmp"), minidump);
    EXPECT_THAT(RunLldbOnCores({dir.Sub("arrived.dmp")}, {"thread list"})[0],
                HasSubstr("stop reason = signal SIGSEGV"));
  }
}

// The program's own minidump holds its threads' stacks, which the server
// gets whatever the full dumps setting: a crash in the middle of a request
// through a proxy that wants credentials leaves neither the proxy's user
// nor its password there, however short (a short string lives on the
// stack), nor its environment (whose strings top the main thread's stack).
TEST(CrashUploadTest, AnOwnCrashDuringARequestLeavesTheProxyCredentialsOutOfItsMinidump) {
  if (ZOR_SHADOW_SANITIZER) GTEST_SKIP() << "see the file comment";
  for (const std::string& password :
       {std::string("pw8chars"), std::string("Fifteench4rsXYZ"), std::string(40, 'q')}) {
    SCOPED_TRACE(password);
    const std::string user = "proxyuser7";
    LocalCrashServer server;
    TinyProxy proxy(user, password);
    ScopedTempDir dir;
    const std::string logs = dir.Sub("logs");
    const std::string dumps = dir.Sub("dumps");
    WriteFile(dumps + "/app.1.dmp", "MDMP of the application");
    fs::last_write_time(dumps + "/app.1.dmp",
                        fs::file_time_type::clock::now() - std::chrono::minutes(5));
    const std::string config = WriteConfig(
        server, dir, dumps, logs, "config.yml",
        "servercrashupload.proxy_server_host: 127.0.0.1\n"
        "servercrashupload.proxy_server_port: " +
            std::to_string(proxy.Port()) + "\nservercrashupload.proxy_server_username: " + user +
            "\nservercrashupload.proxy_server_password: " + password + "\n");
    server.AddFault("part", 1, "hold");
    // Crashes the program once its part request waits at the server.
    ProcessOptions options;
    const std::string secret = "EnvSecret-" + password;
    options.environment.emplace("SOME_TOKEN", secret);
    std::atomic<bool> over{false};
    std::thread watcher;
    options.started = [&](int pid) {
      watcher = std::thread([&, pid] {
        while (!over.load()) {
          if (server.RequestsJson().find("\"kind\":\"part\"") != std::string::npos) {
            kill(pid, SIGSEGV);
            return;
          }
          std::this_thread::yield();
        }
      });
    };
    const ProcessResult run =
        RunIn(dir, {"--command", "send-crashes", "--config-file", config}, options);
    over.store(true);
    if (watcher.joinable()) watcher.join();
    server.Release();
    ASSERT_EQ(run.status, 128 + SIGSEGV) << run.out << run.err;
    const std::vector<std::string> crashes = FindCrashDirectories(logs + "/crashdumps");
    ASSERT_EQ(crashes.size(), 1u);
    int minidumps = 0;
    for (const std::string& name : ListFileNames(crashes[0])) {
      if (!name.ends_with(".dmp") || name.ends_with("-full.dmp")) continue;
      ++minidumps;
      const std::string bytes = ReadFile(crashes[0] + "/" + name);
      EXPECT_EQ(bytes.find(password), std::string::npos) << name;
      EXPECT_EQ(bytes.find(user), std::string::npos) << name;
      EXPECT_EQ(bytes.find(secret), std::string::npos) << name;
    }
    EXPECT_EQ(minidumps, 1);
  }
}

// An application that crashes again under the same names after the run
// that sent its crash: the new crash is sent by the next run, and neither
// deleted as sent (the run after deletes it) nor hidden by the sent one when
// sent crashes are kept.
TEST(CrashUploadTest, ANewCrashUnderAnUploadedCrashsNamesIsSentNotDeletedNorHidden) {
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "sent crashes kept" : "sent crashes deleted");
    LocalCrashServer server;
    ScopedTempDir dir;
    const std::string dump = dir.Sub("dumps/app.5.dmp");
    WriteFile(dump, "MDMP the first crash");
    WriteFile(dir.Sub("dumps/app.5.log"), "first log\n");
    const std::string config =
        WriteConfig(server, dir, dir.Sub("dumps"), dir.Sub("logs"), "config.yml",
                    keep ? "servercrashupload.delete_completed_dumps: false\n" : "");
    const auto send = [&] { SendCrashesIn(dir, config); };
    send();
    WriteFile(dump, "MDMP the second crash, another size");
    send();
    EXPECT_TRUE(fs::exists(dump));
    send();
    EXPECT_EQ(fs::exists(dump), keep);
    // A log written on is no new crash: kept, the crash is not sent again.
    WriteFile(dir.Sub("dumps/app.5.log"), "first log, and more\n");
    send();
    // But a dump its zip did not hold is, also where the sent one is gone.
    fs::remove(dump);
    WriteFile(dir.Sub("dumps/app.5-full.dmp"), "MDMP a full dump, later");
    send();
    std::vector<std::string> dumps;
    for (const std::string& crashId : server.CrashIds()) {
      std::string error;
      ASSERT_TRUE(server.DecryptZip(crashId, dir.Sub("a.zip"), &error)) << error;
      for (const ZipEntryInfo& e : ReadZipIndependently(dir.Sub("a.zip")).entries) {
        if (e.name.ends_with(".dmp")) dumps.push_back(e.content);
      }
    }
    // Each once: the runs after sent nothing again.
    std::sort(dumps.begin(), dumps.end());
    EXPECT_EQ(dumps, (std::vector<std::string>{"MDMP a full dump, later", "MDMP the first crash",
                                               "MDMP the second crash, another size"}));
  }
}

// A sent crash whose folder is out of reach for one run (renamed away, a run
// given other dump directories, a file system unmounted) keeps its record:
// once the folder is back its dump is deleted, not sent a second time.
TEST(CrashUploadTest, ASentCrashOutOfReachForARunIsDeletedLaterNotSentAgain) {
  // Each way is given the test's folder: the dump directory is dumps/, the
  // crash's folder dumps/app, when `bound` a file system of its own bound
  // from store/ (outside: one path per file).
  struct Away {
    const char* name;
    std::function<bool(const std::string& root)> leave;  // false: cannot be done here
    std::function<void(const std::string& root)> comeBack;
    bool bound = false;
    bool otherDirectories = false;
  };
  const auto bind = [](const std::string& root) {
    return ::mount((root + "/store").c_str(), (root + "/dumps/app").c_str(), nullptr, MS_BIND,
                   nullptr) == 0;
  };
  const Away ways[] = {
      {"the dump directory renamed away",
       [](const std::string& root) {
         fs::rename(root + "/dumps", root + "/away");
         return true;
       },
       [](const std::string& root) { fs::rename(root + "/away", root + "/dumps"); }},
      {"a run given other dump directories", [](const std::string&) { return true; },
       [](const std::string&) {}, false, true},
      {"the crash's file system unmounted",
       [](const std::string& root) { return ::umount((root + "/dumps/app").c_str()) == 0; },
       [&](const std::string& root) { bind(root); }, true},
  };
  for (const Away& way : ways) {
    SCOPED_TRACE(way.name);
    LocalCrashServer server;
    ScopedTempDir dir;
    const std::string dump = dir.Sub("dumps/app/app.7.dmp");
    for (const char* sub : {"dumps/app", "store", "elsewhere"})
      fs::create_directories(dir.Sub(sub));
    // Needs root and a bind mount: the other ways still count.
    if (way.bound && (::geteuid() != 0 ||
                      ::mount("tmpfs", dir.Sub("store").c_str(), "tmpfs", 0, "mode=0700") != 0 ||
                      !bind(dir.path()))) {
      continue;
    }
    WriteFile(dump, "MDMP sent once");
    const std::string config = WriteConfig(server, dir, dir.Sub("dumps"), dir.Sub("logs"));
    SendCrashesIn(dir, config);
    ASSERT_TRUE(way.leave(dir.path()));
    if (way.otherDirectories) {
      SendCrashesIn(dir, config, {"--crash-dump-directories", dir.Sub("elsewhere")});
    } else {
      SendCrashesIn(dir, config);
    }
    way.comeBack(dir.path());
    ASSERT_TRUE(fs::exists(dump));
    SendCrashesIn(dir, config);
    EXPECT_FALSE(fs::exists(dump));
    EXPECT_EQ(server.CrashIds().size(), 1u) << ReadFile(dir.Sub("logs/zorcrashreporter.txt"));
    if (way.bound) {
      ::umount(dir.Sub("dumps/app").c_str());
      ::umount(dir.Sub("store").c_str());
    }
  }
}

// Runs `script` with sh as the unprivileged user, whom it creates if need be;
// false when that cannot be done.
bool RunAsUser(const std::string& script) {
  if (std::system("id -u zortest >/dev/null 2>&1 || useradd --system --no-create-home zortest "
                  ">/dev/null 2>&1") != 0) {
    return false;
  }
  const std::string quoted = "'" + std::regex_replace(script, std::regex("'"), "'\\''") + "'";
  return std::system(("runuser -u zortest -- sh -ec " + quoted).c_str()) == 0;
}

// What one user writes into a shared dump directory must not cost another
// user's crash anything: a log naming a FIFO, a file named like the other's
// crash, a sparse file of a terabyte. Nor is a crash directory that user
// plants in a crash temp folder anyone may write adopted as the program's own.
TEST(CrashUploadTest, AnotherUsersFilesNeitherHangNorHideNorPruneACrash) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  LocalCrashServer server;
  ScopedTempDir dir;
  fs::permissions(dir.path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  WriteFile(dir.Sub("dumps/b/server.4711.dmp"), "MDMP root's crash");
  const std::string a = dir.Sub("dumps/a");
  fs::create_directories(a);
  if (!RunAsUser("true")) GTEST_SKIP() << "the user zortest can neither be made nor act";
  ASSERT_EQ(std::system(("chown zortest " + a).c_str()), 0);
  ASSERT_TRUE(RunAsUser("cd " + a + " && mkfifo pipe && echo MDMP > app.1.dmp && "
                        "printf '{\"k\":\"open-log\",\"v\":{\"path\":\"" + a +
                        "/pipe\"}}\\n' > app.1.log && echo mine > server.4711.log && "
                        "truncate -s 1T huge.2.dmp"));
  const std::string planted =
      dir.Sub("shared-temp/zorcrashreporter_" + std::string(32, 'a') + ".crash.temp");
  fs::create_directories(dir.Sub("shared-temp"));
  fs::permissions(dir.Sub("shared-temp"), fs::perms::all);
  ASSERT_TRUE(RunAsUser("mkdir " + planted + " && cd " + planted +
                        " && printf 'MDMP\\223\\247\\0\\0\\3\\0\\0\\0\\040\\0\\0\\0"
                        "planted by another user of this host' > zorcrashreporter.99999.dmp && "
                        "echo x > a-full.dmp && echo {} > zorcrashreporter.99999.manifest"));

  const auto config = [&](const std::string& name, const std::string& extra) {
    return WriteConfig(server, dir, dir.Sub("dumps"), dir.Sub("logs"), name,
                       "servercrashupload.retry_delay_minutes: 0\n" + extra);
  };
  // Every crash is tried once and kept for a retry; the FIFO must not hold the run.
  server.AddFault("register", 1, "status", 500, "{}", 0, 3);
  const ProcessResult first = RunIn(
      dir, {"--command", "send-crashes", "--config-file", config("1.yml", ""),
            "--crashdumps-temp-dir", dir.Sub("shared-temp")});
  ASSERT_EQ(first.status, 0) << first.out << first.err;

  // A terabyte that takes no disk makes no room for anything. A crash dump
  // folder yet to be made in a user's folder is no more the handler's own.
  const ProcessResult second = RunIn(
      dir, {"--command", "send-crashes", "--config-file",
            config("2.yml", "servercrashupload.retention.max_total_mb: 1\n"),
            "--crashdumps-temp-dir", dir.Sub("private-temp"), "--crashdumps-dir", a + "/crashes"});
  ASSERT_EQ(second.status, 0) << second.out << second.err;
  const std::string log = ReadFile(dir.Sub("logs/zorcrashreporter.txt"));
  EXPECT_THAT(log, Not(HasSubstr("Retention: deleting")));
  EXPECT_THAT(log, HasSubstr("huge.2.dmp' of package"));
  EXPECT_THAT(log, HasSubstr("ends before '" + a + "/pipe'"));
  EXPECT_TRUE(fs::exists(planted + "/a-full.dmp"));
  // Its own crash handler would write this run's memory there by name.
  EXPECT_THAT(log, HasSubstr("This program's own crashes are not reported in this run: the "
                             "folder '" +
                             dir.Sub("shared-temp") + "' is writable"));
  EXPECT_THAT(log, HasSubstr("This program's own crashes are not reported in this run: the "
                             "folder above it, '" +
                             a + "', belongs to user"));
  EXPECT_EQ(server.CrashIds().size(), 3u) << log;  // app.1, huge.2 and root's server.4711
}

}  // namespace
}  // namespace zor::test
