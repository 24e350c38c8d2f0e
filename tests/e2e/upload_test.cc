// The upload commands from outside: the real binary against the local crash
// server, with crash files in real dump directories. Faults come from the
// server's switches (kills at every durable change: commit_point_test.cc).
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <rapidjson/document.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "platform/sanitizer_build.h"
#include "support/local_crash_server.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace zor::test {
namespace {

using ::testing::Contains;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::Not;
namespace fs = std::filesystem;

constexpr int64_t kPart = 64 * 1024;
constexpr char kEmail[] = "ops@example.com";
constexpr char kCase[] = "CASE-4711";

class UploadTest : public ::testing::Test {
 protected:
  // A crash directory as an application leaves it: a minidump and its manifest.
  void Crash(const std::string& name, size_t size) {
    const std::string dir = dumps_ + "/" + name + "_0.crash";
    fs::create_directories(dir);
    dumpBytes_[name] = Incompressible(size, static_cast<unsigned>(dumpBytes_.size()));
    WriteFile(dir + "/" + name + ".dmp", dumpBytes_[name]);
    WriteFile(dir + "/" + name + ".manifest", "{}");
  }

  // A configuration of the test's directories sending to `server` (the
  // test's own when null).
  std::string Config(const std::string& extra = "", const LocalCrashServer* server = nullptr) {
    const std::string path = dir_.Sub(std::string("c") + std::to_string(++configs_) + ".yml");
    WriteFile(path,
              (server ? *server : server_).Settings(data_, dumps_, dir_.Sub("logs")) +
                  "servercrashupload.upload_part_size_in_bytes: " + std::to_string(partSize_) +
                  "\nservercrashupload.retry_delay_minutes: 0\n" + extra);
    return path;
  }

  // `program` "-faults" runs the build whose file changes can fail
  // (ZOR_FAULT_* in options.environment); a `wrapper` command runs the
  // program with the arguments after its own.
  ProcessResult Run(std::vector<std::string> args, ProcessOptions options = {},
                    const std::string& program = "", std::vector<std::string> wrapper = {}) {
    options.workingDirectory = dir_.path();
    options.environment.emplace("HOME", dir_.Sub("home"));
    options.environment.emplace("XDG_CONFIG_HOME", dir_.Sub("settings"));
    if (wrapper.empty()) return RunProcess(ProgramPath() + program, args, options);
    args.insert(args.begin(), ProgramPath() + program);
    args.insert(args.begin(), wrapper.begin() + 1, wrapper.end());
    return RunProcess(wrapper[0], args, options);
  }
  ProcessResult SendCrashes(const std::string& extra = "", ProcessOptions options = {},
                            std::vector<std::string> wrapper = {}) {
    return Run({"--command", "send-crashes", "--config-file", Config(extra)}, std::move(options),
               "", std::move(wrapper));
  }
  // The fault build's send-crashes, whose first file change naming `only`
  // fails with `action`.
  ProcessResult SendCrashesFailing(const std::string& only, const std::string& action,
                                   const std::string& settings = "") {
    ProcessOptions o;
    o.environment = {{"ZOR_FAULT_ONLY", only}, {"ZOR_FAULT_AT", "1"}, {"ZOR_FAULT_ACTION", action}};
    return Run({"--command", "send-crashes", "--config-file", Config(settings)}, std::move(o),
               "-faults");
  }
  static auto Uploaded(int n) {
    return HasSubstr("Successfully uploaded '" + std::to_string(n) + "' crash package(s).");
  }

  ProcessResult SendLogs(const std::string& zip, ProcessOptions options = {}) {
    return Run({"--command", "send-logs", "--zipped-logs-file", zip, "--email", kEmail,
                "--support-case-number", kCase, "--config-file", Config()},
               std::move(options));
  }
  // A zip of one log file, as a user makes it.
  std::string UsersZip() {
    const std::string zip = dir_.Sub("my logs.zip");
    WriteFile(dir_.Sub("app.log"), "a log line\n");
    EXPECT_EQ(RunProcess("/usr/bin/zip", {"-j", zip, dir_.Sub("app.log")}).status, 0);
    return zip;
  }

  // Waits until `reached` holds while `run` goes on; fails the test when the
  // run ends first or a minute passes.
  template <class Predicate>
  void WaitUntil(Predicate reached, const std::string& what, std::future<ProcessResult>& run) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!reached()) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "never reached " << what;
      ASSERT_NE(run.wait_for(std::chrono::milliseconds(5)), std::future_status::ready)
          << "ended before " << what << ": " << run.get().out;
    }
  }

  // Starts `start` (send-crashes with `extra` settings by default), waits
  // until `reached` holds, then sends the program `signal`; `*result` gets
  // how the run ended.
  template <class Predicate>
  void SignalWhen(Predicate reached, const std::string& what, int signal, const std::string& extra,
                  ProcessResult* result, std::function<ProcessResult(ProcessOptions)> start = {}) {
    if (!start) start = [&](ProcessOptions o) { return SendCrashes(extra, std::move(o)); };
    std::atomic<int> pid{0};
    ProcessOptions options;
    options.started = [&pid](int p) { pid = p; };
    auto run = std::async(std::launch::async, [&] { return start(options); });
    WaitUntil(reached, what, run);
    if (HasFatalFailure()) return;
    kill(pid, signal);
    *result = run.get();
  }

  // How many requests of `kind` the server saw since its last reset.
  int Count(const std::string& kind) {
    rapidjson::Document requests;
    requests.Parse(server_.RequestsJson().c_str());
    int n = 0;
    for (const auto& r : requests.GetArray()) n += kind == r["kind"].GetString();
    return n;
  }

  // The package's status file in the data directory: its last extension and content.
  std::pair<std::string, rapidjson::Document> Status(const std::string& name) {
    for (const auto& entry : fs::directory_iterator(data_)) {
      const std::string file = entry.path().filename().string();
      const std::string prefix = name + ".crash-package.";
      if (file.rfind(prefix, 0) != 0) continue;
      rapidjson::Document document;
      document.Parse(ReadFile(entry.path().string()).c_str());
      return {file.substr(prefix.size()), std::move(document)};
    }
    return {"", rapidjson::Document()};
  }
  // The code of the package's last error ("" when it has none).
  std::string LastErrorCode(const std::string& name) {
    const auto [status, document] = Status(name);
    if (!document.IsObject() || !document.HasMember("last-error")) return "";
    return document["last-error"]["upload-result-code"].GetString();
  }
  std::vector<std::string> ResultCodes(const std::string& name) {
    std::vector<std::string> codes;
    const auto [status, document] = Status(name);
    for (const auto& r : document["upload-results"].GetArray()) {
      codes.emplace_back(r["upload-result-code"].GetString());
    }
    return codes;
  }

  // Whether the newest object the server completed for `name` holds its dump.
  bool Sent(const std::string& name, const LocalCrashServer* server = nullptr) {
    const std::string zip = StoredZip(name, server);
    return !zip.empty() &&
           RunProcess("/usr/bin/unzip", {"-p", zip, "*.dmp"}).out == dumpBytes_.at(name);
  }
  // The newest object the server completed for the package `name`, decrypted
  // into a zip of the test's; empty when there is none.
  std::string StoredZip(const std::string& name, const LocalCrashServer* server = nullptr) {
    const LocalCrashServer& store = server ? *server : server_;
    std::map<int64_t, std::string, std::greater<>> newestFirst;
    for (const std::string& crashId : store.CrashIds()) {
      rapidjson::Document record;
      record.Parse(ReadFile(store.RecordPath(crashId)).c_str());
      // A package registered but never given an upload id has no registration.
      if (record.HasMember("registration") &&
          record["registration"]["client-issue-id"].GetString() == name) {
        newestFirst[record["sequence"].GetInt64()] = crashId;
      }
    }
    for (const auto& [sequence, crashId] : newestFirst) {
      const std::string zip = dir_.Sub(crashId + ".zip");
      if (!store.DecryptZip(crashId, zip, nullptr)) continue;  // not completed
      return zip;
    }
    return "";
  }

  std::string EncryptedFile(const std::string& name) {
    return Status(name).second["package-data-files"]["encrypted-package-file"].GetString();
  }
  static std::string Boot() { return ReadFile("/proc/sys/kernel/random/boot_id").substr(0, 36); }
  // The package as a restart leaves it: its encrypted file written in another boot.
  void FromAnotherBoot(const std::string& name) {
    const std::string status = data_ + "/" + name + ".crash-package.pendingretry";
    std::string record = ReadFile(status);
    ASSERT_NE(record.find(Boot()), std::string::npos) << name;
    WriteFile(status,
              record.replace(record.find(Boot()), 36, "00000000-0000-4000-8000-000000000000"));
  }

  std::string Log() const { return ReadFile(dir_.Sub("logs/zorcrashreporter.txt")); }

  // Every file of the data directory by name, with its content.
  // The data directory's files but the run lock, which every run leaves.
  std::map<std::string, std::string> DataFiles() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(data_)) {
      const std::string name = entry.path().filename().string();
      if (name != "zorcrashreporter.lock") files[name] = ReadFile(entry.path().string());
    }
    return files;
  }
  std::set<std::string> DataFileNames() const {
    std::set<std::string> names;
    for (const auto& [name, content] : DataFiles()) names.insert(name);
    return names;
  }

  ScopedTempDir dir_;
  LocalCrashServer server_;
  std::string dumps_ = dir_.Sub("dumps");
  std::string data_ = dir_.Sub("data");
  std::map<std::string, std::string> dumpBytes_;
  int64_t partSize_ = kPart;
  int configs_ = 0;
};

