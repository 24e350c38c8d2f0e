// The driver seen from outside: the built program run in a scratch
// directory, its exit status, its output and the files it leaves.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>

#include "support/minidump_probe.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace zor::test {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
namespace fs = std::filesystem;

constexpr int kNobody = 65534;

class DriverTest : public ::testing::Test {
 protected:
  ProcessResult Run(const std::vector<std::string>& args, ProcessOptions options = {}) {
    if (options.workingDirectory.empty()) options.workingDirectory = dir_.path();
    // Keep the user's real state and settings folders out of the test.
    options.environment.emplace("HOME", dir_.Sub("home"));
    options.environment.emplace("XDG_STATE_HOME", dir_.Sub("state"));
    options.environment.emplace("XDG_CONFIG_HOME", dir_.Sub("config"));
    options.environment.emplace("XDG_DATA_HOME", dir_.Sub("data"));
    return RunProcess(ProgramPath(), args, options);
  }

  // Every path below the scratch directory, relative to it.
  std::vector<std::string> Tree() const {
    std::vector<std::string> paths;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.path())) {
      paths.push_back(fs::relative(entry.path(), dir_.path()).string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
  }

  ScopedTempDir dir_;
};

TEST_F(DriverTest, HelpWinsAndCreatesNoFiles) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--version", "--command", "send-crashes", "--help"}}) {
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr(std::string("\t") + ProgramPath() + " --command simulate-crash\n"));
    EXPECT_THAT(r.out, Not(HasSubstr("Version: ")));
    EXPECT_TRUE(Tree().empty()) << "help must not create files";
  }
  const ProcessResult version = Run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("Version: ") + ZOR_PROJECT_VERSION + "\n");
}

// The messages are the option parser's and the driver's; from outside, the
// run must end with -1 before any directory is made.
TEST_F(DriverTest, BadOptionsEndTheRunBeforeAnyFileIsMade) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--command", "send-everything"}, "Unsupported command 'send-everything' received.\n"},
      {{"--source", "desktop", "--command", "send-logs", "--zipped-logs-file", "logs.zip",
        "--email", "a@b.cd"},
       "Desktop options were not specified by user.\n"},
      {{"--command", "send-crashes", "--enable-features", "crash-handler,no-such-feature"},
       "Failed to find registered feature flag for feature name 'no-such-feature'\n"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(message);
    const ProcessResult r = Run(args);
    EXPECT_EQ(r.status, -1);
    EXPECT_THAT(r.out, HasSubstr(message));
    EXPECT_TRUE(Tree().empty());
  }
  // The program's own crashes would be written where a ".." after a link
  // leads, and looked for where its letters lead.
  fs::create_directories(dir_.Sub("other/sub"));
  fs::create_directory_symlink(dir_.Sub("other/sub"), dir_.Sub("link"));
  const ProcessResult r =
      Run({"--command", "send-crashes", "--crashdumps-dir", dir_.Sub("link/..")});
  EXPECT_EQ(r.status, -1);
  EXPECT_THAT(r.out, HasSubstr("The crash dumps directory cannot be used: '" + dir_.Sub("link/..") +
                               "' leads to '"));
  EXPECT_FALSE(fs::exists(dir_.Sub("other/temp")));
}

TEST_F(DriverTest, DesktopRunMakesItsLogDirectoryOrSaysWhyNot) {
  const std::string logs = dir_.Sub("state/zorvane/logs");
  WriteFile(logs, "x");
  ProcessResult r = Run({"--source", "desktop", "--command", "send-crashes"});
  EXPECT_EQ(r.status, -1);
  EXPECT_THAT(r.out + r.err, HasSubstr("The logs directory '" + logs +
                                       "' is not a directory but a regular file; move it away"));
  fs::remove(logs);
  // On a fresh account.
  r = Run({"--source", "desktop", "--command", "send-crashes"});
  EXPECT_NE(r.status, -4) << r.out;
  EXPECT_THAT(ReadFile(dir_.Sub("state/zorvane/logs/zorcrashreporter.txt")),
              HasSubstr("\"k\":\"open-log\""));
}

