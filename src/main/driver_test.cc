// The driver's mapping of failures to exit statuses, in-process, for the
// failures that have no real trigger in the program yet and for the order of
// the rules; the end-to-end tests reach the others (a file that cannot be
// moved, an interrupted upload) through the binary.
#include "main/driver.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "platform/interruption.h"
#include "platform/shutdown_stack.h"
#include "platform/tpath.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using ::testing::HasSubstr;
using zor::platform::RunInterrupted;
using zor::platform::TPath;
using zor::platform::ZorvaneException;

TPath::Exception PathError(const char* message, int error) {
  return TPath::Exception(message,
                          zor::platform::ZorvaneError::MakeError("file-system", message, error));
}

template <typename E>
int StatusFor(const E& exception) {
  try {
    throw exception;
  } catch (const std::exception&) {
    return HandleRunFailure();
  }
}

TEST(HandleRunFailure, MapsEachFailureToItsStatusAndLine) {
  struct Case {
    const char* name;
    std::function<int()> raise;
    int status;
    const char* line;
  };
  const Case cases[] = {
      {"lock", [] { return StatusFor(PathError("TLockFile: cannot lock 'l'", EWOULDBLOCK)); }, -2,
       "Another instance of ZorCrashReporter is still running. This instance will exit. "
       "Exception message: TLockFile: cannot lock 'l'\n"},
      {"lock wins over move",
       [] { return StatusFor(PathError("TFilesystem: TLockFile", EWOULDBLOCK)); }, -2,
       "Another instance"},
      {"lock file that cannot be made",
       [] {
         return StatusFor(PathError("TLockFile: cannot open 'l': Read-only file system", EROFS));
       },
       -4, "Unexpected TPath error. This instance will exit. Exception message: TLockFile"},
      {"other path", [] { return StatusFor(TPath::Exception("TFile: cannot read 'x'")); }, -4,
       "Unexpected TPath error. This instance will exit. Exception message: TFile: cannot "
       "read 'x'\n"},
      {"zorvane", [] { return StatusFor(ZorvaneException("broken")); }, -1, "broken\n"},
      {"zorvane with its cause",
       [] {
         ZorvaneException e("the reply has no key id");
         e.StackMessageFront("Error occurred trying to download the key.");
         return StatusFor(e);
       },
       -1, "Error occurred trying to download the key.: the reply has no key id\n"},
      {"interrupted while waiting", [] { return StatusFor(RunInterrupted(SIGINT)); }, 128 + SIGINT,
       "Interrupted by SIGINT\n"},
      {"standard", [] { return StatusFor(std::runtime_error("bad option")); }, -1, "bad option\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // Logging is not set up here, so the line reaches standard output.
    const zor::test::ProcessResult r = zor::test::RunInChild([&] { return c.raise() + 10; });
    // The exit status is a byte, read back signed.
    EXPECT_EQ(r.status, static_cast<signed char>(c.status + 10));
    EXPECT_THAT(r.out, HasSubstr(c.line));
  }
}

// The log is closed at exit whatever the shutdown actions do.
TEST(DriverExit, ThrowingShutdownActionStillClosesTheLog) {
  zor::test::ScopedTempDir dir;
  const zor::test::ProcessResult r = zor::test::RunInChild([&] {
    if (chdir(dir.path().c_str()) != 0) return 2;
    std::string args[] = {"zorcrashreporter", "--command", "send-crashes"};
    char* argv[] = {args[0].data(), args[1].data(), args[2].data(), nullptr};
    ZorErrorReporting::Run(3, argv);
    zor::platform::TStartup::ShutdownStack::Get().Push(
        "fails", [] { throw std::runtime_error("shutdown action test"); });
    std::exit(0);
  });
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string log = zor::test::ReadFile(dir.Sub("logs/zorcrashreporter.txt"));
  EXPECT_THAT(log, HasSubstr("shutdown action test"));
  ASSERT_GT(log.size(), 1u);
  const std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);
  EXPECT_THAT(last, HasSubstr("\"k\":\"close-log\""));
}

}  // namespace
}  // namespace ZorErrorReporting