TEST_F(UploadTest, OneFailingPackageIsRetriedNextRunWhileTheOthersComplete) {
  struct Case {
    const char* action;
    int status;
    const char* code;
    const char* body = "";
    const char* kind = "part";  // of b.2, the second of its kind
    const char* logged = "";
    const char* alsoLogged = "";
  };
  // A store that refuses every request alike (a clock off, parts below its
  // least) has judged no package.
  // Nor has a refusal of the registration, one empty request for all of them
  // (an endpoint mistyped, a proxy that wants a login), nor a page where the
  // crash server's answer belongs.
  const Case cases[] = {
      {"drop", 0, "NetworkError"},
      {"status", 503, "ClientError"},
      {"status", 403, "ClientError", "<Error><Code>RequestTimeTooSkewed</Code></Error>"},
      {"status", 404, "ClientError", "<Error><Code>NoSuchBucket</Code></Error>"},
      {"status", 407, "ClientError", "<html>Proxy Authentication Required</html>", "part",
       "A proxy on the way asks for credentials"},
      {"status", 401, "ClientError", "<html>Unauthorized</html>", "part",
       "by the server or by a proxy on the way"},
      // Parts of a size the store refuses are not sent again.
      {"status", 400, "ClientError", "<Error><Code>EntityTooSmall</Code></Error>", "complete",
       "the next attempt starts a new upload"},
      // Said in a 200's body too, with the setting that ends it.
      {"status", 200, "ClientError", "<Error><Code>EntityTooSmall</Code></Error>", "complete",
       "raise servercrashupload.upload_part_size_in_bytes"},
      // Parts larger than the store (or a proxy) takes: the size and the setting are named;
      // a completion too large wants fewer parts.
      {"status", 413, "ClientError", "<Error><Code>EntityTooLarge</Code></Error>", "part",
       "bytes is larger than the object store, or a proxy on the way, takes: lower "
       "servercrashupload.upload_part_size_in_bytes",
       "the next attempt starts a new upload"},
      {"status", 413, "ClientError", "<html>Too Large</html>", "complete",
       "The completion request, a list of 1 part(s), is larger than the object store, or a proxy "
       "on the way, takes: raise"},
      {"status", 404, "ClientError", "", "register"},
      {"status", 200, "ClientError", "<html>portal</html>", "upload-id"},
      // A reply whose id or location cannot be used judges no package either.
      {"status", 200, "ClientError", R"({"upload_id":"../x"})", "upload-id", "not a usable id"},
      {"status", 200, "ClientError", R"({"location":""})", "part-url", "is empty"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.action + " " + std::to_string(c.status));
    fs::remove_all(dumps_);
    fs::remove_all(data_);
    for (const char* name : {"a.1", "b.2", "c.3"}) Crash(name, 20000);
    server_.Reset();
    server_.AddFault(c.kind, 2, c.action, c.status, c.body);

    const std::string timeouts = "servercrashupload.http_put_timeout_in_minutes: 0.03\n";
    ProcessResult r = SendCrashes(timeouts);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_THAT(r.out, HasSubstr("Successfully uploaded '2' crash package(s). Failed to upload "
                                 "'1' crash package(s)."));
    EXPECT_EQ(Status("b.2").first, "pendingretry");
    // Transient trouble: recorded as the last error, not as an attempt.
    EXPECT_EQ(ResultCodes("b.2"), std::vector<std::string>{});
    EXPECT_EQ(LastErrorCode("b.2"), c.code);
    EXPECT_THAT(Log(), HasSubstr(c.logged));
    EXPECT_THAT(Log(), HasSubstr(c.alsoLogged));
    EXPECT_EQ(Status("a.1").first, "complete");

    r = SendCrashes(timeouts);
    EXPECT_THAT(r.out, HasSubstr("Successfully uploaded '1' crash package(s). Failed to upload "
                                 "'0' crash package(s)."));
    EXPECT_EQ(ResultCodes("b.2"), (std::vector<std::string>{"Success"}));
    EXPECT_TRUE(Sent("b.2"));
    // Uploaded in the earlier run, the complete packages' dumps are deleted;
    // their upload files went with the upload, and the log does not say otherwise.
    EXPECT_FALSE(fs::exists(dumps_ + "/a.1_0.crash"));
    EXPECT_THAT(Log(), Not(HasSubstr("upload files are still there")));
  }
}

// A crash half sent when the upload endpoint moves to another server (with
// another key) is encrypted and registered anew there: the old server's id
// would be refused, counted, until the crash was given up.
TEST_F(UploadTest, AnUploadBegunAtAnotherServerStartsAnewAtTheNewOne) {
  Crash("m.1", 3 * kPart - 4096);
  server_.AddFault("part", 2, "drop");
  EXPECT_EQ(SendCrashes().status, 0);
  ASSERT_EQ(Status("m.1").first, "pendingretry");
  const LocalCrashServer moved;
  const ProcessResult r = Run({"--command", "send-crashes", "--config-file", Config("", &moved)});
  EXPECT_THAT(r.out, Uploaded(1));
  EXPECT_THAT(Log(), HasSubstr("Package 'm.1': forgetting its registration"));
  EXPECT_EQ(ResultCodes("m.1"), std::vector<std::string>{"Success"});
  EXPECT_TRUE(Sent("m.1", &moved));
}

// Only verdicts count: three refusals give a package up (its crash files
// stay, and `retry` brings it back).
TEST_F(UploadTest, OnlyRefusalsGiveAPackageUpAndRetryBringsItBack) {
  const std::string keep = "servercrashupload.delete_completed_dumps: false\n";
  Crash("a.1", 1000);
  server_.AddFault("part", 1, "status", 403, "", 0, 3);
  for (int run = 1; run <= 3; ++run) EXPECT_EQ(SendCrashes(keep).status, 0);
  EXPECT_EQ(ResultCodes("a.1").size(), 3u);
  ProcessResult r = SendCrashes(keep);
  EXPECT_THAT(r.out, HasSubstr("Found '0' package(s) to upload."));
  EXPECT_EQ(Status("a.1").first, "failed");
  // Given up: the upload files are gone, the crash (and the record of its
  // files) stays for a person to see.
  EXPECT_EQ(DataFileNames(),
            (std::set<std::string>{"a.1.crash-manifest", "a.1.crash-package.failed"}));
  EXPECT_TRUE(fs::exists(dumps_ + "/a.1_0.crash/a.1.dmp"));

  // A store that forgets an upload answers 404 NoSuchUpload to its parts.
  // One it forgot at once refuses the package, and the next attempt starts
  // a new upload instead of resuming the forgotten one; one that an earlier
  // attempt began (dropped by the store while the server was down) is begun
  // again in the same attempt, without a count.
  const char* forgotten = "<Error><Code>NoSuchUpload</Code></Error>";
  Crash("c.3", 3 * kPart);
  server_.AddFault("part", 2, "status", 404, forgotten);
  EXPECT_EQ(SendCrashes(keep).status, 0);
  EXPECT_EQ(ResultCodes("c.3"), std::vector<std::string>{"ClientError"});
  EXPECT_THAT(Log(), HasSubstr("Store error code: 'NoSuchUpload'."));
  int uploadIds = Count("upload-id");
  EXPECT_THAT(SendCrashes(keep).out, Uploaded(1));
  EXPECT_EQ(Count("upload-id"), uploadIds + 1);
  EXPECT_TRUE(Sent("c.3"));
  // So is one whose completion an earlier attempt sent without an answer:
  // the store may have carried it out, and then forgotten it.
  const struct {
    std::string name, step;
    int dropped;
  } forgottenLater[] = {{"d.4", "part", 2}, {"e.5", "complete", 1}};
  for (const auto& row : forgottenLater) {
    SCOPED_TRACE(row.step);
    Crash(row.name, 3 * kPart);
    server_.AddFault(row.step, row.dropped, "drop");
    EXPECT_EQ(SendCrashes(keep).status, 0);
    server_.AddFault(row.step, 1, "status", 404, forgotten);
    uploadIds = Count("upload-id");
    EXPECT_THAT(SendCrashes(keep).out, Uploaded(1));
    EXPECT_EQ(Count("upload-id"), uploadIds + 1);
    EXPECT_TRUE(ResultCodes(row.name) == std::vector<std::string>{"Success"});
    EXPECT_TRUE(Sent(row.name));
  }
  EXPECT_THAT(Log(), HasSubstr("so the crash may reach the server twice"));
  // A record of its parts that was damaged is not resumed from: the upload
  // starts again, and says why.
  Crash("f.6", 3 * kPart);
  server_.AddFault("part", 2, "drop");
  EXPECT_EQ(SendCrashes(keep).status, 0);
  const std::string parts = data_ + "/f.6.uploaded.parts";
  WriteFile(parts, std::regex_replace(ReadFile(parts), std::regex(R"("parts-completed":\[)"),
                                      R"("parts-completed":[{"part-number":99,"part-tag":"x"},)"));
  EXPECT_THAT(SendCrashes(keep).out, Uploaded(1));
  EXPECT_THAT(Log(), ContainsRegex("its upload record cannot be used \\(.*Part '99' is recorded as "
                                   "sent, but the upload has '4' part\\(s\\).*the upload starts "
                                   "again"));
  EXPECT_TRUE(Sent("f.6"));
  // Nor is an upload id in it that the server could not have given.
  Crash("g.7", 3 * kPart);
  server_.AddFault("part", 2, "drop");
  EXPECT_EQ(SendCrashes(keep).status, 0);
  const std::string record = data_ + "/g.7.uploaded.parts";
  WriteFile(record, std::regex_replace(ReadFile(record), std::regex(R"("upload-id":"[^"]*")"),
                                       R"("upload-id":"../../x")"));
  EXPECT_THAT(SendCrashes(keep).out, Uploaded(1));
  EXPECT_EQ(ResultCodes("g.7"), std::vector<std::string>{"Success"});
  EXPECT_THAT(Log(), HasSubstr("its recorded upload id cannot be used"));

  // Held by another process (flock(1) holds its lock): said so, left as it is.
  r = Run({"--command", "retry", "--config-file", Config(), "a.1"}, {}, "",
          {"/usr/bin/flock", data_ + "/a.1.lock"});
  EXPECT_THAT(r.out, HasSubstr("Package 'a.1' is in use by another run"));
  EXPECT_EQ(Status("a.1").first, "failed");
  r = Run({"--command", "retry", "--config-file", Config(), "a.1", "nosuch.9"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, HasSubstr("Package 'a.1' gets new attempts"));
  EXPECT_THAT(r.out, HasSubstr("No failed package 'nosuch.9'"));
  EXPECT_EQ(Status("a.1").first, "pendingretry");
  EXPECT_THAT(SendCrashes().out, Uploaded(1));
  EXPECT_TRUE(Sent("a.1"));
}

// After transient trouble the package waits: the next run skips it, and
// `list` says when it is tried again and why.
TEST_F(UploadTest, TransientTroubleDelaysTheNextAttemptAndListSaysSo) {
  Crash("a.1", 1000);
  server_.AddFault("part", 1, "status", 503, "", 0, 1);
  const std::string delay = "servercrashupload.retry_delay_minutes: 30\n";
  EXPECT_EQ(SendCrashes(delay).status, 0);
  EXPECT_THAT(Log(), HasSubstr("not counted as an attempt; next attempt after"));
  const ProcessResult waiting = SendCrashes(delay);
  EXPECT_THAT(waiting.out, HasSubstr("Found '0' package(s) to upload."));
  EXPECT_THAT(Log(), HasSubstr("Package 'a.1' waits until"));
  const ProcessResult list = Run({"--command", "list", "--config-file", Config(delay)});
  EXPECT_EQ(list.out.rfind("Data directory: " + data_ + "\nNAME ", 0), 0u) << list.out;
  EXPECT_THAT(list.out, ContainsRegex("PendingRetry .* in (29|30)m\n  last error, [0-9]+s ago: "
                                       "Network error \\(HTTP code: '503'\\)"));
}

// A log two crashes name went in the first one's zip only: when a limit
// deletes that one unsent, the other's copy is made again with it, so the
// log reaches the server, and goes from the disk after it; or, where no
// crash left can take it, it goes with the deleted one.
TEST_F(UploadTest, ALogTwoCrashesNameGoesWithTheOneLeftWhenTheOtherIsPruned) {
  const std::string log = dumps_ + "/shared.log";
  const std::string retention = "servercrashupload.retention.max_age_days: 1\n";
  // kept: as it goes; gone: app.2's dump went since its zip, whose copy is
  // then its last and goes as it is; killed: the retention run dies as it
  // deletes app.1; full: the disk is full as app.2's copy is dropped;
  // locked: another process holds app.2 as the run looks; linked: app.2
  // names the log through a link.
  const bool faults = fs::exists(ProgramPath() + "-faults");
  for (const std::string row : {"kept", "gone", "killed", "full", "locked", "linked"}) {
    SCOPED_TRACE(row);
    if ((row == "killed" || row == "full") && !faults) continue;  // needs the fault build
    fs::remove_all(dumps_);
    fs::remove_all(data_);
    server_.Reset();
    WriteFile(log, "shared log\n");
    const std::string alias = dumps_ + "/alias";
    fs::create_directory_symlink(dumps_, alias);
    const std::string settings =
        row == "linked" ? "servercrashupload.dump.dirs.follow_symlinks: true\n" : "";
    for (const std::string name : {"app.1", "app.2"}) {
      dumpBytes_[name] = Incompressible(3000, name.back());
      WriteFile(dumps_ + "/" + name + ".dmp", dumpBytes_[name]);
      const std::string named = row == "linked" && name == "app.2" ? alias + "/shared.log" : log;
      WriteFile(dumps_ + "/" + name + ".manifest",
                R"({"crash-artifact-files":[{"filename":")" + name +
                    R"(.dmp","type":"ProcessMiniDump"},{"filename":")" + name +
                    R"(.manifest","type":"Manifest"},{"filename":")" + named +
                    R"(","type":"ErrorLog"}]})");
    }
    server_.AddFault("register", 1, "status", 503, "down", 0, 2);
    EXPECT_THAT(SendCrashes(settings).out, Uploaded(0));
    // app.1, made three days ago, is past the limit.
    const auto threeDaysAgo = fs::file_time_type::clock::now() - std::chrono::hours(72);
    for (const auto& entry : fs::directory_iterator(data_)) {
      if (entry.path().filename().string().rfind("app.1.", 0) == 0) {
        fs::last_write_time(entry.path(), threeDaysAgo);
      }
    }
    const std::string status = data_ + "/app.1.crash-package.pendingretry";
    const int64_t madeMs = (std::time(nullptr) - 3 * 86400) * 1000LL;
    WriteFile(status, std::regex_replace(ReadFile(status), std::regex(R"("made-at":\d+)"),
                                         "\"made-at\":" + std::to_string(madeMs)));
    fs::last_write_time(status, threeDaysAgo);
    if (row == "gone") fs::remove(dumps_ + "/app.2.dmp");
    if (row == "killed") {
      EXPECT_EQ(SendCrashesFailing("remove " + dumps_ + "/app.1.dmp", "kill", retention).status,
                128 + SIGKILL);
    }
    if (row == "full") {
      // app.1 is kept for now, and sent; app.2 is not, with its old copy.
      const ProcessResult r =
          SendCrashesFailing("save " + data_ + "/app.2.crash-package", "enospc", retention);
      EXPECT_THAT(r.out, Uploaded(1));
      EXPECT_THAT(r.out, Not(HasSubstr(R"("crash-correlation-id":"app.2")")));
      EXPECT_THAT(Log(), HasSubstr("Retention: package 'app.1' is kept for now"));
      EXPECT_TRUE(Sent("app.1"));
    }
    if (row == "locked") {
      // Whether app.2 still takes the log is not known: nothing is deleted.
      const ProcessResult r = Run({"--command", "send-crashes", "--config-file", Config(retention)},
                                  {}, "", {"/usr/bin/flock", data_ + "/app.2.lock"});
      EXPECT_THAT(r.out, Uploaded(1));
      EXPECT_THAT(Log(), HasSubstr("Retention: the limits wait for a later run: package 'app.2'"));
      EXPECT_TRUE(Sent("app.1"));
    }
    EXPECT_THAT(SendCrashes(settings + retention).out, Uploaded(1));
    EXPECT_THAT(Log(), HasSubstr("Retention: deleting package 'app.1'"));
    if (row == "kept") {
      EXPECT_THAT(Log(), HasSubstr("Keeping '" + log +
                                   "' of package 'app.1': other crashes "
                                   "name it too"));
    }
    EXPECT_TRUE(Sent("app.2"));
    if (row == "gone") {
      EXPECT_FALSE(fs::exists(log));
    } else {
      EXPECT_EQ(RunProcess("/usr/bin/unzip",
                           {"-p", StoredZip(row == "full" || row == "locked" ? "app.1" : "app.2"),
                            "*.log"})
                    .out,
                "shared log\n");
    }
    // The next run deletes what the sent crash's zip held, app.1's manifest too.
    EXPECT_EQ(SendCrashes(settings).status, 0);
    fs::remove(alias);
    EXPECT_TRUE(fs::is_empty(dumps_));
  }
}

