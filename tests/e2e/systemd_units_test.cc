// The systemd units of contrib/systemd, checked by systemd's own verifier.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace zor::test {
namespace {

TEST(SystemdUnitsTest, VerifierAcceptsServiceAndTimerAndServiceKeepsFilesPrivate) {
  // The verifier insists that ExecStart names an executable, so the copy of
  // the service starts the built program instead of the installed one.
  const std::string source = std::string(ZOR_SOURCE_DIR) + "/contrib/systemd/";
  std::string service = ReadFile(source + "zorcrashreporter.service");
  // Nothing the service creates is readable by other users.
  for (const char* line : {"\nUMask=0077\n", "\nStateDirectoryMode=0700\n",
                           "\nLogsDirectoryMode=0700\n"}) {
    EXPECT_THAT(service, ::testing::HasSubstr(line));
  }
  const std::string installed = "/usr/local/bin/zorcrashreporter";
  const size_t at = service.find("ExecStart=" + installed);
  ASSERT_NE(at, std::string::npos);
  service.replace(at + 10, installed.size(), ProgramPath());
  ScopedTempDir dir;
  WriteFile(dir.Sub("zorcrashreporter.service"), service);
  WriteFile(dir.Sub("zorcrashreporter.timer"), ReadFile(source + "zorcrashreporter.timer"));

  ProcessOptions options;
  options.workingDirectory = dir.path();
  // env finds it on $PATH; 127 says it is missing (scripts/setup.sh installs it).
  const ProcessResult r = RunProcess(
      "/usr/bin/env",
      {"systemd-analyze", "verify", "zorcrashreporter.service", "zorcrashreporter.timer"}, options);
  EXPECT_EQ(r.status, 0) << r.err;
  // A directive it does not know is only a warning, with the file's name.
  EXPECT_THAT(r.err, ::testing::Not(::testing::HasSubstr("zorcrashreporter."))) << r.err;
}

}  // namespace
}  // namespace zor::test
