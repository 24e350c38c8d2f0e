// simulate-crash and write-dump seen from outside: the built program as a
// child process, how it ends, and the crash directory it leaves.
//
// Sanitizer builds skip the tests that run the program: its full dump would
// hold the sanitizer's shadow memory (terabytes of address space), and a
// sanitized process cannot live under the out-of-memory case's address-space
// limit.
#include "main/crash_simulation.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "files/zip_file.h"
#include "packages/crash_manifest.h"
#include "platform/sanitizer_build.h"
#include "support/minidump_probe.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using ::testing::HasSubstr;
using namespace zor::test;
using zor::platform::TPath;
namespace fs = std::filesystem;

#define SKIP_UNDER_SANITIZER() \
  if (ZOR_SHADOW_SANITIZER) GTEST_SKIP() << "see the file comment"

constexpr uint64_t kMiB = 1024 * 1024;

TEST(PlanBallastTest, SplitsKilobytesIntoChunksOfAThreadsShare) {
  struct Case {
    uint64_t kilobytes;
    unsigned threads;
    BallastPlan expected;
  };
  const Case cases[] = {
      {100, 8, {268435455, 1, 102400}},
      {2, 8, {268435455, 0, 0}},
      {3, 8, {268435455, 1, 3072}},
      {4 * 1024 * 1024, 2, {1073741823, 5, 4}},  // 4 GiB: four full chunks and 4 bytes
      {2097151, 1, {2147483647, 1, 2147482624}},
      {100, 0, {2147483647, 1, 102400}},  // an unknown processor count counts as one
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.kilobytes) + " KiB on " + std::to_string(c.threads));
    const BallastPlan p = PlanBallast(c.kilobytes, c.threads), e = c.expected;
    EXPECT_EQ(std::tuple(p.chunkSize, p.chunkCount, p.lastChunkSize),
              std::tuple(e.chunkSize, e.chunkCount, e.lastChunkSize));
  }
}

// Each filling thread writes its own chunk while the caller waits; the
// ThreadSanitizer build runs this too.
TEST(AllocateBallastTest, EveryChunkIsFilledWithRandomBytes) {
  constexpr uint64_t kKilobytes = 72 * 1024;  // two of 64 threads' 32 MiB shares, and 8 MiB
  const BallastPlan plan = PlanBallast(kKilobytes, 64);
  ASSERT_EQ(plan.chunkCount, 3u);
  char* const* chunks = AllocateBallast(kKilobytes, true, 64);
  ASSERT_NE(chunks, nullptr);
  for (uint64_t i = 0; i < plan.chunkCount; ++i) {
    const uint64_t size = i + 1 == plan.chunkCount ? plan.lastChunkSize : plan.chunkSize;
    // Random bytes are zero one time in 256; an unfilled chunk is all zero.
    const auto zeros = static_cast<uint64_t>(std::count(chunks[i], chunks[i] + size, '\0'));
    EXPECT_LT(zeros, size / 128) << "chunk " << i;
  }
}

class CrashSimulationTest : public ::testing::Test {
 protected:
  // Runs the program in the scratch directory (logs in ./logs) with its
  // crash directories going to `dumps`.
  ProcessResult Run(std::vector<std::string> args, const std::string& dumps,
                    ProcessOptions options = {}) {
    options.workingDirectory = dir_.path();
    options.environment.emplace("HOME", dir_.Sub("home"));
    options.noCoreDump = true;
    args.insert(args.end(), {"--crashdumps-dir", dumps, "--crashdumps-temp-dir", Staging()});
    return RunProcess(ProgramPath(), args, options);
  }

  std::string Staging() const { return dir_.Sub("staging"); }

  // The one crash directory in `dumps`, checked to be whole; empty (with a
  // failure) otherwise.
  std::string WholeCrashDirectory(const std::string& dumps) {
    const std::vector<std::string> crashes = FindCrashDirectories(dumps);
    EXPECT_EQ(crashes.size(), 1u);
    if (crashes.size() != 1) return {};
    const std::vector<std::string> files = ListFileNames(crashes[0]);
    const std::regex expected(R"(zorcrashreporter\.\d+-full\.dmp zorcrashreporter\.\d+\.dmp )"
                              R"(zorcrashreporter\.\d+\.manifest zorcrashreporter(_\d+)?\.txt )");
    std::string joined;
    for (const std::string& f : files) joined += f + " ";
    EXPECT_TRUE(std::regex_match(joined, expected)) << joined;
    EXPECT_TRUE(ListFileNames(Staging()).empty()) << "left in the staging directory";
    return crashes[0];
  }

  static std::string FileEnding(const std::string& directory, const std::string& ending) {
    for (const std::string& f : ListFileNames(directory)) {
      if (f.ends_with(ending) && (ending != ".dmp" || !f.ends_with("-full.dmp"))) {
        return directory + "/" + f;
      }
    }
    return {};
  }

  ScopedTempDir dir_;
};