// A crash kept for a later run because another's copy could not be made
// again with the file they share leaves the size limit to be judged on the
// disk as it is then: the copies dropped on the way free their room, and no
// crash is deleted for bytes that are gone.
TEST_F(UploadTest, CopiesDroppedForASharedFileCountAsGoneForTheSizeLimit) {
  if (!fs::exists(ProgramPath() + "-faults")) GTEST_SKIP() << "needs the fault build";
  const std::string log = dumps_ + "/shared.log";
  WriteFile(log, "shared log\n");
  // app.1's zip takes the log; app.3's copy, 2 MiB, is dropped to be made
  // again with it.
  for (const auto& [name, size] :
       {std::pair{"app.1", 3000}, std::pair{"app.2", 3000}, std::pair{"app.3", 2 * 1024 * 1024}}) {
    dumpBytes_[name] = Incompressible(size, name[4]);
    WriteFile(dumps_ + "/" + name + ".dmp", dumpBytes_[name]);
    WriteFile(dumps_ + "/" + name + ".manifest",
              std::string(R"({"crash-artifact-files":[{"filename":")") + name +
                  R"(.dmp","type":"ProcessMiniDump"},{"filename":")" + name +
                  R"(.manifest","type":"Manifest"},{"filename":")" + log +
                  R"(","type":"ErrorLog"}]})");
  }
  server_.AddFault("register", 1, "status", 503, "down", 0, 3);
  EXPECT_THAT(SendCrashes().out, Uploaded(0));
  const std::string status = data_ + "/app.1.crash-package.pendingretry";
  const int64_t madeMs = (std::time(nullptr) - 3 * 86400) * 1000LL;
  WriteFile(status, std::regex_replace(ReadFile(status), std::regex(R"("made-at":\d+)"),
                                       "\"made-at\":" + std::to_string(madeMs)));
  // The disk holds about twice app.3's dump with its copy, under 3 MiB once
  // the copy is gone; app.2's copy cannot be dropped in this run.
  const std::string limits =
      "servercrashupload.retention.max_age_days: 1\n"
      "servercrashupload.retention.max_total_mb: 3\n";
  const ProcessResult r =
      SendCrashesFailing("save " + data_ + "/app.2.crash-package", "enospc", limits);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(Log(), HasSubstr("Retention: package 'app.1' is kept for now"));
  EXPECT_THAT(Log(), HasSubstr("package 'app.2' waits for a later run"));
  EXPECT_THAT(Log(), Not(HasSubstr("Retention: deleting package")));
  EXPECT_THAT(r.out, Uploaded(2));  // app.1, kept, and app.3, made again
  EXPECT_THAT(SendCrashes(limits).out, Uploaded(1));
  for (const char* name : {"app.1", "app.2", "app.3"}) EXPECT_TRUE(Sent(name)) << name;
}

// A crash server that lost a registration an earlier attempt made (its
// records reset) answers 404 under it: the crash registers anew, in the same
// attempt and uncounted, whichever request found it out.
TEST_F(UploadTest, ARegistrationTheServerLostIsMadeAnew) {
  for (const char* kind : {"upload-id", "part-url", "complete-url"}) {
    SCOPED_TRACE(kind);
    fs::remove_all(dumps_);
    fs::remove_all(data_);
    server_.Reset();
    Crash("a.1", 3 * kPart);
    server_.AddFault(kind, 1, "status", 503, "down");
    EXPECT_THAT(SendCrashes().out, Uploaded(0));
    server_.AddFault(kind, 1, "status", 404, "no such crash");
    EXPECT_THAT(SendCrashes().out, Uploaded(1));
    EXPECT_EQ(ResultCodes("a.1"), std::vector<std::string>{"Success"});
    EXPECT_EQ(Count("register"), 2);
    EXPECT_THAT(Log(), HasSubstr("the crash server no longer knows its registration"));
  }
  // What stands in front of a server that is away answers 404 to the new
  // registration too: the old one, and the upload begun under it, are kept.
  server_.Reset();
  Crash("b.2", 3 * kPart);
  server_.AddFault("part", 2, "drop");
  EXPECT_THAT(SendCrashes().out, Uploaded(0));
  server_.AddFault("part-url", 1, "status", 404, "no backend");
  server_.AddFault("register", 1, "status", 404, "no backend");
  EXPECT_THAT(SendCrashes().out, Uploaded(0));
  EXPECT_TRUE(ResultCodes("b.2").empty());
  EXPECT_THAT(SendCrashes().out, Uploaded(1));
  EXPECT_EQ(Count("register"), 2);
  EXPECT_THAT(Log(), HasSubstr("upload will resume from where it left off"));
  EXPECT_TRUE(Sent("b.2"));
}

