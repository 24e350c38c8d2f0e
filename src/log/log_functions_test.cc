// The log functions seen as a user of the program sees them. Logging set-up
// is process-wide, so each case runs in a forked child.
#include "log/log_functions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

namespace TLog = zor::platform::TLog;
using ::testing::HasSubstr;
using zor::test::ProcessResult;
using zor::test::ReadFile;
using zor::test::RunInChild;

class LogFunctionsTest : public ::testing::Test {
 protected:
  std::string LogFile() const { return dir_.Sub("zorcrashreporter.txt"); }
  zor::test::ScopedTempDir dir_;
};

TEST_F(LogFunctionsTest, BeforeSetUpTextGoesPlainlyToStandardOutput) {
  const ProcessResult r = RunInChild([] {
    LogText(TLog::Fatal, "x");
    LogTextWithError(TLog::Error, "y", zor::platform::ZorvaneError::MakeError("c", "m"));
    LogFields(TLog::Info, "crash-reporting", {{"crash-dumps-directory", "/d"}, {"a", "1"}});
    return 0;
  });
  EXPECT_EQ(r.out, "x\ny\ncrash-reporting: {a: 1;crash-dumps-directory: /d;}\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(LogFunctionsTest, UploadCategoriesReachTheConsoleEveryLineTheFile) {
  const std::string file = LogFile();
  const ProcessResult r = RunInChild([&] {
    SetupLogging(file, 0);
    SetLogCategory("crashes-upload");
    LogText(TLog::Warn, "Retrying");
    LogText(TLog::Debug, "debug detail");
    SetLogCategory("logs-upload");
    LogText(TLog::Error, "upload failed");
    // Each line is in the file while the process still runs.
    return ReadFile(file).find("upload failed") == std::string::npos ? 1 : 0;
  });
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "[WARN]: Retrying\n\n");
  EXPECT_EQ(r.err, "[ERROR]: upload failed\n\n");
  const std::string log = ReadFile(file);
  for (const char* line : {R"("sev":"warn","k":"crashes-upload","v":"Retrying")",
                           R"("sev":"debug","k":"crashes-upload","v":"debug detail")",
                           R"("sev":"error","k":"logs-upload","v":"upload failed")"}) {
    EXPECT_THAT(log, HasSubstr(line));
  }
}

// The status of a child that runs `prepare` and then RotateLog: 0 when that
// throws for want of a rotating channel. What a rotation writes is the
// channel's (log_rotate_channel_test.cc, rotated_logs_set_test.cc) and, through
// RotateLog, crash_simulation_test.cc's.
int RotateWithoutChannel(const std::function<void()>& prepare) {
  return RunInChild([&] {
    prepare();
    try {
      RotateLog();
    } catch (const zor::platform::ZorvaneException& e) {
      return e.GetMessagesFront() ==
                     "Cannot rotate log, because a rotating log channel was not initialized."
                 ? 0
                 : 2;
    }
    return 1;
  }).status;
}

TEST_F(LogFunctionsTest, RotateLogWithoutRotatingChannelThrows) {
  const std::string file = LogFile();
  EXPECT_EQ(RotateWithoutChannel([&] { SetupLogging(file, 0); }), 0);
  // Closing forgets the rotating channel.
  EXPECT_EQ(RotateWithoutChannel([&] {
              SetupLogging(file, 3600);
              CloseLogging();
            }),
            0);
}

}  // namespace
}  // namespace ZorErrorReporting
