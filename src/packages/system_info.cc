#include "packages/system_info.h"

#include "platform/process_singleton.h"
#include "platform/tformat_string.h"
#include "platform/tsystem.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TString;
using zor::platform::TUUID;
namespace TSystem = zor::platform::TSystem;

namespace {

class DefaultSystemInfo : public SystemInfo {};

}  // namespace

SystemInfo& SystemInfo::Get() {
  return zor::platform::ProcessSingleton<SystemInfo, DefaultSystemInfo>::Get();
}

void SystemInfo::SetTestInstance(SystemInfo* instance) {
  zor::platform::ProcessSingleton<SystemInfo, DefaultSystemInfo>::SetTestInstance(instance);
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