// A crash server or store that leaves a request unanswered is waited for
// once a run, not once a package: the others wait, untouched, for the next
// run, and spend none of the hour's uploads.
TEST_F(UploadTest, AnUnansweredRequestIsWaitedForOnceARun) {
  const std::string settings =
      "servercrashupload.http_post_timeout_in_minutes: 0.03\n"
      "servercrashupload.http_get_timeout_in_minutes: 0.03\n"
      "servercrashupload.http_put_timeout_in_minutes: 0.03\n"
      "servercrashupload.max_uploads_per_hour: 3\n";
  for (const char* kind : {"register", "upload-id", "part"}) {
    SCOPED_TRACE(kind);
    fs::remove_all(dumps_);
    fs::remove_all(data_);
    server_.Reset();
    for (const char* name : {"a.1", "b.2", "c.3"}) Crash(name, 1000);
    server_.AddFault(kind, 1, "hang");
    const ProcessResult r = SendCrashes(settings);
    EXPECT_THAT(r.out, HasSubstr("Successfully uploaded '0' crash package(s). Failed to upload "
                                 "'1' crash package(s)."));
    EXPECT_THAT(Log(), HasSubstr("the other 2 package(s) wait for the next run"));
    EXPECT_EQ(Count(kind), 1);
    // No attempt is counted: the server judged nothing.
    for (const char* name : {"a.1", "b.2", "c.3"}) EXPECT_TRUE(ResultCodes(name).empty()) << name;
    // One of the three places is spent.
    const ProcessResult again = SendCrashes(settings);
    EXPECT_THAT(again.out, Uploaded(2));
    EXPECT_THAT(Log(), HasSubstr("Upload rate limit: '1' package(s) wait"));
  }
  // Nor do those a run stopped before it reached them.
  fs::remove_all(dumps_);
  fs::remove_all(data_);
  server_.Reset();
  for (const char* name : {"a.1", "b.2", "c.3"}) Crash(name, 1000);
  server_.AddFault("part", 1, "hang");
  ProcessResult stopped;
  SignalWhen([&] { return Count("part") >= 1; }, "the first part", SIGTERM, settings, &stopped);
  EXPECT_EQ(stopped.status, static_cast<signed char>(128 + SIGTERM)) << stopped.out;
  server_.Reset();
  EXPECT_THAT(SendCrashes(settings).out, Uploaded(2));
}

// A crash that cannot be tried yet spends none of the hour's uploads: its
// place goes to the next crash. A rate limit whose count cannot be saved
// keeps no crash back.
TEST_F(UploadTest, ACrashThatWaitsLeavesItsPlaceUnderTheRateLimit) {
  const std::string limit = "servercrashupload.max_uploads_per_hour: 1\n";
  for (const char* name : {"only.10", "only.11"}) {
    const std::string dir = dumps_ + "/" + name + "_0.crash";
    WriteFile(dir + "/" + name + "-full.dmp", "MDMP full");
    WriteFile(dir + "/" + name + ".manifest", "{}");
  }
  EXPECT_THAT(
      Run({"--command", "send-crashes", "--config-file", Config(limit), "--no-full-dumps"}).out,
      Uploaded(0));
  // Made after the waits: it comes after both crashes in the order.
  Crash("p.2", 1000);
  EXPECT_THAT(
      Run({"--command", "send-crashes", "--config-file", Config(limit), "--no-full-dumps"}).out,
      Uploaded(1));
  EXPECT_TRUE(Sent("p.2"));

  if (!fs::exists(ProgramPath() + "-faults")) return;  // the rest needs the fault build
  fs::remove_all(dumps_);
  for (const char* action : {"enospc", "eio"}) {
    SCOPED_TRACE(action);
    // The hour's one upload is p.2's.
    fs::remove(data_ + "/upload-rate-limit.state");
    Crash(std::string("q.") + action, 1000);
    const ProcessResult r =
        SendCrashesFailing("save " + data_ + "/upload-rate-limit.state", action, limit);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_THAT(Log(), HasSubstr("Upload rate limit: could not save '" + data_ +
                                 "/upload-rate-limit.state'"));
    EXPECT_THAT(Log(), HasSubstr(std::string(action) == "eio" ? "Input/output error"
                                                              : "No space left on device"));
    EXPECT_TRUE(Sent(std::string("q.") + action));
  }

  // Trouble of the disk after the server was asked spends the place; a stop
  // while zipping, and trouble while forgetting a damaged record of the
  // server's id, come before it and spend none.
  const std::string started = data_ + "/r.1.crash-package.started";
  for (const char* row : {"after", "zipping", "encrypted", "forgetting"}) {
    SCOPED_TRACE(row);
    fs::remove_all(dumps_);
    fs::remove_all(data_);
    server_.Reset();
    Crash("r.1", 1000);
    // Made after r.1's trouble (the "forgetting" row's): it comes after r.1.
    const auto second = [&] { Crash("r.2", 1000); };
    const std::string settings = limit;
    ProcessResult r;
    if (row == std::string("after")) {
      second();
      r = SendCrashesFailing(".uploaded.parts", "enospc", settings);
      EXPECT_THAT(r.out, HasSubstr("Failed to upload '1' crash package(s)"));
      EXPECT_THAT(Log(), HasSubstr("the next run tries again; it counts against the upload "
                                   "rate limit"));
      EXPECT_EQ(Count("upload-id"), 1);
      continue;
    }
    if (row == std::string("zipping") || row == std::string("encrypted")) {
      second();
      // The stop comes as the zip is made, or as its encryption is recorded.
      r = SendCrashesFailing(row == std::string("zipping") ? ".zip.enc" : "save " + started, "term",
                             settings);
      EXPECT_EQ(r.status, static_cast<signed char>(128 + SIGTERM)) << r.out;
      EXPECT_EQ(Count("register"), 0);
      EXPECT_THAT(ReadFile(data_ + "/upload-rate-limit.state"), HasSubstr(R"("upload-times":[])"));
      EXPECT_THAT(SendCrashes(settings).out, Uploaded(1));
      continue;
    }
    // r.1 was registered, and its record now says so in a form no server
    // gives: that is forgotten, at the first save at ".started", before
    // anything is sent; the full disk there passes the place on to r.2.
    server_.AddFault("upload-id", 1, "status", 503, "down", 0, 1);
    EXPECT_THAT(SendCrashes(settings).out, Uploaded(0));
    fs::remove(data_ + "/upload-rate-limit.state");
    second();
    const std::string status = data_ + "/r.1.crash-package.pendingretry";
    WriteFile(status,
              std::regex_replace(ReadFile(status), std::regex(R"("remote-package-id":"[^"]*")"),
                                 R"("remote-package-id":"a/../b")"));
    r = SendCrashesFailing("save " + started, "enospc", settings);
    EXPECT_THAT(r.out, Uploaded(1));
    EXPECT_THAT(r.out, HasSubstr("'1' crash package(s) could not be tried"));
    EXPECT_NE(Log().find("Entry 'remote-package-id' in '" + started + "' is not a usable id"),
              std::string::npos);
    EXPECT_TRUE(Sent("r.2"));
  }
}

// A hostile server: locations of other schemes (which ones the transport
// refuses is tnetwork_access_manager_test.cc's), a redirect to a local file
// and a 10 MB error body. Nothing is written or contacted but loopback HTTP,
// no attempt is spent, the package is the same one throughout, and neither
// the log nor the status file takes the server's text whole or a URL's query.
TEST_F(UploadTest, HostileRepliesReachNothingAndSpendNoAttempt) {
  Crash("a.1", 3000);
  // A listening loopback socket that nobody should connect to: a connection
  // completes in the kernel's backlog whether or not it is accepted, so once
  // the program has exited accept() knows for sure.
  const int tripwire = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(tripwire, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(tripwire, 16), 0);
  ASSERT_EQ(getsockname(tripwire, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string elsewhere = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  const std::string written = dir_.Sub("written");
  const std::string query = "?X-Amz-Signature=f00d&x=1";
  const auto location = [&](const std::string& url) {
    return "{\"expires_in\":3600,\"location\":\"" + url + query + "\"}";
  };
  struct Case {
    std::string kind;
    int status;
    std::string body;
    std::string logged;  // in the log
    int parts = 0;       // part PUTs the server saw in the two runs
    std::map<std::string, std::string> headers = {};
  };
  // In the order of the upload: a step once done is not asked for again.
  const Case cases[] = {
      {"upload-id", 503, std::string((1 << 20) - 1, 'x'), "\u2026 (1048575 bytes)"},
      // Replies are held in memory: a larger one is not taken in.
      {"upload-id", 200, std::string(3 << 20, '['), "larger than 1048576 bytes"},
      {"part-url", 200, location("file://" + written), "'file://" + written + "'"},
      {"part", 302, "", "No redirect is followed", 2, {{"location", "file://" + written + query}}},
      // What answers a part without its tag is not the store.
      {"part", 200, "<html>Sign in</html>", "with HTTP 200 but no ETag", 2},
      {"complete-url", 200, location("ftp://" + elsewhere + "/c"), "'ftp://" + elsewhere, 1},
      {"complete-url", 200, location("http://user:p/w@[::1"), "to 'http://[::1' failed"},
      // A store that fails the completion after answering 200 has no object,
      // nor has a portal that answers 2xx for it.
      {"complete", 200, "<Error xmlns='x'><Code>InternalError</Code></Error>",
       "with HTTP 200 but no completion result: '<Error xmlns"},
      {"complete", 204, "", "with HTTP 204 but no completion result"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind + " " + c.body.substr(0, 80));
    server_.Reset();
    server_.AddFault(c.kind, 1, "status", c.status, c.body, 0, 2, c.headers);
    // Twice: the 503's body once filled the status file past its limit.
    for (int run = 1; run <= 2; ++run) {
      const ProcessResult r = SendCrashes();
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_THAT(r.out, HasSubstr("Failed to upload '1' crash package(s)."));
    }
    EXPECT_THAT(Log(), HasSubstr(c.logged));
    const auto [status, document] = Status("a.1");
    EXPECT_EQ(status, "pendingretry");
    EXPECT_EQ(ResultCodes("a.1"), std::vector<std::string>{});
    const std::string statusFile = data_ + "/a.1.crash-package." + status;
    EXPECT_LT(fs::file_size(statusFile), 64u * 1024);
    EXPECT_THAT(ReadFile(statusFile), Not(HasSubstr("X-Amz-Signature")));
    EXPECT_EQ(Count("part"), c.parts);
  }
  EXPECT_FALSE(fs::exists(written));
  EXPECT_LT(accept(tripwire, nullptr, nullptr), 0) << "contacted";
  close(tripwire);
  EXPECT_LT(fs::file_size(dir_.Sub("logs/zorcrashreporter.txt")), 1u << 20);
  // One package all along: not refused, deleted and found again.
  const std::set<std::string> names = DataFileNames();
  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) { return n.find(".crash-package.") != n.npos; }),
            1);

  server_.Reset();
  EXPECT_THAT(SendCrashes().out, Uploaded(1));
  EXPECT_TRUE(Sent("a.1"));
  // A whole upload logged every presigned URL it used, and none with its query.
  EXPECT_THAT(Log(), HasSubstr("/store/"));
  EXPECT_THAT(Log(), Not(HasSubstr("X-Amz-Signature")));
}

