// The program as a fleet runs it: send-crashes against the local crash
// server with a metrics file, and the listing of what it holds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <ctime>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "support/local_crash_server.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace zor::test {
namespace {

namespace fs = std::filesystem;

// Every sample of an exposition text by name, after checking each line: a
// sample follows its own HELP and TYPE lines, and no name repeats.
std::map<std::string, double> ParseExposition(const std::string& text) {
  static const std::regex kHelp(R"(# HELP ([a-z_]+) \S.*)");
  static const std::regex kType(R"(# TYPE ([a-z_]+) (gauge|counter))");
  static const std::regex kSample(R"(([a-z_]+) (-?[0-9]+(\.[0-9]+)?))");
  std::map<std::string, double> samples;
  std::string help, type;
  std::istringstream in(text);
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (std::regex_match(line, m, kHelp)) {
      help = m[1];
    } else if (std::regex_match(line, m, kType)) {
      type = m[1];
      EXPECT_EQ(type, help) << line;
      if (m[2] == "counter") {
        EXPECT_EQ(type.substr(type.size() - 6), "_total") << line;
      }
    } else if (std::regex_match(line, m, kSample)) {
      EXPECT_EQ(m[1], type) << "sample without its HELP and TYPE: " << line;
      EXPECT_TRUE(samples.emplace(m[1], std::stod(m[2])).second) << "repeated: " << line;
    } else {
      ADD_FAILURE() << "not exposition format: '" << line << "'";
    }
  }
  EXPECT_FALSE(text.empty() || text.back() != '\n') << "the last line must end";
  return samples;
}

class FleetTest : public ::testing::Test {
 protected:
  FleetTest() {
    const std::string dumps = dir_.Sub("dumps");
    WriteFile(dir_.Sub("c.yml"),
              server_.Settings(dir_.Sub("data"), "[" + dumps + "]", dir_.Sub("logs")) +
                  // Its folder is missing: the first run makes it.
                  "servercrashupload.metrics.file: " + dir_.Sub("metrics/zcr.prom") +
                  "\nservercrashupload.retry_delay_minutes: 0\n");
  }

  ProcessResult Run(const std::vector<std::string>& args) {
    ProcessOptions options;
    options.workingDirectory = dir_.path();
    options.environment.emplace("HOME", dir_.Sub("home"));
    options.environment.emplace("XDG_CONFIG_HOME", dir_.Sub("config"));
    options.unsetEnvironment = {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"};
    std::vector<std::string> all = args;
    all.insert(all.end(), {"--config-file", dir_.Sub("c.yml")});
    return RunProcess(ProgramPath(), all, options);
  }

  std::map<std::string, double> Metrics() {
    return ParseExposition(ReadFile(dir_.Sub("metrics/zcr.prom")));
  }

  // Every file below the scratch directory with its size and time.
  std::set<std::string> Tree() const {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      files.insert(entry.path().string() + " " +
                   std::to_string(entry.last_write_time().time_since_epoch().count()));
    }
    return files;
  }

  LocalCrashServer server_;
  ScopedTempDir dir_;
};

TEST_F(FleetTest, MetricsOfRunsThatSucceedFailAPackageOrFailWholeAndTheListing) {
  WriteFile(dir_.Sub("dumps/app.1.dmp"), "MDMP one");
  WriteFile(dir_.Sub("dumps/app.2.dmp"), "MDMP two");
  server_.AddFault("register", 2, "status", 500, "{}");

  const std::time_t before = std::time(nullptr);
  ProcessResult r = Run({"--command", "send-crashes"});
  ASSERT_EQ(r.status, 0) << r.out;
  auto m = Metrics();
  EXPECT_EQ(m.size(), 13u);
  EXPECT_EQ(m["zorcrashreporter_packages_found"], 2);
  EXPECT_EQ(m["zorcrashreporter_packages_uploaded"], 1);
  EXPECT_EQ(m["zorcrashreporter_packages_failed"], 1);
  EXPECT_EQ(m["zorcrashreporter_packages_pending"], 0);
  EXPECT_EQ(m["zorcrashreporter_exit_status"], 0);
  EXPECT_GT(m["zorcrashreporter_uploaded_bytes"], 0);  // zipped and encrypted: not the dump size
  EXPECT_EQ(m["zorcrashreporter_uploaded_bytes_total"], m["zorcrashreporter_uploaded_bytes"]);
  EXPECT_EQ(m["zorcrashreporter_uploads_total"], 1);
  EXPECT_EQ(m["zorcrashreporter_upload_failures_total"], 1);
  EXPECT_GE(m["zorcrashreporter_run_end_time_seconds"], before);
  EXPECT_LE(m["zorcrashreporter_run_end_time_seconds"], std::time(nullptr));
  EXPECT_GE(m["zorcrashreporter_run_duration_seconds"], 0);
  const double firstBytes = m["zorcrashreporter_uploaded_bytes"];

  // The listing: JSON alone on standard output, and nothing touched.
  const std::set<std::string> tree = Tree();
  r = Run({"--command", "list", "--output", "json"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Tree(), tree);
  rapidjson::Document list;
  ASSERT_FALSE(list.Parse(r.out.c_str()).HasParseError()) << r.out;
  // What each entry holds is package_lister_test.cc's.
  ASSERT_TRUE(list.IsArray());
  EXPECT_EQ(list.Size(), 2u);

  // The next run uploads the other one; the counters go on from the file.
  // What a run killed in its save left goes, another program's stays.
  const std::string killed = dir_.Sub("metrics/.zcr.prom.4194303.0badcafe.tmp");
  const std::string foreign = dir_.Sub("metrics/.other.prom.4194303.0badcafe.tmp");
  WriteFile(killed, "half");
  WriteFile(foreign, "theirs");
  // A crash of a full dump alone, left out by this run, waits: no failure.
  WriteFile(dir_.Sub("dumps/only.3_0.crash/only.3-full.dmp"), "MDMP full");
  WriteFile(dir_.Sub("dumps/only.3_0.crash/only.3.manifest"), "{}");
  r = Run({"--command", "send-crashes", "--no-full-dumps"});
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, ::testing::HasSubstr("Failed to upload '0' crash package(s)"));
  EXPECT_FALSE(fs::exists(killed));
  EXPECT_TRUE(fs::exists(foreign));
  m = Metrics();
  EXPECT_EQ(m["zorcrashreporter_packages_found"], 2);
  EXPECT_EQ(m["zorcrashreporter_packages_uploaded"], 1);
  EXPECT_EQ(m["zorcrashreporter_packages_failed"], 0);
  EXPECT_EQ(m["zorcrashreporter_packages_waiting"], 1);
  EXPECT_EQ(m["zorcrashreporter_uploads_total"], 2);
  EXPECT_EQ(m["zorcrashreporter_upload_failures_total"], 1);
  EXPECT_EQ(m["zorcrashreporter_uploaded_bytes_total"],
            firstBytes + m["zorcrashreporter_uploaded_bytes"]);

  // A run that fails before any package is tried (the key cannot be
  // fetched) still writes its exit status.
  server_.AddFault("key", 1, "status", 503, "down", 0, 10);
  r = Run({"--command", "send-crashes"});
  EXPECT_EQ(r.status, -1) << r.out;
  m = Metrics();
  EXPECT_EQ(m["zorcrashreporter_exit_status"], -1);
  EXPECT_EQ(m["zorcrashreporter_packages_found"], 0);
  EXPECT_EQ(m["zorcrashreporter_uploads_total"], 2);
}

}  // namespace
}  // namespace zor::test
