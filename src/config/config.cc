#include "config/config.h"

#include <mutex>

#include "platform/app_config.h"

namespace ZorErrorReporting {

Config& Config::GetInstance() {
  static std::recursive_mutex mutex;
  std::lock_guard<std::recursive_mutex> lock(mutex);
  static Config instance;
  return instance;
}

void Config::Load(const zor::platform::TPath& path) { filePath_ = path; }

zor::platform::TPath Config::GetLogDirectory() const { return {}; }

zor::platform::TString Config::GetVersion() const {
  return zor::platform::AppConfig::GetInstance().GetBuildVersion();
}

}  // namespace ZorErrorReporting