// A run killed amid a package leaves it "Started", and a later run takes it
// up where it was left. One that cannot put it back (its disk failing)
// leaves it for the next, and sends the others.
TEST_F(UploadTest, AKilledRunsPackageIsTakenUpLaterEvenWhenItCannotBePutBackAtOnce) {
  if (!fs::exists(ProgramPath() + "-faults")) GTEST_SKIP() << "needs the fault build";
  for (const char* name : {"a.1", "b.2"}) Crash(name, 1000);
  EXPECT_THAT(SendCrashesFailing(".zip.enc", "kill").out, Not(HasSubstr("Upload Result Summary")));
  EXPECT_EQ(Status("a.1").first, "started");
  EXPECT_EQ(Status("b.2").first, "pending");

  EXPECT_THAT(SendCrashesFailing("save " + data_ + "/a.1.crash-package.started", "eio").out,
              Uploaded(1));
  EXPECT_THAT(Log(), HasSubstr("Cannot record package 'a.1' for a retry; it is left for a later"));
  EXPECT_EQ(Status("a.1").first, "started");
  EXPECT_THAT(SendCrashes().out, Uploaded(1));
  for (const char* name : {"a.1", "b.2"}) EXPECT_TRUE(Sent(name));
}

// A crash's files stay open from their check until the zip has read them:
// one of more files than the soft limit of open files (1024 under a service
// manager) is still sent whole; under a hard limit below its count, it goes
// with its dump and what fits, and says so, rather than never.
TEST_F(UploadTest, ACrashOfMoreFilesThanTheOpenFileLimitIsSentWholeOrWithWhatFits) {
  const auto crash = [&](const std::string& name) {
    Crash(name, 1000);
    const std::string dir = dumps_ + "/" + name + "_0.crash/";
    std::string records;
    for (int i = 0; i < 100; ++i) {
      const std::string log = dir + "part" + std::to_string(i) + ".txt";
      WriteFile(log, "line " + std::to_string(i) + "\n");
      records += R"({"filename":")" + log + R"(","type":"ErrorLog"},)";
    }
    WriteFile(dir + name + ".manifest", R"({"crash-artifact-files":[)" + records +
                                            R"({"filename":")" + dir + name + R"(.dmp"}]})");
  };
  const auto send = [&](const char* limit) {
    return SendCrashes("", {}, {"/usr/bin/prlimit", limit});
  };
  crash("a.1");
  EXPECT_THAT(send("--nofile=64:").out, Uploaded(1));
  std::string listing = RunProcess("/usr/bin/unzip", {"-l", StoredZip("a.1")}).out;
  for (const int i : {0, 63, 99}) {
    EXPECT_THAT(listing, HasSubstr("part" + std::to_string(i) + ".txt")) << i;
  }

  crash("b.2");
  EXPECT_THAT(send("--nofile=48:48").out, Uploaded(1));
  EXPECT_THAT(Log(), ContainsRegex("Crash 'b.2' goes without [0-9]+ of its files \\(the first, "
                                   "'[^']+'\\): the process may open only [0-9]+ more of them "
                                   "at once"));
  listing = RunProcess("/usr/bin/unzip", {"-l", StoredZip("b.2")}).out;
  EXPECT_THAT(listing, HasSubstr("b.2.dmp"));
  EXPECT_THAT(listing, Not(HasSubstr("part99.txt")));
  EXPECT_TRUE(fs::exists(dumps_ + "/b.2_0.crash/part99.txt"));
}

// The encrypted file is never synced. In the boot that wrote it the page
// cache holds it, so a later run syncs it and resumes its upload; after a
// restart the disk may hold anything in its place (zeros, here), and where
// the sync fails, so may the disk, so a run then zips and encrypts the crash
// again instead of sending that; so it does for a file not as long as its
// encryption made it. Not when that would lose the crash it holds: its dump
// is gone, or was written again (the process crashed once more).
TEST_F(UploadTest, AnUnsyncedEncryptionIsResumedInItsBootAndMadeAgainAfterARestart) {
  if (!fs::exists(ProgramPath() + "-faults")) GTEST_SKIP() << "needs the fault build";
  // Three parts each (the zip's own bytes fit in the last).
  const char* const names[] = {"a.1", "b.2", "c.3", "d.4", "e.5", "f.6"};
  for (const char* name : names) Crash(name, 3 * kPart - 4096);
  // a.1 sends its first part, then every part fails.
  server_.AddFault("part", 2, "status", 503, "", 0, 100);
  EXPECT_EQ(SendCrashes().status, 0);
  for (const char* name : names) {
    const auto [status, document] = Status(name);
    ASSERT_EQ(status, "pendingretry") << name;
    ASSERT_TRUE(document.HasMember("encrypted-file-boot")) << name;
    EXPECT_EQ(document["encrypted-file-boot"].GetString(), Boot()) << name;
  }
  // b.2 as a restart leaves it: written in another boot, its blocks never
  // written. e.5's survived the restart whole, but its dump did not (a
  // folder the restart empties): its encrypted file is its last copy.
  for (const char* name : {"b.2", "e.5", "f.6"}) FromAnotherBoot(name);
  fs::remove_all(dumps_ + "/e.5_0.crash");
  WriteFile(dumps_ + "/f.6_0.crash/f.6.dmp", "MDMP of the next crash");
  WriteFile(EncryptedFile("b.2"), std::string(fs::file_size(EncryptedFile("b.2")), '\0'));
  // d.4's was cut short since (a disk repaired, a cleaning tool).
  const std::string cut = EncryptedFile("d.4");
  fs::resize_file(cut, fs::file_size(cut) - 1);

  server_.Reset();
  // c.3's write-back fails.
  EXPECT_THAT(SendCrashesFailing("sync " + EncryptedFile("c.3"), "eio").out, Uploaded(6));
  EXPECT_THAT(Log(), HasSubstr("Package 'e.5': its encrypted file was not synced before the "
                               "system restarted, and '" +
                               dumps_ + "/e.5_0.crash/e.5.dmp'"));
  EXPECT_THAT(Log(), HasSubstr("Package 'b.2': removing its encrypted-package-file"));
  EXPECT_THAT(Log(), HasSubstr("the system restarted before it was sent"));
  EXPECT_THAT(Log(), HasSubstr("Package 'c.3': its encrypted file cannot be written to disk"));
  EXPECT_THAT(Log(), HasSubstr("Package 'd.4': its encrypted file '" + cut + "' holds"));
  EXPECT_THAT(Log(), HasSubstr("Package 'f.6': its encrypted file was not synced before the "
                               "system restarted, and '" +
                               dumps_ + "/f.6_0.crash/f.6.dmp'"));
  // a.1, e.5 and f.6 went on with their uploads; the others started new ones.
  EXPECT_EQ(Count("upload-id"), 3);
  EXPECT_EQ(Count("part"), 2 + 3 + 3 + 3 + 3 + 3);
  for (const char* name : names) EXPECT_TRUE(Sent(name)) << name;
  // The dump written again is a crash of its own.
  EXPECT_THAT(SendCrashes().out, Uploaded(1));
}

// Over the size limit, a crash whose encrypted copy cannot be dropped (its
// record cannot be saved on a full disk) stays: the room was its copy's.
TEST_F(UploadTest, ACrashWhoseCopyCannotBeDroppedForTheSizeLimitStays) {
  if (!fs::exists(ProgramPath() + "-faults")) GTEST_SKIP() << "needs the fault build";
  Crash("r.1", 600000);
  server_.AddFault("register", 1, "status", 503);
  SendCrashes();
  ASSERT_EQ(Status("r.1").first, "pendingretry");
  ASSERT_TRUE(fs::exists(EncryptedFile("r.1")));
  server_.Reset();
  EXPECT_THAT(SendCrashesFailing("save " + data_ + "/r.1.crash-package.pendingretry", "enospc",
                                 "servercrashupload.retention.max_total_mb: 1\n")
                  .out,
              Uploaded(1));
  EXPECT_THAT(Log(), HasSubstr("Retention: the upload files of package 'r.1' cannot be removed"));
  EXPECT_TRUE(Sent("r.1"));
}

// A crash the size limit deletes, whose deletion is cut off half-way (a
// file that cannot be removed now, a kill), is never sent as what is left
// of it: the next run finishes the deletion.
TEST_F(UploadTest, ADeletionCutOffHalfWayIsFinishedAndNeverSent) {
  if (!fs::exists(ProgramPath() + "-faults")) GTEST_SKIP() << "needs the fault build";
  const std::string limit = "servercrashupload.retention.max_total_mb: 1\n";
  const struct {
    std::string file, action;
  } rows[] = {{"/old.1_0.crash/old.1.dmp", "eio"},
              {"/old.2_0.crash/old.2.manifest", "enospc"},
              {"old.3.crash-manifest", "eio"},
              {"/old.4_0.crash/old.4.dmp", "kill"}};
  for (const auto& row : rows) {
    const std::string old = row.file.substr(row.file.find("old."), 5);
    SCOPED_TRACE(old + " " + row.action);
    Crash(old, 700000);
    server_.AddFault("part", 1, "status", 403);
    SendCrashes();
    ASSERT_EQ(ResultCodes(old).size(), 1u);
    server_.Reset();
    const std::string fresh = "new" + old.substr(3);
    Crash(fresh, 400000);
    const std::string where = row.file[0] == '/' ? dumps_ : data_ + "/";
    SendCrashesFailing("remove " + where + row.file, row.action, limit);
    if (row.action != "kill") {
      // Listed with why its deletion stopped, not with the upload's old trouble.
      EXPECT_THAT(
          Run({"--command", "list", "--config-file", Config(limit)}).out,
          AllOf(HasSubstr(" Deleting "), HasSubstr("The deletion stopped: Failed to delete file '" +
                                                   where + row.file + "'")));
    }
    SendCrashes(limit);
    EXPECT_THAT(SendCrashes(limit).out, Not(HasSubstr(old)));
    EXPECT_EQ(Status(old).first, "");
    EXPECT_EQ(StoredZip(old), "");
    EXPECT_TRUE(Sent(fresh));
    EXPECT_FALSE(fs::exists(dumps_ + "/" + old + "_0.crash"));
  }
}

