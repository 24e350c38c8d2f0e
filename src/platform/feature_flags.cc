#include "platform/feature_flags.h"

#include <mutex>

namespace zor::platform {

void FeatureIdLookup::Register(const TString& name, uint32_t id) { ids_[name] = id; }

uint32_t FeatureIdLookup::GetId(const TString& name) const {
  const auto it = ids_.find(name);
  return it == ids_.end() ? 0 : it->second;
}

const FeatureIdLookup& GetDefaultFeatureIdLookup() {
  // Left alive at exit, like the flags, for exit-time readers.
  static const FeatureIdLookup* lookup = [] {
    auto* l = new FeatureIdLookup();
    l->Register(kCrashHandlerFeature, kCrashHandlerFeatureId);
    return l;
  }();
  return *lookup;
}

FeatureFlags& FeatureFlags::GetMutable() {
  static FeatureFlags* flags = new FeatureFlags();
  return *flags;
}

void FeatureFlags::Enable(uint32_t id) {
  std::unique_lock lock(mutex_);
  on_.insert(id);
}

bool FeatureFlags::IsOn(uint32_t id) const {
  std::shared_lock lock(mutex_);
  return on_.count(id) != 0;
}

}  // namespace zor::platform
