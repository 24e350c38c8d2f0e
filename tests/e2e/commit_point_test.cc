// Killed, or out of disk space, at every commit point: the fault build of the
// program (files/fault_point.h) counts the durable changes of one
// `send-crashes` of a crash in three parts and one `send-logs`, then each is
// replayed in a fresh data directory with the Nth change killed (first pass)
// or failed with ENOSPC (second pass), for every N. The runs that follow,
// without faults, must upload the crash and the logs exactly once, and what
// the server stored must decrypt to them; every state file must load, no file
// may be left that no status file records, and the crash's dumps must exist
// until its upload is complete. The crash is zipped and encrypted in one pass:
// its plain zip never reaches the disk.
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/local_crash_server.h"
#include "support/scoped_env.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace zor::test {
namespace {

namespace fs = std::filesystem;
using Environment = std::map<std::string, std::string>;

constexpr int64_t kPart = 64 * 1024;
constexpr char kCrash[] = "a.1";

rapidjson::Document ParseFile(const std::string& path) {
  rapidjson::Document document;
  document.Parse(ReadFile(path).c_str());
  return document;
}

// Every string anywhere in a JSON value.
void CollectStrings(const rapidjson::Value& value, std::set<std::string>* out) {
  if (value.IsString()) out->insert(value.GetString());
  if (value.IsArray()) {
    for (const auto& item : value.GetArray()) CollectStrings(item, out);
  }
  if (value.IsObject()) {
    for (const auto& member : value.GetObject()) CollectStrings(member.value, out);
  }
}

bool IsStatusFile(const std::string& name) {
  return name.find(".crash-package.") != std::string::npos ||
         name.find(".zipped-logs-package.") != std::string::npos;
}

class CommitPointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dir_.Sub("app.log"), "a log line\n");
    ASSERT_EQ(RunProcess("/usr/bin/zip", {"-j", userZip_, dir_.Sub("app.log")}).status, 0);
  }

  void Fresh() {
    for (const std::string& d : {dumps_, data_, dir_.Sub("logs")}) fs::remove_all(d);
    const std::string crash = dumps_ + "/" + kCrash + "_0.crash/";
    // Two and a half parts: three parts once zipped and encrypted.
    WriteFile(crash + kCrash + ".dmp", dump_);
    WriteFile(crash + kCrash + ".manifest", "{}");
    server_.Reset();
  }

  ProcessResult Run(std::vector<std::string> args, const Environment& faults) {
    const std::string config = dir_.Sub("c.yml");
    WriteFile(config, server_.Settings(data_, dumps_, dir_.Sub("logs")) +
                          "servercrashupload.upload_part_size_in_bytes: " + std::to_string(kPart) +
                          "\nservercrashupload.retry_delay_minutes: 0\n");
    args.insert(args.end(), {"--config-file", config});
    ProcessOptions options;
    options.workingDirectory = dir_.path();
    options.environment = faults;
    options.environment.emplace("HOME", dir_.Sub("home"));
    options.environment.emplace("XDG_CONFIG_HOME", dir_.Sub("settings"));
    return RunProcess(ProgramPath() + "-faults", args, options);
  }
  ProcessResult SendCrashes(const Environment& faults = {}) {
    return Run({"--command", "send-crashes"}, faults);
  }
  ProcessResult SendLogs(const Environment& faults = {}) {
    return Run({"--command", "send-logs", "--zipped-logs-file", userZip_, "--email",
                "ops@example.com", "--support-case-number", "4711"},
               faults);
  }
  long CountFile() const { return std::atol(ReadFile(dir_.Sub("count")).c_str()); }

  // The crash ids whose objects the server stored since the last reset, each
  // object once however often it was completed (a store that forgot a
  // completed upload has the object sent again, which replaces it: one
  // crash), split into the crash's and the others (the logs).
  std::pair<std::vector<std::string>, std::vector<std::string>> Completed() {
    rapidjson::Document requests;
    requests.Parse(server_.RequestsJson().c_str());
    std::set<std::string> uploads;
    std::pair<std::vector<std::string>, std::vector<std::string>> ids;
    for (const auto& r : requests.GetArray()) {
      if (std::string(r["kind"].GetString()) != "complete" || r["status"].GetInt() != 200) continue;
      const std::string path = r["path"].GetString();
      if (!uploads.insert(path).second) continue;
      for (const std::string& id : server_.CrashIds()) {
        if (path.find("/" + id + "/") == std::string::npos) continue;
        const rapidjson::Document record = ParseFile(server_.RecordPath(id));
        const bool crash =
            record.HasMember("registration") &&
            std::string(record["registration"]["client-issue-id"].GetString()) == kCrash;
        (crash ? ids.first : ids.second).push_back(id);
      }
    }
    return ids;
  }

  // What is wrong with the data directory, "" when nothing is: a state file
  // that does not load, or a file that no status file records (a lock file
  // too unless `locksMayLinger`: one whose removal failed holds nothing).
  std::string DataDirectoryProblems(bool locksMayLinger = false) const {
    if (!fs::exists(data_)) return "";
    std::set<std::string> recorded;
    std::vector<std::string> names;
    std::string problems;
    for (const auto& entry : fs::directory_iterator(data_)) {
      const std::string name = entry.path().filename().string();
      names.push_back(name);
      // Zips and encrypted files are no JSON; a lock file holds no state.
      if (name.ends_with(".zip") || name.ends_with(".enc") || name.ends_with(".lock")) continue;
      const rapidjson::Document document = ParseFile(entry.path().string());
      if (!document.IsObject()) problems += name + " does not load; ";
      if (IsStatusFile(name) && document.IsObject()) CollectStrings(document, &recorded);
    }
    for (const std::string& name : names) {
      // The run lock is the program's own and no crash's.
      if (name == "zorcrashreporter.lock" || (locksMayLinger && name.ends_with(".lock"))) continue;
      if (IsStatusFile(name) || recorded.count(data_ + "/" + name) != 0) continue;
      problems += name + " is recorded by no status file; ";
    }
    return problems;
  }

  std::string Faulted(const std::string& action) const {
    std::istringstream trace(ReadFile(dir_.Sub("trace")));
    std::string line;
    while (std::getline(trace, line)) {
      if (line.ends_with(" " + action)) return line;
    }
    return "(no point reached)";
  }

  // One replay with the `n`th durable change faulted; "" when everything
  // after it came out right, else what went wrong.
  std::string Replay(const std::string& action, long n, long crashChanges) {
    Fresh();
    fs::remove(dir_.Sub("trace"));
    const bool inLogs = n > crashChanges;
    auto faults = [&](long at) {
      return Environment{{"ZOR_FAULT_AT", std::to_string(at)},
                         {"ZOR_FAULT_ACTION", action},
                         {"ZOR_FAULT_TRACE", dir_.Sub("trace")}};
    };
    std::string problems;
    auto check = [&](bool ok, const std::string& what) {
      if (!ok) problems += what + "; ";
    };
    auto dumpsKept = [&](const char* when) {
      check(fs::exists(dumps_ + "/" + kCrash + "_0.crash/a.1.dmp") || !Completed().first.empty(),
            std::string("the dumps are gone without an upload ") + when);
    };
    if (inLogs) {
      check(SendCrashes().status == 0, "the send-crashes before the fault failed");
      SendLogs(faults(n - crashChanges));
    } else {
      SendCrashes(faults(n));
    }
    dumpsKept("after the fault");
    // A failed change ends no run: the run itself leaves nothing behind that
    // no status file records (a killed one may; the next run cleans up).
    if (action != "kill") {
      const std::string left = DataDirectoryProblems(true);
      check(left.empty(), "after the faulted run: " + left);
    }
    const ProcessResult next = SendCrashes();
    check(next.status == 0, "the next send-crashes exited " + std::to_string(next.status));
    dumpsKept("after the next send-crashes");
    if (inLogs && Completed().second.empty()) {
      const ProcessResult logs = SendLogs();
      check(logs.status == 0, "send-logs again exited " + std::to_string(logs.status));
    }
    const ProcessResult last = SendCrashes();
    check(last.status == 0, "the last send-crashes exited " + std::to_string(last.status));

    const auto [crashes, logs] = Completed();
    check(crashes.size() == 1,
          "the crash was uploaded " + std::to_string(crashes.size()) + " times");
    check(logs.size() == (inLogs ? 1u : 0u),
          "the logs were uploaded " + std::to_string(logs.size()) + " times");
    if (crashes.size() == 1) {
      const std::string zip = dir_.Sub("stored.zip");
      std::string error;
      const bool decrypted = server_.DecryptZip(crashes[0], zip, &error);
      check(decrypted, "the stored crash does not decrypt: " + error);
      check(!decrypted || RunProcess("/usr/bin/unzip", {"-p", zip, "*.dmp"}).out == dump_,
            "the stored crash does not hold the dump");
    }
    if (inLogs && logs.size() == 1) {
      check(server_.Show(logs[0]).find("app.log") != std::string::npos,
            "the stored logs do not decrypt to the user's zip");
    }
    problems += DataDirectoryProblems();
    return problems;
  }

  // Every save syncs a file and its directory; on a busy disk the syncs of the
  // few hundred runs below would take minutes. What is checked is what the
  // program does next, not what the disk keeps, so the scratch directories go
  // to tmpfs when there is one. Set before any directory member is made.
  ZorErrorReporting::test::ScopedEnv tmpfs_{"TMPDIR", fs::is_directory("/dev/shm") ? "/dev/shm"
                                                      : std::getenv("TMPDIR")
                                                          ? std::getenv("TMPDIR")
                                                          : std::optional<std::string>()};
  ScopedTempDir dir_;
  LocalCrashServer server_;
  std::string dumps_ = dir_.Sub("dumps");
  std::string data_ = dir_.Sub("data");
  std::string userZip_ = dir_.Sub("my logs.zip");
  std::string dump_ = Incompressible(2 * kPart + kPart / 2);
};

