#include "config/overrides.h"

#include <memory>
#include <mutex>

namespace ZorErrorReporting {
namespace {

// One instance per holder type, created on first use; a test instance wins.
template <typename T>
class Holder {
 public:
  T& Get() {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    if (test_ != nullptr) return *test_;
    if (!real_) real_ = std::make_unique<T>();
    return *real_;
  }
  void SetTest(T* instance) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    test_ = instance;
  }

 private:
  std::recursive_mutex mutex_;
  std::unique_ptr<T> real_;
  T* test_ = nullptr;  // weak
};

Holder<ConfigOverrides>& ConfigHolder() {
  static Holder<ConfigOverrides> holder;
  return holder;
}

Holder<MetadataOverrides>& MetadataHolder() {
  static Holder<MetadataOverrides> holder;
  return holder;
}

}  // namespace

ConfigOverrides& ConfigOverrides::GetInstance() { return ConfigHolder().Get(); }
void ConfigOverrides::SetTestInstance(ConfigOverrides* instance) { ConfigHolder().SetTest(instance); }
MetadataOverrides& MetadataOverrides::GetInstance() { return MetadataHolder().Get(); }
void MetadataOverrides::SetTestInstance(MetadataOverrides* instance) {
  MetadataHolder().SetTest(instance);
}

}  // namespace ZorErrorReporting