// The last copy of a crash whose dump is gone (a restart took it, or a
// cleaner in the same boot) is kept when it cannot be synced: the attempt
// fails as the disk's trouble, uncounted, and the next one sends it.
TEST_F(UploadTest, ALastCopyThatCannotBeSyncedWaitsForTheDisk) {
  if (!fs::exists(ProgramPath() + "-faults")) GTEST_SKIP() << "needs the fault build";
  for (const bool restarted : {true, false}) {
    const std::string name = restarted ? "f.6" : "g.7";
    SCOPED_TRACE(name);
    Crash(name, 3 * kPart - 4096);
    server_.AddFault("part", 2, "drop");
    EXPECT_EQ(SendCrashes().status, 0);
    if (restarted) FromAnotherBoot(name);
    fs::remove_all(dumps_ + "/" + name + "_0.crash");
    const std::string encrypted = EncryptedFile(name);
    EXPECT_EQ(SendCrashesFailing("sync " + encrypted, "eio").status, 0);
    EXPECT_EQ(Status(name).first, "pendingretry");
    EXPECT_EQ(ResultCodes(name), std::vector<std::string>{});
    EXPECT_TRUE(fs::exists(encrypted));
    EXPECT_THAT(SendCrashes().out, Uploaded(1));
    EXPECT_TRUE(Sent(name));
    server_.Reset();
  }
}

// A crash file that another user turns into a link to a root-only file,
// again and again while the run lists, checks and zips the crash: the
// secret is never read, neither into the uploaded object nor into the zip
// kept in the data folder.
TEST_F(UploadTest, CrashFileSwappedForALinkDuringTheZipIsNeverRead) {
  const std::string marker = "ROOT-ONLY-SECRET";
  WriteFile(dir_.Sub("secret"), marker + "\n");
  ASSERT_EQ(chmod(dir_.Sub("secret").c_str(), 0600), 0);
  for (int run = 0; run < 4; ++run) {
    const std::string name = "app." + std::to_string(run + 1);
    Crash(name, 2 << 20);
    const std::string crash = dumps_ + "/" + name + "_0.crash/";
    WriteFile(crash + name + ".log", "a log line\n");
    fs::create_symlink(dir_.Sub("secret"), crash + ".swap");
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
      const std::string log = crash + name + ".log";
      const std::string link = crash + ".swap";
      while (!stop) renameat2(AT_FDCWD, log.c_str(), AT_FDCWD, link.c_str(), RENAME_EXCHANGE);
    });
    const ProcessResult r = SendCrashes("servercrashupload.preserve_upload_packages: true\n");
    stop = true;
    swapper.join();
    ASSERT_EQ(r.status, 0) << r.out;
    const std::string uploaded = StoredZip(name);
    ASSERT_FALSE(uploaded.empty()) << name;
    // Written from the stream that was encrypted, the kept zip is the object.
    EXPECT_TRUE(ReadFile(uploaded) == ReadFile(data_ + "/" + name + ".package.zip"));
    for (const std::string& zip : {uploaded, data_ + "/" + name + ".package.zip"}) {
      SCOPED_TRACE(zip);
      const ProcessResult content = RunProcess("/usr/bin/unzip", {"-p", zip});
      EXPECT_EQ(content.status, 0);
      EXPECT_EQ(content.out.find(marker), std::string::npos);
    }
  }
}

// A reply from the key endpoint that is no key (a captive portal's page),
// then a data directory too small for the zips (a file size limit on the
// process, as a full disk answers a write): nothing is lost, and the next
// good run completes both crashes.
TEST_F(UploadTest, BadKeyOrDiskFullLosesNothing) {
  for (const char* name : {"a.1", "b.2"}) Crash(name, 300000);
  server_.AddFault("key", 1, "status", 200, "<html><body>Please sign in</body></html>");
  const ProcessResult r = SendCrashes();
  EXPECT_EQ(r.status, -1);
  // The console's line gives the reason too, not only the failing download.
  EXPECT_THAT(r.err, HasSubstr("/crash/key'.: The reply (HTTP 200, 40 bytes beginning "
                               "'<html><body>Please sign in</body></html>') is not a usable key"));
  EXPECT_THAT(Log(), HasSubstr("is not a usable key: it holds no PEM"));
  EXPECT_TRUE(DataFiles().empty());

  // A full disk fails the write; it sends no SIGXFSZ, so that is ignored.
  // It spends none of the packages' attempts.
  const ProcessResult full = SendCrashes(
      "", {}, {"/bin/sh", "-c", "trap '' XFSZ; exec prlimit --fsize=100000 \"$@\"", "sh"});
  EXPECT_EQ(full.status, 0) << full.out;
  for (const char* name : {"a.1", "b.2"}) {
    EXPECT_EQ(Status(name).first, "pendingretry");
    EXPECT_EQ(ResultCodes(name), std::vector<std::string>{});
    EXPECT_EQ(LastErrorCode(name), "ClientError");
  }

  // A weak key (which weaknesses are refused is crypto_test.cc's), under a
  // usable key id, fails the download before any package (status file,
  // attempt count, data file) is touched.
  // The public half of a new key of `bits`, as the key endpoint sends it.
  const auto newPublicKey = [](const std::string& bits) {
    const std::string generate =
        "/usr/bin/openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:" + bits;
    const std::string pem =
        RunProcess("/bin/sh", {"-c", generate + " | /usr/bin/openssl pkey -pubout"}).out;
    EXPECT_THAT(pem, HasSubstr("-----BEGIN PUBLIC KEY-----"));
    return pem;
  };
  const std::map<std::string, std::string> before = DataFiles();
  server_.AddFault("key", 1, "status", 200, newPublicKey("1024"), 0, 1, {{"key-id", "zor-weak"}});
  const ProcessResult weakKey = SendCrashes();
  EXPECT_EQ(weakKey.status, -1);
  EXPECT_THAT(weakKey.err, HasSubstr("the key is 1024 bits"));
  EXPECT_TRUE(DataFiles() == before);

  // Packages encrypted for a key the server gave once go out under the key
  // it gives now: under the old one they would reach it unreadable.
  // But c.3's dump is gone meanwhile: its encrypted file is its last copy,
  // and goes as it is.
  Crash("c.3", 300000);
  server_.AddFault("key", 1, "status", 200, newPublicKey("2048"), 0, 1, {{"key-id", "zor-old"}});
  server_.AddFault("register", 1, "status", 503, "{}", 0, 3);
  EXPECT_THAT(SendCrashes().out, HasSubstr("Failed to upload '3' crash package(s)."));
  fs::remove_all(dumps_ + "/c.3_0.crash");
  EXPECT_THAT(SendCrashes().out, Uploaded(3));
  EXPECT_THAT(Log(), HasSubstr("it was encrypted for the key 'zor-old', and the server now gives"));
  EXPECT_THAT(Log(), HasSubstr("Package 'c.3': its encrypted file is for the key 'zor-old'"));
  EXPECT_EQ(Status("c.3").first, "complete");
  for (const char* name : {"a.1", "b.2"}) EXPECT_TRUE(Sent(name)) << name;
}

// Signals during a bandwidth-limited upload, each once a part is on its way:
// every run puts the package back without counting an attempt and says so,
// and the run after them finishes the upload. The parts take longer at the
// limit than the configured PUT time-out; the run allows them the time.
TEST_F(UploadTest, InterruptedRunsPutTheUploadBack) {
  partSize_ = 32 * 1024;
  Crash("slow.1", 3 * 32 * 1024 - 1000);
  const std::string metrics = dir_.Sub("metrics.prom");
  const std::string settings =
      "servercrashupload.upload_bandwidth_limit_in_bytes: 16384\n"
      "servercrashupload.http_put_timeout_in_minutes: 0.025\n"
      "servercrashupload.metrics.file: " +
      metrics + "\n";
  for (const int signal : {SIGTERM, SIGTERM, SIGTERM, SIGTERM, SIGINT}) {
    const std::string name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
    SCOPED_TRACE(name);
    const int parts = Count("part");
    const size_t logged = fs::exists(dir_.Sub("logs")) ? Log().size() : 0;
    ProcessResult r;
    SignalWhen([&] { return Count("part") > parts; }, "a part", signal, settings, &r);
    // The program's own exit with 128 + N reads as a negative byte here;
    // dying of the signal would read 128 + N.
    EXPECT_EQ(r.status, static_cast<signed char>(128 + signal)) << r.out;
    EXPECT_EQ(Status("slow.1").first, "pendingretry");
    EXPECT_TRUE(ResultCodes("slow.1").empty());
    EXPECT_THAT(Log().substr(logged),
                HasSubstr("\"sev\":\"warn\",\"k\":\"crashes-upload\",\"v\":\"Interrupted by " +
                          name + ": package 'slow.1"));
    EXPECT_THAT(ReadFile(metrics),
                HasSubstr("zorcrashreporter_exit_status " + std::to_string(128 + signal)));
  }
  const ProcessResult r = SendCrashes(settings);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(Log(), HasSubstr("A part of 32768 bytes at the upload bandwidth limit of 16384 "
                               "bytes/s takes 2000 ms, which does not fit in the PUT time-out of "
                               "1500 ms: each part is allowed 3000 ms"));
  EXPECT_EQ(ResultCodes("slow.1"), std::vector<std::string>{"Success"});
  EXPECT_TRUE(Sent("slow.1"));
}

// A signal stops the zip itself: a large crash (a sparse one of a user's,
// say) does not hold the run past its time-out, and nothing of the zip stays.
TEST_F(UploadTest, ASignalStopsTheZipOfALargeCrash) {
  Crash("huge.2", 1000);
  fs::resize_file(dumps_ + "/huge.2_0.crash/huge.2.dmp", uint64_t{64} << 30);
  ProcessResult r;
  SignalWhen(
      [&] {
        return fs::exists(dir_.Sub("logs/zorcrashreporter.txt")) &&
               Log().find("Creating zip file") != std::string::npos;
      },
      "the zip", SIGTERM, "", &r);
  EXPECT_EQ(r.status, static_cast<signed char>(128 + SIGTERM)) << r.out;
  const auto [status, document] = Status("huge.2");
  EXPECT_EQ(status, "pendingretry");
  EXPECT_FALSE(document["package-data-files"].HasMember("encrypted-package-file"));
  for (const std::string& name : DataFileNames()) EXPECT_FALSE(name.ends_with(".enc")) << name;
}