TEST_F(CommitPointTest, KilledOrOutOfSpaceAtEveryCommitPointNothingIsLostOrDoubled) {
  Fresh();
  const Environment count = {{"ZOR_FAULT_COUNT_FILE", dir_.Sub("count")},
                             {"ZOR_FAULT_TRACE", dir_.Sub("trace")}};
  ASSERT_EQ(SendCrashes(count).status, 0);
  const long crashChanges = CountFile();
  EXPECT_EQ(ReadFile(dir_.Sub("trace")).find(".package.zip"), std::string::npos)
      << ReadFile(dir_.Sub("trace"));
  ASSERT_EQ(SendLogs(count).status, 0);
  const long logsChanges = CountFile();
  ASSERT_EQ(Completed().first.size(), 1u);
  ASSERT_EQ(Completed().second.size(), 1u);
  // An encrypted file and its metadata, three parts and a clean-up at the least.
  ASSERT_GT(crashChanges, 12);
  ASSERT_GT(logsChanges, 4);
  std::cout << "durable changes: send-crashes " << crashChanges << ", send-logs " << logsChanges
            << "\n";

  for (const std::string action : {"kill", "enospc"}) {
    std::vector<std::string> failed;
    for (long n = 1; n <= crashChanges + logsChanges; ++n) {
      const std::string problems = Replay(action, n, crashChanges);
      const char* run = n > crashChanges ? "send-logs, point " : "send-crashes, point ";
      if (!problems.empty()) failed.push_back(run + Faulted(action) + ": " + problems);
    }
    std::string report;
    for (const std::string& f : failed) report += "\n  " + f;
    EXPECT_TRUE(failed.empty()) << action << ": " << failed.size() << " of "
                                << crashChanges + logsChanges << " points fail" << report;
  }
}

}  // namespace
}  // namespace zor::test
