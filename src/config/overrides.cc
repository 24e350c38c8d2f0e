#include "config/overrides.h"

#include "platform/process_singleton.h"

namespace ZorErrorReporting {

using zor::platform::ProcessSingleton;

ConfigOverrides& ConfigOverrides::GetInstance() { return ProcessSingleton<ConfigOverrides>::Get(); }

void ConfigOverrides::SetTestInstance(ConfigOverrides* instance) {
  ProcessSingleton<ConfigOverrides>::SetTestInstance(instance);
}

MetadataOverrides& MetadataOverrides::GetInstance() {
  return ProcessSingleton<MetadataOverrides>::Get();
}

void MetadataOverrides::SetTestInstance(MetadataOverrides* instance) {
  ProcessSingleton<MetadataOverrides>::SetTestInstance(instance);
}

}  // namespace ZorErrorReporting