// In a real terminal (a tmux pane of 80 and of 160 columns), a slow upload
// shows one line that is redrawn in place: never wider than the pane, with
// the whole file's percentage and the time left, and ended by one summary.
TEST_F(UploadTest, ProgressIsOneRedrawnLineInATerminal) {
  if (access("/usr/bin/tmux", X_OK) != 0) GTEST_SKIP() << "tmux is missing: run scripts/setup.sh";
  partSize_ = 32 * 1024;
  for (const int width : {80, 160}) {
    SCOPED_TRACE(width);
    // A server per width: the last one may still be exiting after kill-server.
    const std::string socket = dir_.Sub("tmux." + std::to_string(width) + ".sock");
    const auto tmux = [&](std::vector<std::string> args) {
      args.insert(args.begin(), {"-S", socket});
      return RunProcess("/usr/bin/tmux", args);
    };
    const std::string name = "wide." + std::to_string(width);
    Crash(name, 4 * 32 * 1024);  // five parts with the zip around it
    const std::string config = Config("servercrashupload.upload_bandwidth_limit_in_bytes: 65536\n");
    const auto started = tmux(
        {"new-session", "-d", "-x", std::to_string(width), "-y", "40", "-c", dir_.path(), "-e",
         "HOME=" + dir_.Sub("home"), "-e", "XDG_CONFIG_HOME=" + dir_.Sub("settings"), "/bin/sh",
         "-c", "\"$0\" --command send-crashes --config-file \"$1\"; echo run ended $?; exec cat",
         ProgramPath(), config});
    ASSERT_EQ(started.status, 0) << started.out << started.err;
    // Read the pane until the run has ended, keeping a progress line seen
    // on the way (the upload takes about three seconds at the limit).
    std::string progress, pane;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (pane.find("run ended") == std::string::npos) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << pane;
      pane = tmux({"capture-pane", "-p", "-J"}).out;
      std::istringstream lines(pane);
      for (std::string line; std::getline(lines, line);) {
        if (line.find("Uploading part") != std::string::npos && line.find(":") != line.rfind(":") &&
            line.find("--:--") == std::string::npos) {
          progress = line;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a polling interval
    }
    tmux({"kill-server"});
    EXPECT_THAT(pane, HasSubstr("run ended 0"));
    EXPECT_THAT(progress, ContainsRegex("Uploading part [1-5] of 5: +[0-9]+% of 0\\.1 MiB, "
                                        "[0-9.]+ MiB/s, [0-9]+:[0-9]{2} left$"));
    // Redrawn in place, and cleared for each log line: no progress line (of
    // the zip's pass or of a part) is left, one summary replaces them, and
    // neither ever wrapped (a wrapped line would be joined by -J).
    EXPECT_THAT(pane, Not(AnyOf(HasSubstr("Uploading part"), HasSubstr("Zipping and"))));
    size_t summaries = 0;
    std::istringstream lines(pane);
    for (std::string line; std::getline(lines, line);) {
      if (!line.starts_with("Uploaded ")) continue;
      EXPECT_LT(line.size(), static_cast<size_t>(width)) << line;
      EXPECT_THAT(line, HasSubstr("Uploaded 0.1 MiB in 5 part(s)"));
      ++summaries;
    }
    EXPECT_EQ(summaries, 1u) << pane;
  }
}

// A crash whose only dump is a full dump waits, uncounted, through runs
// that leave full dumps out, and goes with the first run that sends them.
TEST_F(UploadTest, ACrashOfAFullDumpAloneWaitsForARunThatSendsIt) {
  const std::string dir = dumps_ + "/only.10_0.crash";
  dumpBytes_["only.10"] = Incompressible(2 << 20);
  WriteFile(dir + "/only.10-full.dmp", dumpBytes_["only.10"]);
  WriteFile(dir + "/only.10.manifest", "{}");
  // Waiting is no attempt: a size limit it alone exceeds keeps it.
  const std::string config = Config("servercrashupload.retention.max_total_mb: 1\n");
  for (int run = 0; run < 4; ++run) {
    EXPECT_EQ(Run({"--command", "send-crashes", "--config-file", config, "--no-full-dumps"}).status,
              0);
  }
  EXPECT_EQ(Status("only.10").first, "pendingretry");
  EXPECT_TRUE(ResultCodes("only.10").empty());
  EXPECT_THAT(LastErrorCode("only.10"), Not(""));
  EXPECT_THAT(SendCrashes().out, Uploaded(1));
  EXPECT_TRUE(Sent("only.10"));
}

// A console whose reader has gone (`| head`) ends nothing: the run sends
// its crash and ends as it would. (The test's own process ignores SIGPIPE,
// which its children would inherit.)
TEST_F(UploadTest, AConsoleWhoseReaderWentEndsNothing) {
  Crash("p.1", 3 * kPart);
  const ProcessResult r = SendCrashes("", {},
                                      {"/usr/bin/env", "--default-signal=PIPE", "/bin/bash", "-c",
                                       "\"$0\" \"$@\" | true; exit ${PIPESTATUS[0]}"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Sent("p.1"));
}

// A `send-logs` killed during its upload leaves the user's e-mail address
// behind until a later run uploads that package; `send-logs` itself uploads
// the user's details with the zip, keeps the zip and leaves nothing behind
// that holds the address.
TEST_F(UploadTest, SendLogsUploadsTheUsersZipAndKeepsIt) {
  const std::string zip = UsersZip();
  server_.AddFault("part", 1, "hang");
  ProcessResult killed;
  // Named relative to its folder: the run that resumes the package starts
  // elsewhere and must still read that file.
  SignalWhen([&] { return Count("part") >= 1; }, "the logs part", SIGKILL, "", &killed,
             [&](ProcessOptions o) {
               o.workingDirectory = dir_.Sub(".");
               return SendLogs("my logs.zip", std::move(o));
             });
  EXPECT_EQ(killed.status, 128 + SIGKILL);
  // The data directory's files, at any depth, that hold the address or the case number.
  const auto holdingTheAddress = [&] {
    return RunProcess("/bin/grep", {"-rlaF", "-e", kEmail, "-e", kCase, data_}).out;
  };
  ASSERT_NE(holdingTheAddress(), "");
  // A record names the zip as the run found it.
  const std::string named = "\"zipped-package-file\":\"" + zip + "\"";
  EXPECT_EQ(RunProcess("/bin/grep", {"-rqF", named, data_}).status, 0);
  // The timer's send-crashes uploads the package left behind, and with it
  // goes what it held of the user's.
  server_.Reset();
  EXPECT_EQ(SendCrashes().status, 0);
  EXPECT_EQ(Count("complete"), 1);
  EXPECT_EQ(holdingTheAddress(), "");
  EXPECT_TRUE(DataFiles().empty());

  const ProcessResult r = SendLogs(zip);
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, HasSubstr("Successfully uploaded '1' log package(s)."));
  EXPECT_TRUE(fs::exists(zip));
  EXPECT_TRUE(DataFiles().empty());
  // The server decrypts the customer details of both packages it got (the
  // one left behind and this one).
  const std::vector<std::string> stored = server_.CrashIds();
  EXPECT_EQ(stored.size(), 2u);
  for (const std::string& crashId : stored) {
    EXPECT_THAT(server_.Show(crashId),
                AllOf(HasSubstr(kEmail), HasSubstr(kCase), HasSubstr("app.log")));
  }

  // A refused attempt fails the run and is counted where `list` shows it.
  server_.AddFault("part", 1, "status", 400, "{}");
  EXPECT_EQ(SendLogs(zip).status, -1);
  const auto listed = [&] {
    return Run({"--command", "list", "--output", "json", "--config-file", Config()}).out;
  };
  EXPECT_THAT(listed(), AllOf(HasSubstr("\"status\":\"PendingRetry\""), HasSubstr("\"attempts\":1"),
                              HasSubstr("server replied 400")));
  // The user's zip, turned into a link or taken away before the package is
  // encrypted again: nothing can make it again, so either counts, with its
  // cause.
  fs::rename(zip, zip + ".away");
  fs::create_symlink(zip + ".away", zip);
  for (const char* cause : {"a component of its path is a link", "No such file"}) {
    for (const auto& entry : fs::directory_iterator(data_)) {
      if (entry.path().extension() == ".enc") fs::remove(entry.path());
    }
    server_.Reset();
    EXPECT_EQ(SendCrashes().status, 0);
    EXPECT_THAT(listed(),
                AllOf(HasSubstr(std::string("\"attempts\":") + (cause[0] == 'a' ? "2" : "3")),
                      HasSubstr("Unable to open file '" + zip + "': TFile: cannot open '" + zip +
                                "': " + cause)));
    fs::remove(zip);
  }
  fs::rename(zip + ".away", zip);
  EXPECT_EQ(Count("part"), 0);

  // Whoever runs it (root, say), a zip is read only as a user may hand it
  // over: never through a link, nor a FIFO, nor another name of a file.
  fs::create_directories(dir_.Sub("real"));
  WriteFile(dir_.Sub("real/secret.zip"), "PK secret");
  fs::create_symlink(dir_.Sub("real/secret.zip"), dir_.Sub("link.zip"));
  fs::create_directory_symlink(dir_.Sub("real"), dir_.Sub("folder-link"));
  fs::create_hard_link(dir_.Sub("real/secret.zip"), dir_.Sub("hard.zip"));
  ASSERT_EQ(mkfifo(dir_.Sub("fifo.zip").c_str(), 0600), 0);
  fs::create_directories(dir_.Sub("shared"));
  fs::permissions(dir_.Sub("shared"), fs::perms::all | fs::perms::sticky_bit);
  WriteFile(dir_.Sub("shared/logs.zip"), "PK");
  WriteFile(dir_.Sub("others.zip"), "PK");
  const bool root = geteuid() == 0 && chown(dir_.Sub("others.zip").c_str(), 65534, 65534) == 0;
  server_.Reset();
  // What a zip holds (none that is empty, sparse or no zip) is the
  // encryptor's to judge (package_encryptor_test.cc).
  for (const auto& [name, cause] : std::vector<std::pair<std::string, std::string>>{
           {"none.zip", "No such file"},
           {"link.zip", "a component of its path is a link"},
           {"folder-link/secret.zip", "a component of its path is a link"},
           {"hard.zip", "it has other names (hard links)"},
           {"fifo.zip", "not a regular file"},
           {"shared/logs.zip", "it must belong to the owner of its folder, which no one else may"},
           {"others.zip", "it must belong to the owner of its folder"}}) {
    if (name == "others.zip" && !root) continue;  // no other owner without root
    const ProcessResult refused =
        Run({"--command", "send-logs", "--zipped-logs-file", dir_.Sub(name),
             "--support-case-number", "1", "--config-file", Config()});
    EXPECT_EQ(refused.status, -1) << name;
    EXPECT_THAT(Log(), HasSubstr("Unable to open file '" + dir_.Sub(name) +
                                 "': TFile: cannot open '" + dir_.Sub(name) + "': " + cause));
  }
  // Nor one in the data directory, whose unrecorded files the program sweeps.
  fs::create_directories(data_);
  WriteFile(data_ + "/mine.package.zip", ReadFile(UsersZip()));
  EXPECT_EQ(Run({"--command", "send-logs", "--zipped-logs-file", data_ + "/mine.package.zip",
                 "--support-case-number", "1", "--config-file", Config()})
                .status,
            -1);
  EXPECT_THAT(Log(), HasSubstr("The zipped logs file '" + data_ +
                               "/mine.package.zip' lies in the data directory"));
  EXPECT_EQ(Count("upload-id"), 0);
}

// The permission bits of `path` in octal ("700").
std::string Mode(const fs::path& path) {
  char mode[16];
  std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(fs::status(path).permissions()));
  return mode;
}

