#include "main/driver.h"

#include <QCoreApplication>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>

#include "config/config.h"
#include "config/overrides.h"
#include "crash/crash_handling.h"
#include "files/filesystem.h"
#include "log/log_functions.h"
#include "log/log_impl.h"
#include "main/command_handlers.h"
#include "main/command_line_options.h"
#include "main/run_directories.h"
#include "platform/app_config.h"
#include "platform/async_task.h"
#include "platform/feature_flags.h"
#include "platform/file_functions.h"
#include "platform/file_identity.h"
#include "platform/interruption.h"
#include "platform/path_error.h"
#include "platform/process_exit.h"
#include "platform/process_priority.h"
#include "platform/shutdown_stack.h"
#include "platform/tsystem.h"

namespace ZorErrorReporting {

using namespace zor::platform;

namespace {

constexpr int kServerBuildType = 1;
constexpr int kServerProductEdition = 4;

void EnableFeatures(const TString& names) {
  for (const TString& name : names.split(",", TString::SplitBehavior::SkipEmptyParts)) {
    const uint32_t id = GetDefaultFeatureIdLookup().GetId(name);
    if (id == 0) {
      throw ZorvaneException(
          TFormatString("Failed to find registered feature flag for feature name '%1'").arg(name));
    }
    FeatureFlags::GetMutable().Enable(id);
  }
}

// Why the crash handler must not write into its folders: at a crash it
// writes this process's memory there by name, with no check possible then.
// So both folders are made now (0700, by the umask), as the log folder is,
// and used only while no other user can replace or redirect what is in them.
TString WhyCrashFoldersNotPrivate(const RunDirectories& dirs) {
  Filesystem& fs = Filesystem::GetInstance();
  for (const TPath& folder : {dirs.crashDumpsDir, dirs.crashDumpsTempDir}) {
    if (TString why = WhyFolderCannotBePrivate(folder); !why.isEmpty()) return why;
    if (const TString why = WhyNotADirectory(folder); !why.isEmpty()) {
      return "the folder " + why + "; give --crashdumps-dir or --crashdumps-temp-dir";
    }
    if (!fs.CreateDirectory(folder)) {
      return "the folder '" + folder.ToString() + "' cannot be made: " + ErrnoText(errno);
    }
    if (TString why = WhyFolderNotPrivate(folder); !why.isEmpty()) return why;
    // Private to root is not this user's: the handler could write nothing.
    if (const int error = DirectoryWriteError(folder); error != 0) {
      return "the folder '" + folder.ToString() +
             "' cannot be written by this user: " + ErrnoText(error);
    }
  }
  return {};
}

void StartCrashHandling(const RunDirectories& dirs) {
  // Both handlers below write into the same folders.
  if (const TString why = WhyCrashFoldersNotPrivate(dirs); !why.isEmpty()) {
    LogText(TLog::Warn, "This program's own crashes are not reported in this run: " + why);
    return;
  }
  const TPath logFile = LogImpl::Get().GetPath();
  if (FeatureFlags::Get().IsOn(kCrashHandlerFeatureId)) {
    const TString id = CrashHandling::StartupCrashHandler(dirs.crashDumpsTempDir,
                                                          dirs.crashDumpsDir, logFile, {});
    LogFields(TLog::Info, "crash-reporting",
              {{"crash-dumps-directory", dirs.crashDumpsDir.ToString()},
               {"crash-correlation-id", id}});
    FlushLog();
    return;
  }
  FaultReporting::Options options;
  options.enabled = true;
  options.logFile = logFile;
  options.applicationName = "zorcrashreporter-error";
  options.signalChaining = 0;
  options.writeFullDump = 1;
  options.callback = nullptr;
  options.tempDir = dirs.crashDumpsTempDir;
  options.dumpDir = dirs.crashDumpsDir;
  FaultReporting::SetupFaultReporting(options);
  RegisterProcessExitAction(FaultReporting::DestroyFaultReporting);
}

void RegisterExitActions() {
  AsyncTask::Cancel::Set(AsyncTask::Cancel::Create());
  TStartup::ShutdownStack::Get().Push("StopCancelMgr", [] { AsyncTask::Cancel::Set(nullptr); });
  // Registered first, so it runs last and alone: whatever the shutdown
  // actions do, the log is closed.
  RegisterProcessExitAction(CloseLogging);
  RegisterProcessExitAction([] {
    try {
      TStartup::ShutdownStack::Get().RunAndDiscard();
    } catch (const std::exception& e) {
      LogText(TLog::Error, TFormatString("A shutdown action failed: %1").arg(TString(e.what())));
    }
  });
}

void LogWarnings(const std::vector<TString>& warnings) {
  for (const TString& warning : warnings) LogText(TLog::Warn, warning);
}

// The uploads refuse a bad setting before any change, on the console too
// (their categories are the ones it shows); the warnings come first, since a
// misspelt key is often the cause.
void CheckConfig(Command command, const std::vector<TString>& warnings) {
  if (command == Command::SendCrashes) SetLogCategory("crashes-upload");
  if (command == Command::SendLogs) SetLogCategory("logs-upload");
  LogWarnings(warnings);
  if (command == Command::SendCrashes || command == Command::SendLogs) {
    Config::GetInstance().Validate();
  }
}

void Dispatch(const CommandLineOptions& options, const RunDirectories& dirs) {
  switch (options.GetCommand()) {
    case Command::SendCrashes:
      SendCrashes(options.GetSendCrashesOptions(), options.GetConfigFile(), dirs);
      break;
    case Command::SendLogs:
      SendLogs(options.GetSendLogsOptions(), options.GetConfigFile());
      break;
    case Command::SimulateCrash:
      SimulateCrash(options.GetSimulateCrashOptions());
      break;
    case Command::WriteDump:
      WriteDump(options.GetSimulateCrashOptions());
      break;
    default:
      break;
  }
}

int RunGuarded(int argc, char** argv) {
  // First of all: every directory and file of the run is its owner's alone.
  RestrictNewFilesToOwner();
  // Tests that call Run in-process already have an application object.
  std::optional<QCoreApplication> app;
  if (QCoreApplication::instance() == nullptr) app.emplace(argc, argv);
  const CommandLineOptions options(argc, argv);

  if (options.GetCommand() == Command::Help) {
    std::cout << options.HelpText() << std::flush;
    return kExitOk;
  }
  if (options.GetCommand() == Command::Version) {
    std::cout << "Version: " << AppConfig::GetInstance().GetBuildVersion() << std::endl;
    return kExitOk;
  }
  // The listing's standard output is for scripts; it creates no directory
  // and opens no log file.
  if (options.GetCommand() == Command::List || options.GetCommand() == Command::Retry) {
    UsePlainLogOnStandardError();
  }
  if (!options.GetEnableFeatures().isEmpty()) EnableFeatures(options.GetEnableFeatures());

  Config& config = Config::GetInstance();
  config.Load(options.GetConfigFile());
  // The options stand in for settings: warned about and checked with them.
  ConfigOverrideValues overrides = options.GetConfigOverrides();
  ConfigOverrides::GetInstance().Set(overrides);
  MetadataOverrides::GetInstance().Set(options.GetMetadataOverrides());
  const std::vector<TString> configWarnings = config.GetSettingWarnings();
  if (options.GetCommand() == Command::List) {
    LogWarnings(configWarnings);
    ListPackages(options.GetListOptions());
    return kExitOk;
  }
  if (options.GetCommand() == Command::Retry) {
    LogWarnings(configWarnings);
    config.Validate();
    RetryPackages(options.GetRetryOptions());
    return kExitOk;
  }

  AppConfig::GetInstance().SetBuildType(kServerBuildType);
  if (options.GetSource() != Source::Desktop) {
    AppConfig::GetInstance().SetProductEdition(kServerProductEdition);
  }

  const RunDirectories dirs = PrepareRunDirectories(options);

  SetupLogging(dirs.logsDir / "zorcrashreporter.txt",
               static_cast<uint64_t>(static_cast<int64_t>(options.GetRotateLogInterval())),
               zor::platform::CrashHandling::SetLogFile);
  std::cout << "Log file located at " << LogImpl::Get().GetPath().NativeString() << std::endl;
  overrides.ownCrashDumpsDirectory = dirs.crashDumpsDir.ToString();
  ConfigOverrides::GetInstance().Set(overrides);
  CheckConfig(options.GetCommand(), configWarnings);

  StartCrashHandling(dirs);

  LowerProcessPriority();
  RaiseOpenFileLimit();

  RegisterExitActions();
  Dispatch(options, dirs);
  return kExitOk;
}

}  // namespace

int ExitStatusOfCurrentException() {
  try {
    throw;
  } catch (const RunInterrupted& e) {
    return e.ExitStatus();
  } catch (const TPath::Exception& e) {
    const TString message = e.GetMessagesFront();
    const int error = e.GetError() ? e.GetError()->systemError : 0;
    // Only a lock that another process holds is a harmless overlap; a lock
    // file that cannot be made (a read-only or broken data directory) is
    // trouble to be seen as such.
    if (message.contains("TLockFile") && error == EWOULDBLOCK) return kExitAnotherInstance;
    if (message.contains("TFilesystem")) return kExitFilesystem;
    // A path that is not there is "not found", whichever class tried it.
    if (error == ENOENT || error == ENOTDIR) return kExitFilesystem;
    return kExitPathError;
  } catch (const std::exception&) {
    return kExitFailure;
  }
}

int HandleRunFailure() {
  const int status = ExitStatusOfCurrentException();
  try {
    throw;
  } catch (const TPath::Exception& e) {
    // The whole chain: a save's failure says which file first, the cause after.
    const TString message = e.GetConcatenatedMessages();
    switch (status) {
      case kExitAnotherInstance:
        LogText(TLog::Warn, TFormatString("Another instance of ZorCrashReporter is still running. "
                                          "This instance will exit. Exception message: %1")
                                .arg(message));
        break;
      case kExitFilesystem:
        LogText(TLog::Warn,
                TFormatString("ZorCrashReporter could not find or move file, directory, or link. "
                              "This instance will exit. Exception message: %1")
                    .arg(message));
        break;
      default:
        LogText(TLog::Warn, TFormatString("Unexpected TPath error. This instance will exit. "
                                          "Exception message: %1")
                                .arg(message));
        break;
    }
  } catch (const RunInterrupted& e) {
    // The work was put back, not lost: a warning, not a failure.
    LogText(TLog::Warn, e.GetConcatenatedMessages());
  } catch (const ZorvaneException& e) {
    // The whole chain: the front message says what failed, the rest why.
    const TString messages = e.GetConcatenatedMessages();
    LogTextWithError(TLog::Fatal, messages,
                     e.GetError().value_or(ZorvaneError::MakeError("error", messages)));
  } catch (const std::exception& e) {
    LogTextWithError(TLog::Fatal, TString(e.what()),
                     ZorvaneError::MakeError("std-exception", TString(e.what())));
  }
  return status;
}

int Run(int argc, char** argv) {
  try {
    return RunGuarded(argc, argv);
  } catch (const std::exception&) {
    return HandleRunFailure();
  }
}

int Main(int argc, char** argv) {
  // A console whose reader went (`| head`) is no reason to end an upload:
  // its writes fail and are dropped, and the run goes on to its end.
  std::signal(SIGPIPE, SIG_IGN);
  const int status = Run(argc, argv);
  if (TSystem::BeingDebugged()) {
    std::cout << "Press return to exit. (Waiting since debugger is attached)" << std::endl;
    TSystem::Sleep(500);
    (void)std::getchar();
  }
  return status;
}

}  // namespace ZorErrorReporting
