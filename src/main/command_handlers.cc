#include "main/command_handlers.h"

#include "log/log_functions.h"
#include "main/command_line_options.h"
#include "platform/tlock_file.h"

namespace ZorErrorReporting {

using namespace zor::platform;

namespace {

// The upload clients and the crash simulation are not part of this build
// yet; a command that needs them fails plainly rather than pretending.
[[noreturn]] void NotAvailable(const char* command) {
  throw ZorvaneException(
      TFormatString("The command '%1' is not available in this build.").arg(command));
}

}  // namespace

void SendCrashes(const SendCrashesOptions& options, const TPath& configFile,
                 const RunDirectories& dirs) {
  SetLogCategory("crashes-upload");
  TLockFile lock(dirs.logsDir / "zorcrashreporter.lock");
  (void)options;
  (void)configFile;
  NotAvailable("send-crashes");
}

void SendLogs(const SendLogsOptions& options, const TPath& configFile) {
  SetLogCategory("logs-upload");
  (void)options;
  (void)configFile;
  NotAvailable("send-logs");
}

void SimulateCrash(const SimulateCrashOptions& options) {
  SetLogCategory("crash-simulation");
  (void)options;
  NotAvailable("simulate-crash");
}

void WriteDump(const SimulateCrashOptions& options) {
  SetLogCategory("minidump-write");
  (void)options;
  NotAvailable("write-dump");
}

}  // namespace ZorErrorReporting