// Every file and directory below `root` (and `root` itself) as another user
// sees it: owner only (0700, 0600), and `nobody` can neither list nor read
// any. Returns the extensions seen ("/" for a directory).
std::set<std::string> ExpectPrivate(const std::string& root) {
  std::vector<fs::path> paths{root};
  for (const auto& entry : fs::recursive_directory_iterator(root)) paths.push_back(entry.path());
  std::set<std::string> seen;
  for (const fs::path& path : paths) {
    const bool directory = fs::is_directory(path);
    seen.insert(directory ? "/" : path.extension().string());
    EXPECT_EQ(Mode(path), directory ? "700" : "600") << path;
    const ProcessResult r = RunProcess(
        "/usr/sbin/runuser", {"-u", "nobody", "--", directory ? "/bin/ls" : "/bin/cat", path});
    EXPECT_THAT(r.err, HasSubstr("Permission denied")) << path << ": " << r.status << r.out;
  }
  return seen;
}

// A run stopped part-way, a completed run that keeps its files (preserved:
// uploaded once, its dump kept) and the program's own crash leave nothing
// that another user can read; the one file meant for others is the metrics
// file. A data directory that others can read is named at the next start.
TEST_F(UploadTest, NothingARunCreatesIsOpenToOtherUsers) {
  if (geteuid() != 0) GTEST_SKIP() << "runs as root, to look through nobody's eyes";
  if (!fs::exists("/usr/sbin/runuser")) GTEST_SKIP() << "needs runuser";
  // Only the program's own modes stand between nobody and its files.
  fs::permissions(dir_.path(), fs::perms(0755));
  partSize_ = 32 * 1024;
  Crash("a.1", 100000);
  // Its folders are missing: they are made open to the exporter that reads it.
  const std::string metrics = dir_.Sub("exporter/textfile/metrics.prom");
  const std::string settings = "servercrashupload.preserve_upload_packages: true\n"
                               "servercrashupload.delete_completed_dumps: false\n"
                               "servercrashupload.metrics.file: " + metrics + "\n";
  server_.AddFault("part", 2, "status", 503, "busy");
  EXPECT_EQ(SendCrashes(settings).status, 0);
  ASSERT_EQ(Status("a.1").first, "pendingretry");
  EXPECT_EQ(ExpectPrivate(data_),
            (std::set<std::string>{"/", ".pendingretry", ".zip", ".enc", ".zormeta", ".parts",
                                   ".crash-manifest", ".lock"}));
  EXPECT_THAT(ExpectPrivate(dir_.Sub("logs")), Contains(".txt"));

  // The upload resumes; a preserved package keeps its files and its dump.
  EXPECT_EQ(SendCrashes(settings).status, 0);
  EXPECT_EQ(ExpectPrivate(data_),
            (std::set<std::string>{"/", ".complete", ".zip", ".enc", ".zormeta", ".parts",
                                   ".crash-manifest", ".lock"}));
  EXPECT_TRUE(fs::exists(dumps_ + "/a.1_0.crash/a.1.dmp"));
  EXPECT_EQ(std::tuple(Mode(dir_.Sub("exporter")), Mode(dir_.Sub("exporter/textfile")),
                       Mode(metrics)),
            std::tuple("755", "755", "644"));
  if (!ZOR_SHADOW_SANITIZER) {
    ProcessOptions options;
    options.noCoreDump = true;
    Run({"--command", "simulate-crash", "--config-file", Config(), "--enable-features",
         "crash-handler"},
        options);
    EXPECT_THAT(ExpectPrivate(dir_.Sub("logs")), Contains(".dmp"));
  }

  fs::permissions(data_, fs::perms(0055), fs::perm_options::add);
  EXPECT_THAT(SendCrashes(settings).out,
              HasSubstr("Data directory '" + data_ + "' has mode 0755: other users can read"));
  // The program's own crash is sent like any other.
  EXPECT_EQ(Count("register"), ZOR_SHADOW_SANITIZER ? 1 : 2);
}

// A file name with an escape sequence and a line break: the console and
// `list` show it escaped, and it makes no row of its own.
TEST_F(UploadTest, ControlCharactersInAFileNameReachTheTerminalEscaped) {
  const std::string name = "evil\x1b[2J\nspoof";
  Crash(name, 1000);
  const ProcessResult sent = SendCrashes();
  EXPECT_EQ(sent.status, 0) << sent.out;
  const ProcessResult listed = Run({"--command", "list", "--config-file", Config()});
  for (const ProcessResult* r : {&sent, &listed}) {
    EXPECT_EQ((r->out + r->err).find('\x1b'), std::string::npos) << r->out << r->err;
    EXPECT_THAT(r->out, HasSubstr("evil\\x1b[2J\\nspoof"));
    EXPECT_THAT(r->out, Not(ContainsRegex("(^|\n)spoof")));
  }
}

// The timer's `send-crashes` runs while a `send-logs` waits for its part:
// it leaves the logs package to its owner, and each is uploaded once.
TEST_F(UploadTest, SendCrashesLeavesARunningSendLogsAlone) {
  Crash("a.1", 20000);
  const std::string zip = UsersZip();
  server_.AddFault("part", 1, "hold");
  auto logs = std::async(std::launch::async, [&] { return SendLogs(zip); });
  WaitUntil([&] { return Count("part") >= 1; }, "the logs part", logs);
  if (HasFatalFailure()) return;

  const ProcessResult crashes = SendCrashes();
  EXPECT_EQ(crashes.status, 0) << crashes.out;
  EXPECT_THAT(crashes.out, HasSubstr("Successfully uploaded '1' crash package(s). Failed to "
                                     "upload '0' crash package(s)."));
  EXPECT_THAT(crashes.out, HasSubstr("is being worked on by another process; skipped"));
  server_.Release();
  const ProcessResult sent = logs.get();
  EXPECT_EQ(sent.status, 0) << sent.out;
  EXPECT_THAT(sent.out, HasSubstr("Successfully uploaded '1' log package(s)."));

  EXPECT_EQ(Count("register"), 2);
  EXPECT_EQ(Count("complete"), 2);
  EXPECT_TRUE(Sent("a.1"));
  // Its dumps kept, the crash keeps the record of its files too.
  EXPECT_EQ(DataFileNames(),
            (std::set<std::string>{"a.1.crash-manifest", "a.1.crash-package.complete"}));
}

// Connects to the controller's socket (its file exists from the bind, before
// it listens) and writes `text`.
void Tell(const std::string& socketPath, const std::string& text) {
  sockaddr_un address{AF_UNIX, {}};
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  int fd;
  while (connect(fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0),
                 reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "no controller at " << socketPath;
  }
  EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  for (char c; read(fd, &c, 1) > 0;) {
  }
  close(fd);
}

// Which words release the run is the controller's (test_controller_test.cc).
TEST_F(UploadTest, TestControllerHoldsTheRunWhileASecondRunIsLockedOut) {
  Crash("a.1", 1000);
  const std::string socketPath = dir_.Sub("controller");
  auto held = std::async(std::launch::async, [&] {
    return SendCrashes("servercrashupload.test_controller_name: " + socketPath + "\n");
  });
  WaitUntil([&] { return fs::exists(socketPath); }, "the controller's socket", held);
  if (HasFatalFailure()) return;
  // The held run has the lock and has touched no package yet; the second
  // run's message is HandleRunFailure's (src/main/driver_test.cc).
  const ProcessResult second = SendCrashes();
  EXPECT_EQ(second.status, -2);
  EXPECT_THAT(second.out, HasSubstr("[WARN]: Another instance of ZorCrashReporter"));
  EXPECT_FALSE(fs::exists(data_));
  Tell(socketPath, "continue");
  const ProcessResult r = held.get();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(Status("a.1").first, "complete");

  // A run over the same data directory with another log folder (so another
  // lock there) is kept out by the data directory's own: it would package
  // the same crashes again.
  Crash("b.2", 1000);
  const int fd = open((data_ + "/zorcrashreporter.lock").c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);
  // Nor does it write the metrics of a run it did not make.
  const std::string metrics = "servercrashupload.metrics.file: " + dir_.Sub("m/run.prom") + "\n";
  EXPECT_EQ(SendCrashes(metrics).status, -2);
  EXPECT_EQ(Status("b.2").first, "");
  EXPECT_FALSE(fs::exists(dir_.Sub("m/run.prom")));
  close(fd);
  EXPECT_EQ(SendCrashes().status, 0);
  EXPECT_EQ(Status("b.2").first, "complete");

  // A log folder that is the data directory is one lock file, held once.
  Crash("c.3", 1000);
  EXPECT_EQ(SendCrashes("servercrashupload.log.dir: " + data_ + "\n").status, 0);
  EXPECT_EQ(Status("c.3").first, "complete");
}

}  // namespace
}  // namespace zor::test
