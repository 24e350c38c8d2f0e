#include "main/command_handlers.h"

#include <iostream>

#include "config/config.h"
#include "log/log_functions.h"
#include "main/command_line_options.h"
#include "main/driver.h"
#include "platform/date_time.h"
#include "platform/tlock_file.h"
#include "upload/crash_upload_client.h"
#include "upload/logs_upload_client.h"
#include "upload/metrics_file.h"
#include "upload/package_lister.h"

namespace ZorErrorReporting {

using namespace zor::platform;

namespace {

// The crash simulation is not part of this build yet; a command that needs
// it fails plainly rather than pretending.
[[noreturn]] void NotAvailable(const char* command) {
  throw ZorvaneException(
      TFormatString("The command '%1' is not available in this build.").arg(command));
}

// Never throws: the run's own outcome must reach the driver unchanged.
void WriteMetricsIfConfigured(const UploadRunStats& stats, const DateTime& start, int status) {
  try {
    const TPath file = Config::GetInstance().GetMetricsFile();
    if (!file.IsEmpty()) MetricsFile(file).Write(stats, start, DateTime::GetLocalTime(), status);
  } catch (const std::exception& e) {
    LogText(TLog::Warn,
            TFormatString("Could not write the metrics file: %1").arg(TString(e.what())));
  }
}

}  // namespace

void SendCrashes(const SendCrashesOptions& options, const TPath& configFile,
                 const RunDirectories& dirs) {
  SetLogCategory("crashes-upload");
  TLockFile lock(dirs.logsDir / "zorcrashreporter.lock");
  const DateTime start = DateTime::GetLocalTime();
  // Released before the lock: the client's processor logs its exit.
  std::shared_ptr<CrashUploadClient> client;
  try {
    client = std::make_shared<CrashUploadClient>(options.includeFullDumps,
                                                 TString(configFile.NativeString()));
    client->Run();
  } catch (...) {
    const UploadRunStats stats = client ? client->GetRunStats() : UploadRunStats{};
    client.reset();
    WriteMetricsIfConfigured(stats, start, ExitStatusOfCurrentException());
    throw;
  }
  const UploadRunStats stats = client->GetRunStats();
  client.reset();
  WriteMetricsIfConfigured(stats, start, kExitOk);
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

void ListPackages(const ListOptions& options) {
  const PackageLister lister(Config::GetInstance().GetDataDirectory());
  const std::vector<PackageListEntry> entries = lister.List();
  const DateTime now = DateTime::GetLocalTime();
  std::cout << (options.json ? PackageLister::FormatJson(entries, now)
                             : PackageLister::FormatText(entries, now))
            << std::flush;
}

void WriteDump(const SimulateCrashOptions& options) {
  SetLogCategory("minidump-write");
  (void)options;
  NotAvailable("write-dump");
}

}  // namespace ZorErrorReporting
