#include "main/run_directories.h"

#include <cerrno>

#include "config/config.h"
#include "main/command_line_options.h"
#include "platform/app_config.h"
#include "platform/file_functions.h"
#include "platform/file_identity.h"
#include "platform/path_error.h"
#include "platform/standard_paths.h"
#include "platform/tsettings.h"

namespace ZorErrorReporting {

using namespace zor::platform;

namespace {

// The program's own crashes are written where the kernel leads and looked
// for where the letters lead: a ".." after a link would part the two.
void RefuseMisleadingSpelling(const TPath& folder, const char* what) {
  if (const TString why = WhyDotDotMisleads(folder); !why.isEmpty()) {
    throw ZorvaneException(TFormatString("The %1 cannot be used: %2").arg(what).arg(why));
  }
}

constexpr int kRepositorySettingsGroup = 9;
constexpr int kRepositoryDirectoryId = 0;
constexpr int kDesktopProductEdition = 1;

// Makes the logs directory `logsDir` when it is not there; throws
// ZorvaneException naming it and the cause when it cannot be made, or when
// something else than a directory is at its name.
void MakeLogsDirectory(const TPath& logsDir, bool configured, const CommandLineOptions& options) {
  if (DirectoryExists(logsDir)) return;
  if (const TString why = WhyNotADirectory(logsDir); !why.isEmpty()) {
    throw ZorvaneException("The logs directory " + why + "; set servercrashupload.log.dir");
  }
  // One that could not be kept private is not made here: opening the log
  // there says why.
  if (!WhyFolderCannotBePrivate(logsDir).isEmpty()) return;
  errno = 0;
  if (CreateDirectory(logsDir)) return;
  const TString cause = errno != 0 ? ErrnoText(errno) : TString("a folder above is not one");
  if (configured) {
    throw ZorvaneException(TFormatString("Failed to create logs directory '%1': %2; set "
                                         "servercrashupload.log.dir")
                               .arg(logsDir.ToString())
                               .arg(cause));
  }
  throw ZorvaneException(
      TFormatString("Failed to create logs directory '%1': %2. Please run %3 from a directory for "
                    "which the user has write permissions, or set servercrashupload.log.dir.")
          .arg(logsDir.ToString())
          .arg(cause)
          .arg(TString(options.GetProgramName())));
}

RunDirectories ServerDirectories(const CommandLineOptions& options) {
  RunDirectories dirs;
  dirs.logsDir = Config::GetInstance().GetLogDirectory();
  const bool configured = !dirs.logsDir.IsEmpty();
  if (!configured) dirs.logsDir = TPath("./logs");
  RefuseMisleadingSpelling(dirs.logsDir, "logs directory");
  MakeLogsDirectory(dirs.logsDir, configured, options);
  dirs.crashDumpsDir = options.GetCrashDumpsDir().isEmpty() ? dirs.logsDir / "crashdumps"
                                                            : TPath(options.GetCrashDumpsDir());
  dirs.crashDumpsTempDir = options.GetCrashDumpsTempDir().isEmpty()
                               ? dirs.crashDumpsDir / "temp"
                               : TPath(options.GetCrashDumpsTempDir());
  return dirs;
}

void SetUpRepository(const DesktopOptions& desktop) {
  AppConfig& app = AppConfig::GetInstance();
  app.SetProductEdition(kDesktopProductEdition);
  app.SetRepositoryLanguage(desktop.repositoryLanguage);
  TPath repository = desktop.repositoryPath;
  if (repository.IsEmpty()) {
    repository = TPath(TSettings::GetStringValue(kRepositorySettingsGroup, "Repository", {}));
    const TPath documents = UserDocumentsDirectory();
    if (repository.IsEmpty() && !documents.IsEmpty()) {
      repository = documents / ZorvaneRepository::GetDirectoryName(kRepositoryDirectoryId,
                                                                   desktop.repositoryLanguage);
    }
  }
  app.SetUserRepositoryDir(repository);
}

RunDirectories DesktopDirectories(const CommandLineOptions& options) {
  SetUpRepository(options.GetDesktopOptions());
  const AppOptions::Map appOptions = AppConfig::GetAppOptions();
  RunDirectories dirs;
  dirs.logsDir =
      TPath(appOptions.GetOptionValue("LogDir", AppConfig::LogGetDefaultDir().ToString()));
  RefuseMisleadingSpelling(dirs.logsDir, "logs directory");
  if (const TString why = WhyNotADirectory(dirs.logsDir); !why.isEmpty()) {
    throw ZorvaneException("The logs directory " + why +
                           "; move it away, or set LogDir in [AppOptions] of the user settings "
                           "store");
  }
  dirs.crashDumpsDir = options.GetCrashDumpsDir().isEmpty()
                           ? TPath(appOptions.GetOptionValue(
                                 "CrashDumpsDir", AppConfig::GetCrashDumpsDefaultDir().ToString()))
                           : TPath(options.GetCrashDumpsDir());
  // Beside the user's crash folder, as a server run's is: one folder of
  // that name in the machine's temporary folder would be whoever made it
  // first's, and every other user's crashes would go unrecorded.
  dirs.crashDumpsTempDir = options.GetCrashDumpsTempDir().isEmpty()
                               ? dirs.crashDumpsDir / "temp"
                               : TPath(options.GetCrashDumpsTempDir());
  return dirs;
}

}  // namespace

RunDirectories PrepareRunDirectories(const CommandLineOptions& options) {
  const RunDirectories dirs = options.GetSource() == Source::Desktop ? DesktopDirectories(options)
                                                                     : ServerDirectories(options);
  RefuseMisleadingSpelling(dirs.crashDumpsDir, "crash dumps directory");
  RefuseMisleadingSpelling(dirs.crashDumpsTempDir, "crash dumps temp directory");
  return dirs;
}

}  // namespace ZorErrorReporting
