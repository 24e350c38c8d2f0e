#include "config/data_directory.h"

#include "files/filesystem.h"
#include "platform/app_config.h"
#include "platform/file_functions.h"
#include "platform/file_identity.h"
#include "platform/standard_paths.h"
#include "platform/tsystem.h"

namespace ZorErrorReporting {

using zor::platform::AppConfig;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::TSystem::EnvironmentString;

TPath LocalDataFolder() {
  // What LOCALAPPDATA means on this system when nobody has set it.
  const TString userDataHome =
      zor::platform::UserBaseDirectory("XDG_DATA_HOME", ".local/share").ToString();
  const TString base = EnvironmentString("LOCALAPPDATA", userDataHome).trim();
  Filesystem& filesystem = Filesystem::GetInstance();
  if (base.isEmpty() || !filesystem.DirectoryExists(base)) return AppConfig::LogGetDefaultDir();
  const TPath candidate = TPath(base) / "Zorvane";
  if (filesystem.DirectoryExists(candidate)) return candidate;
  // Not made here: a command that only reads (`list`) makes nothing; the
  // run that needs it makes it. One that could not be made below the base
  // (something else at its name, a base this user cannot write) is not
  // taken; one that could not be kept private (root with a user's home) is,
  // and the data directory's own check then says why.
  const bool free =
      !zor::platform::PathExists(candidate) && zor::platform::DirectoryWriteError(TPath(base)) == 0;
  if (!free && zor::platform::WhyFolderCannotBePrivate(candidate).isEmpty()) {
    return AppConfig::LogGetDefaultDir();
  }
  return candidate;
}

}  // namespace ZorErrorReporting
