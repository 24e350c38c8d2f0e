// SystemInfo: the system facts that crash manifests and logs packages report
// (operating system and its version, processor architecture, computer name),
// and new ids for packages.
//
// Process-wide: Get() creates the instance on first use under a recursive
// mutex and never destroys it. A test may install its own instance (typically
// a subclass overriding one fact) with SetTestInstance; Get returns it until
// it is removed with nullptr. The caller keeps ownership of a test instance.
//
// Thread-safety: the operations hold no lock and may be called from any thread.
#pragma once

#include "platform/tstring.h"
#include "platform/tuuid.h"

namespace ZorErrorReporting {

class SystemInfo {
 public:
  virtual ~SystemInfo() = default;

  // The process-wide instance (or the installed test instance).
  static SystemInfo& Get();
  // Installs `instance` (weak) as the one Get returns; nullptr removes it.
  static void SetTestInstance(SystemInfo* instance);

  // The operating system's short name ("Linux").
  virtual zor::platform::TString GetOsName() const;
  // "<major>.<minor>.<build>" of the running kernel, each in decimal ("6.1.0").
  virtual zor::platform::TString GetOsVersion() const;
  // "x86_64" when the kernel is a 64-bit one, else "x86".
  virtual zor::platform::TString GetProcessorArchitecture() const;
  // The host name as the machine reports it (possibly empty).
  virtual zor::platform::TString GetComputerName() const;
  // A new random id.
  virtual zor::platform::TUUID CreateUuid() const;

 protected:
  SystemInfo() = default;
};

}  // namespace ZorErrorReporting
