#include "config/data_directory.h"

#include "files/filesystem.h"
#include "platform/app_config.h"
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
  // Not made where it could not be kept private (root with a user's home):
  // the data directory's own check then says why.
  if (!filesystem.DirectoryExists(candidate) &&
      zor::platform::WhyFolderCannotBePrivate(candidate).isEmpty() &&
      !filesystem.CreateDirectory(candidate)) {
    return AppConfig::LogGetDefaultDir();
  }
  return candidate;
}

}  // namespace ZorErrorReporting
