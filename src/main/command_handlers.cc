#include "main/command_handlers.h"

#include "log/log_functions.h"
#include "main/command_line_options.h"
#include "platform/tlock_file.h"
#include "upload/crash_upload_client.h"
#include "upload/logs_upload_client.h"

namespace ZorErrorReporting {

using namespace zor::platform;

namespace {

// The crash simulation is not part of this build yet; a command that needs
// it fails plainly rather than pretending.
[[noreturn]] void NotAvailable(const char* command) {
  throw ZorvaneException(
      TFormatString("The command '%1' is not available in this build.").arg(command));
}

}  // namespace

void SendCrashes(const SendCrashesOptions& options, const TPath& configFile,
                 const RunDirectories& dirs) {
  SetLogCategory("crashes-upload");
  TLockFile lock(dirs.logsDir / "zorcrashreporter.lock");
  // Released before the lock: the client's processor logs its exit.
  std::shared_ptr<IErrorReportingClient> client =
      std::make_shared<CrashUploadClient>(options.includeFullDumps, TString(configFile.NativeString()));
  client->Run();
  client.reset();
}

void SendLogs(const SendLogsOptions& options, const TPath& configFile) {
  SetLogCategory("logs-upload");
  std::shared_ptr<IErrorReportingClient> client = std::make_shared<LogsUploadClient>(
      options.zippedLogsFile, options.email, options.supportCaseNumber, TString(configFile.NativeString()));
  client->Run();
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