// A desktop run's crash handler writes beside the user's own crash folder:
// a folder of the same name that another user made first in the machine's
// temporary folder turns nothing off.
TEST_F(DriverTest, DesktopCrashHandlingUsesNoSharedTemporaryFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  const std::string shared = dir_.Sub("tmp/crashdumps-temp");
  fs::create_directories(shared);
  ASSERT_EQ(chown(shared.c_str(), kNobody, kNobody), 0);
  ProcessOptions options;
  options.environment.emplace("TMPDIR", dir_.Sub("tmp"));
  const ProcessResult r = Run({"--source", "desktop", "--command", "send-crashes"}, options);
  EXPECT_NE(r.status, -4) << r.out;
  const std::string log = ReadFile(dir_.Sub("state/zorvane/logs/zorcrashreporter.txt"));
  EXPECT_THAT(log, Not(HasSubstr("own crashes are not reported")));
  EXPECT_TRUE(fs::is_directory(dir_.Sub("state/zorvane/logs/crashdumps/temp")));
}

TEST_F(DriverTest, UnwritableWorkingDirectoryNamesTheLogsDirectory) {
  const std::string cwd = dir_.Sub("readonly");
  fs::create_directories(cwd);
  chmod(dir_.path().c_str(), 0755);
  chmod(cwd.c_str(), 0555);
  ProcessOptions options;
  options.workingDirectory = cwd;
  options.runAsUid = kNobody;

  const ProcessResult r = Run({"--command", "send-crashes"}, options);

  EXPECT_EQ(r.status, -1);
  EXPECT_THAT(r.out,
              HasSubstr("Failed to create logs directory './logs': Permission denied. Please "
                        "run " +
                        ProgramPath() +
                        " from a directory for which the user has write permissions, or set "
                        "servercrashupload.log.dir.\n"));
  EXPECT_FALSE(fs::exists(cwd + "/logs"));
}

// A log that cannot be opened, or must not be (in a folder another user
// could swap it in), ends the run as a path error that names it. Which opens
// the log refuses (a link at its name too) is log_file_channel_test.cc's.
TEST_F(DriverTest, LogFileThatCannotOrMustNotBeOpenedIsAPathError) {
  // A directory at the log's name, or a working folder of another user's.
  for (const bool theirs : {false, true}) {
    SCOPED_TRACE(theirs ? "another user's folder" : "a directory at its name");
    if (theirs && geteuid() != 0) continue;
    const std::string cwd = dir_.Sub(theirs ? "theirs" : "mine");
    fs::create_directories(theirs ? cwd : cwd + "/logs/zorcrashreporter.txt");
    if (theirs) {
      ASSERT_EQ(chown(cwd.c_str(), kNobody, kNobody), 0);
    }
    ProcessOptions options;
    options.workingDirectory = cwd;
    const ProcessResult r = Run({"--command", "send-crashes"}, options);
    EXPECT_EQ(r.status, -4) << r.out;
    EXPECT_THAT(r.out,
                AllOf(HasSubstr(cwd + "/logs"),
                      HasSubstr(theirs ? "belongs to user 65534; set servercrashupload.log.dir"
                                       : "zorcrashreporter.txt")));
    // Nor is the folder made first, root's in another user's folder.
    EXPECT_NE(fs::exists(cwd + "/logs"), theirs);
  }
}

TEST_F(DriverTest, LogRotationSimulationWithoutRotationFailsBeforeAnyCrash) {
  const ProcessResult r = Run({"--command", "simulate-crash", "--rotate-log-n-times", "2"});

  EXPECT_EQ(r.status, -1);
  const std::string log = ReadFile(dir_.Sub("logs/zorcrashreporter.txt"));
  EXPECT_THAT(log, HasSubstr("\"sev\":\"fatal\",\"k\":\"crash-simulation\",\"v\":\"Rotate logs "
                             "simulation requested, but log rotation is not enabled!"));
  // The staging folder is made at start-up; no crash is in it or beside it.
  EXPECT_THAT(ListFileNames(dir_.Sub("logs/crashdumps")), ElementsAre("temp"));
  EXPECT_THAT(ListFileNames(dir_.Sub("logs/crashdumps/temp")), IsEmpty());
}

}  // namespace
}  // namespace zor::test
