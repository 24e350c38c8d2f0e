#include "platform/app_config.h"

#include <QSettings>
#include <mutex>

#include "platform/standard_paths.h"
#include "platform/tsettings.h"

namespace zor::platform {

TString AppOptions::Map::GetOptionValue(const TString& name, const TString& defaultValue) const {
  const auto it = values_.find(name);
  if (it == values_.end() || it->second.isEmpty()) return defaultValue;
  return it->second;
}

AppConfig& AppConfig::GetInstance() {
  static std::once_flag once;
  static AppConfig* instance = nullptr;
  std::call_once(once, [] { instance = new AppConfig(); });
  return *instance;
}

TString AppConfig::GetBuildVersion() const { return TString(ZOR_BUILD_VERSION); }

TPath AppConfig::LogGetDefaultDir() {
  return UserBaseDirectory("XDG_STATE_HOME", ".local/state") / "zorvane/logs";
}

TPath AppConfig::GetCrashDumpsDefaultDir() { return LogGetDefaultDir() / "crashdumps"; }

bool AppConfig::IsBetaTrial() { return ZOR_BETA_TRIAL != 0; }

AppOptions::Map AppConfig::GetAppOptions() {
  std::map<TString, TString> values;
  for (const char* name : {"LogDir", "CrashDumpsDir"}) {
    values[name] = TSettings::GetStringValue("AppOptions", name, {});
  }
  return AppOptions::Map(std::move(values));
}

TString ZorvaneRepository::GetDirectoryName(int id, const TString& language) {
  (void)language;  // one language so far
  return id == 0 ? TString("Zorvane Repository") : TString();
}

}  // namespace zor::platform
