#include "config/data_directory.h"

#include "files/filesystem.h"
#include "platform/app_config.h"
#include "platform/tsystem.h"

namespace ZorErrorReporting {

using zor::platform::AppConfig;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::TSystem::EnvironmentString;

namespace {

// What LOCALAPPDATA means on this system when nobody has set it.
TString UserDataHome() {
  const TString xdg = EnvironmentString("XDG_DATA_HOME");
  if (!xdg.isEmpty()) return xdg;
  const TString home = EnvironmentString("HOME");
  return home.isEmpty() ? TString() : (TPath(home) / ".local/share").ToString();
}

}  // namespace

TPath LocalDataFolder() {
  const TString base = EnvironmentString("LOCALAPPDATA", UserDataHome()).trim();
  Filesystem& filesystem = Filesystem::GetInstance();
  if (base.isEmpty() || !filesystem.DirectoryExists(base)) return AppConfig::LogGetDefaultDir();
  const TPath candidate = TPath(base) / "Zorvane";
  if (!filesystem.DirectoryExists(candidate) && !filesystem.CreateDirectory(candidate)) {
    return AppConfig::LogGetDefaultDir();
  }
  return candidate;
}

}  // namespace ZorErrorReporting
