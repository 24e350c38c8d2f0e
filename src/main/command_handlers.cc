#include "main/command_handlers.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <exception>
#include <iostream>

#include "config/config.h"
#include "crash/terminate_handling.h"
#include "files/filesystem.h"
#include "log/log_functions.h"
#include "main/command_line_options.h"
#include "main/crash_adoption.h"
#include "main/crash_simulation.h"
#include "main/driver.h"
#include "platform/date_time.h"
#include "platform/display_text.h"
#include "platform/interruption.h"
#include "platform/tlock_file.h"
#include "upload/crash_package_processor.h"
#include "upload/crash_upload_client.h"
#include "upload/logs_upload_client.h"
#include "upload/metrics_file.h"
#include "upload/package_lister.h"
#include "upload/package_lock.h"

namespace ZorErrorReporting {

using namespace zor::platform;

namespace {

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

// True iff `error` (the client's construction failed, no run began) is the
// data directory's lock held by another run: that run writes the metrics.
bool HeldByAnotherRun(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const ZorvaneException& e) {
    return e.GetError() && e.GetError()->systemError == EWOULDBLOCK;
  } catch (...) {
    return false;
  }
}

}  // namespace

void SendCrashes(const SendCrashesOptions& options, const TPath& configFile,
                 const RunDirectories& dirs) {
  SetLogCategory("crashes-upload");
  Interruption::Install();
  const TPath lockPath = PackageLock::RunLockPath(dirs.logsDir);
  const TLockFile lock = Filesystem::GetInstance().LockFile(lockPath);
  const DateTime start = DateTime::GetLocalTime();
  AdoptStrandedCrashDirectories(dirs.crashDumpsTempDir, dirs.crashDumpsDir);
  // Released before the lock: the client's processor logs its exit.
  std::shared_ptr<CrashUploadClient> client;
  try {
    client = std::make_shared<CrashUploadClient>(options.includeFullDumps,
                                                 TString(configFile.NativeString()), lockPath);
    client->Run();
  } catch (...) {
    const UploadRunStats stats = client ? client->GetRunStats() : UploadRunStats{};
    const bool lockedOut = !client && HeldByAnotherRun(std::current_exception());
    client.reset();
    if (!lockedOut) WriteMetricsIfConfigured(stats, start, ExitStatusOfCurrentException());
    throw;
  }
  const UploadRunStats stats = client->GetRunStats();
  client.reset();
  WriteMetricsIfConfigured(stats, start, kExitOk);
}

void SendLogs(const SendLogsOptions& options, const TPath& configFile) {
  SetLogCategory("logs-upload");
  Interruption::Install();
  std::shared_ptr<IErrorReportingClient> client = std::make_shared<LogsUploadClient>(
      options.zippedLogsFile, options.email, options.supportCaseNumber, TString(configFile.NativeString()));
  client->Run();
}

void SimulateCrash(const SimulateCrashOptions& options) {
  SetLogCategory("crash-simulation");
  LogTextWithError(TLog::Fatal, "This is a simulated crash for testing purposes!",
                   ZorvaneError::MakeError("simulated-crash",
                                           "This is a simulated crash for testing purposes!"));
  if (options.crashType != CrashType::OutOfMemory) {
    AllocateBallast(options.minCrashSize, options.writeIncompressibleData);
  }
  if (options.rotateLogNTimes > 0) SimulateLogRotation(options.rotateLogNTimes);
  switch (options.crashType) {
    case CrashType::AccessViolation:
      CrashByAccessViolation();
      break;
    case CrashType::LogicAssertFailure:
      InitializeAssertHooks(true, true);
      ThrowLogicException("main", 245, "false");
    case CrashType::OutOfMemory:
      ExhaustMemory();
      CrashByAccessViolation();
      break;
    case CrashType::StackOverflow:
      OverflowStack(1);
      break;
    case CrashType::MultipleCrashes:
      CrashInThreads(3);
      break;
  }
}

void RetryPackages(const RetryOptions& options) {
  const Config& config = Config::GetInstance();
  CrashPackageProcessor processor(config.GetDumpDirectories(), config.GetDataDirectory());
  const auto retried = processor.RetryFailedPackages(options.packageNames);
  // A package's name is a file name: shown escaped.
  // One shown form per name: a backslash is shown doubled.
  const auto shown = [](const TString& name) {
    return EscapeForDisplay(name.toStdString(), DisplayForm::kExactBytes);
  };
  for (const TString& name : retried.changed) {
    std::cout << "Package '" << shown(name) << "' gets new attempts.\n";
  }
  for (const TString& name : retried.busy) {
    std::cout << "Package '" << shown(name)
              << "' is in use by another run of the program; retry it when that run ends.\n";
  }
  for (const TString& name : retried.spent) {
    std::cout << "Package '" << shown(name)
              << "' cannot be sent again: the user's details went when it was given up. Run "
                 "send-logs again with the zip.\n";
  }
  for (const TString& name : retried.deleting) {
    std::cout << "Package '" << shown(name)
              << "' is being deleted (list shows why it stopped); the next send-crashes run "
                 "finishes that, and it cannot be retried.\n";
  }
  for (const TString& name : retried.unknown) {
    std::cout << "No failed package '" << shown(name) << "'.\n";
  }
  if (options.packageNames.empty() && retried.changed.empty() && retried.busy.empty() &&
      retried.spent.empty() && retried.deleting.empty()) {
    std::cout << "No failed package.\n";
  }
  std::cout << std::flush;
}

void ListPackages(const ListOptions& options) {
  const Config& config = Config::GetInstance();
  const TPath dataDirectory = config.GetDataDirectory();
  const PackageLister lister(dataDirectory, config.GetDumpDirectories(),
                             config.GetMaxUploadsPerHour());
  const std::vector<PackageListEntry> entries = lister.List();
  const DateTime now = DateTime::GetLocalTime();
  if (options.json) {
    std::cout << PackageLister::FormatJson(entries, now) << std::flush;
    return;
  }
  // An empty listing of the wrong directory looks like a clean server.
  std::cout << "Data directory: " << EscapeForDisplay(dataDirectory.NativeString()) << "\n"
            << PackageLister::FormatText(entries, now) << std::flush;
}

void WriteDump(const SimulateCrashOptions&) {
  SetLogCategory("minidump-write");
  LogText(TLog::Warn, "Writing process minidump...");
  FlushLog();
  if (!TerminateHandling::zorvane_terminate()) {
    LogText(TLog::Error,
            "No minidump was written: this run installed no crash handler, or the crash "
            "directory could not be finished (the lines above say why).");
    std::exit(-1);
  }
  LogText(TLog::Warn, "Minidump write completed successfully.");
  std::exit(0);
}

}  // namespace ZorErrorReporting