TEST_F(CrashSimulationTest, EachCrashTypeDiesByItsSignalAndLeavesAWholeCrashDirectory) {
  SKIP_UNDER_SANITIZER();
  struct Case {
    const char* type;
    bool crashHandlerFlag;  // false: the plain fault reporting installs the handler
    int signal;
    const char* logged;
    unsigned long long addressSpaceLimit;
  };
  const Case cases[] = {
      {"AccessViolation", true, SIGSEGV, "Performing an access violation.", 0},
      {"LogicAssertFailure", true, SIGABRT, "This is a simulated crash for testing", 0},
      {"StackOverflow", true, SIGSEGV, "Overflowing stack... on call count 1000.", 0},
      {"MultipleCrashes", false, SIGSEGV, "Spawning 3 threads wherein each", 0},
      // The limit leaves the program room to start and the machine plenty.
      {"OutOfMemory", true, SIGSEGV, "Successfully received a memory allocation failure",
       192 * kMiB},
  };
  std::string fullDump;  // of the first case
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    const std::string dumps = dir_.Sub(std::string("dumps-") + c.type);
    std::vector<std::string> args = {"--command", "simulate-crash", "--type", c.type};
    if (c.crashHandlerFlag) args.insert(args.end(), {"--enable-features", "crash-handler"});
    ProcessOptions options;
    options.addressSpaceLimit = c.addressSpaceLimit;

    const ProcessResult r = Run(args, dumps, options);

    EXPECT_EQ(r.status, 128 + c.signal) << r.out << r.err;
    const std::string crash = WholeCrashDirectory(dumps);
    if (crash.empty()) continue;
    const std::string log = ReadFile(FileEnding(crash, ".txt"));
    EXPECT_THAT(log, HasSubstr(c.logged));
    const std::string id = fs::path(crash).stem().string().substr(strlen("zorcrashreporter_"));
    if (c.crashHandlerFlag) {
      EXPECT_THAT(log, HasSubstr("\"crash-correlation-id\":\"" + id + "\""));
    }
    EXPECT_EQ(CrashManifest::LoadFromFile(TPath(FileEnding(crash, ".manifest")))->GetId(),
              zor::platform::TString(id));
    EXPECT_EQ(ReadMinidump(FileEnding(crash, ".dmp")).exceptionCode,
              static_cast<uint32_t>(c.signal));
    if (fullDump.empty()) fullDump = FileEnding(crash, "-full.dmp");
  }
  // A debugger reads the full dump too; what it shows of a minidump is
  // crash_handling_test.cc's.
  ASSERT_FALSE(fullDump.empty());
  EXPECT_THAT(RunLldbOnCores({fullDump}, {"thread list"})[0],
              HasSubstr("stop reason = signal SIGSEGV"));
}

TEST_F(CrashSimulationTest, BallastSetsTheSizeOfTheFullDumpAndOfItsZip) {
  SKIP_UNDER_SANITIZER();
  struct Case {
    bool incompressible;
    double minZipShare;  // of the ballast
    double maxZipShare;
  };
  const Case cases[] = {{false, 0.0, 0.5}, {true, 0.98, 2.0}};
  const uint64_t ballast = 100 * kMiB;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.incompressible ? "incompressible" : "zeros");
    const std::string dumps = dir_.Sub(c.incompressible ? "dumps-random" : "dumps-zero");
    std::vector<std::string> args = {"--command", "simulate-crash", "--min-crash-size",
                                     std::to_string(ballast / 1024)};
    if (c.incompressible) args.push_back("--write-incompressible-data");
    const ProcessResult r = Run(args, dumps);
    ASSERT_EQ(r.status, 128 + SIGSEGV) << r.out;
    const std::string crash = WholeCrashDirectory(dumps);
    ASSERT_FALSE(crash.empty());
    EXPECT_GE(fs::file_size(FileEnding(crash, "-full.dmp")), ballast);

    const std::string zipPath = dir_.Sub("package.zip");
    ZipFile zip;
    ASSERT_TRUE(zip.Open(zor::platform::TString(zipPath)));
    for (const std::string& f : ListFileNames(crash)) {
      zip.Add(zor::platform::TString(crash + "/" + f));
    }
    zip.Close();
    const double share = static_cast<double>(fs::file_size(zipPath)) / ballast;
    EXPECT_GE(share, c.minZipShare);
    EXPECT_LE(share, c.maxZipShare);
    fs::remove_all(dumps);
  }
}

TEST_F(CrashSimulationTest, WriteDumpLeavesAWholeCrashDirectoryOrFails) {
  SKIP_UNDER_SANITIZER();
  const std::string dumps = dir_.Sub("dumps");
  const ProcessResult r = Run({"--command", "write-dump"}, dumps);

  EXPECT_EQ(r.status, 0) << r.out << r.err;
  const std::string log = ReadFile(dir_.Sub("logs/zorcrashreporter.txt"));
  for (const char* text :
       {"Writing process minidump...", "Minidump write completed successfully."}) {
    EXPECT_THAT(log,
                HasSubstr(R"("sev":"warn","k":"minidump-write","v":")" + std::string(text) + '"'));
  }
  // What lldb shows of a requested dump is crash_handling_test.cc's.
  EXPECT_FALSE(WholeCrashDirectory(dumps).empty());

  // A staging folder others may write gets no handler, so no dump either.
  fs::permissions(Staging(), fs::perms::all);
  const ProcessResult refused = Run({"--command", "write-dump"}, dumps);
  EXPECT_EQ(refused.status, -1);
  EXPECT_THAT(ReadFile(dir_.Sub("logs/zorcrashreporter.txt")),
              HasSubstr("No minidump was written: this run installed no crash handler"));
}

}  // namespace
}  // namespace ZorErrorReporting
