// The program's own crash, end to end: simulate-crash leaves a crash
// directory, send-crashes packages and uploads it to the local crash server,
// and the server decrypts what arrived.
//
// Skipped in sanitizer builds: the program's full dump would hold the
// sanitizer's shadow memory (see src/main/crash_simulation_test.cc).
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "files/zip_test_reader.h"
#include "platform/sanitizer_build.h"
#include "support/local_crash_server.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace zor::test {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsSupersetOf;
using ::testing::Not;
namespace fs = std::filesystem;

TEST(CrashUploadTest, SimulatedCrashArrivesWithItsManifestDumpsAndRotatedLogs) {
  if (ZOR_SHADOW_SANITIZER) {
    GTEST_SKIP() << "see the file comment";
  }
  LocalCrashServer server;
  ScopedTempDir dir;
  const std::string config = dir.Sub("config.yml");
  // The log directory is the dump directory too, so that the rotated logs a
  // crash names lie where the program may read them.
  WriteFile(config, "servercrashupload.data.dir: " + dir.Sub("data") +
                        "\nservercrashupload.upload_endpoint: " + server.BaseUrl() +
                        "\nservercrashupload.rsa_endpoint: " + server.BaseUrl() +
                        "/crash/key\nservercrashupload.dump.dirs: " + dir.Sub("logs") +
                        "\nservercrashupload.log.dir: " + dir.Sub("logs") + "\n");
  ProcessOptions options;
  options.workingDirectory = dir.path();
  options.environment.emplace("HOME", dir.Sub("home"));
  options.noCoreDump = true;

  // Six rotations make a chain of seven files, one more than is sent whole.
  const ProcessResult crash =
      RunProcess(ProgramPath(),
                 {"--command", "simulate-crash", "--config-file", config, "--rotate-log-n-times",
                  "6", "--rotate-log-interval", "1", "--enable-features", "crash-handler"},
                 options);
  ASSERT_EQ(crash.status, 128 + SIGSEGV) << crash.out << crash.err;
  const ProcessResult send =
      RunProcess(ProgramPath(), {"--command", "send-crashes", "--config-file", config}, options);
  ASSERT_EQ(send.status, 0) << send.out << send.err;

  std::vector<std::string> crashIds;
  for (const auto& entry : fs::directory_iterator(server.DataDir() + "/packages")) {
    crashIds.push_back(entry.path().stem().string());
  }
  ASSERT_EQ(crashIds.size(), 1u) << send.out;
  std::string error;
  ASSERT_TRUE(server.DecryptZip(crashIds[0], dir.Sub("arrived.zip"), &error)) << error;
  const ZipListing zip = ReadZipIndependently(dir.Sub("arrived.zip"));
  ASSERT_TRUE(zip.ok) << zip.error;
  std::vector<std::string> names;
  for (const ZipEntryInfo& e : zip.entries) names.push_back(fs::path(e.name).filename().string());

  EXPECT_EQ(std::count_if(names.begin(), names.end(),
                          [](const std::string& n) {
                            return n.find(".manifest") != std::string::npos ||
                                   n.find("-full.dmp") != std::string::npos ||
                                   n.find(".dmp") != std::string::npos;
                          }),
            3)
      << ::testing::PrintToString(names);
  // The crash's copy of the newest log, then the older files but the middle one.
  EXPECT_THAT(names, IsSupersetOf({"zorcrashreporter_6.txt", "zorcrashreporter_5.txt",
                                   "zorcrashreporter_4.txt", "zorcrashreporter_2.txt",
                                   "zorcrashreporter_1.txt", "zorcrashreporter.txt"}));
  EXPECT_THAT(names, Not(Contains("zorcrashreporter_3.txt")));
  for (const ZipEntryInfo& e : zip.entries) {
    if (e.name.find(".manifest") != std::string::npos) {
      EXPECT_THAT(e.content, HasSubstr("\"manifest-version\":\"1.1\""));
    }
  }
}

}  // namespace
}  // namespace zor::test
