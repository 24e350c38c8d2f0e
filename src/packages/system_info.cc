#include "packages/system_info.h"

#include <atomic>

#include "platform/tformat_string.h"
#include "platform/trecursive_mutex.h"
#include "platform/tsystem.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TString;
using zor::platform::TUUID;
namespace TSystem = zor::platform::TSystem;

namespace {

zor::platform::TRecursiveMutex& InstanceMutex() {
  static zor::platform::TRecursiveMutex mutex;
  return mutex;
}

// Never destroyed: log lines written while the process exits may still ask.
std::atomic<SystemInfo*> g_instance{nullptr};
std::atomic<SystemInfo*> g_testInstance{nullptr};

class DefaultSystemInfo : public SystemInfo {};

}  // namespace

SystemInfo& SystemInfo::Get() {
  if (SystemInfo* test = g_testInstance.load(std::memory_order_acquire)) return *test;
  SystemInfo* instance = g_instance.load(std::memory_order_acquire);
  if (instance == nullptr) {
    zor::platform::TRecursiveMutexLocker lock(InstanceMutex());
    instance = g_instance.load(std::memory_order_relaxed);
    if (instance == nullptr) {
      instance = new DefaultSystemInfo();
      g_instance.store(instance, std::memory_order_release);
    }
  }
  return *instance;
}

void SystemInfo::SetTestInstance(SystemInfo* instance) {
  zor::platform::TRecursiveMutexLocker lock(InstanceMutex());
  g_testInstance.store(instance, std::memory_order_release);
}

TString SystemInfo::GetOsName() const { return TSystem::OSShortName(); }

TString SystemInfo::GetOsVersion() const {
  const zor::platform::OSVersionInfo version = TSystem::OSVersion();
  return TFormatString("%1.%2.%3").arg(version.major).arg(version.minor).arg(version.build);
}

TString SystemInfo::GetProcessorArchitecture() const {
  return TSystem::OSIs64Bit() ? "x86_64" : "x86";
}

TString SystemInfo::GetComputerName() const { return TSystem::ComputerName(); }

TUUID SystemInfo::CreateUuid() const { return TUUID::CreateUUID(); }

}  // namespace ZorErrorReporting
