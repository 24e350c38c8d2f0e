// Feature flags: switches that a run turns on by name (the command line's
// feature list) and that code tests by numeric id.
//
// FeatureIdLookup maps names to ids; GetDefaultFeatureIdLookup knows every
// flag of this program. FeatureFlags holds the set of flags that are on for
// the process. Thread-safety: the default lookup is immutable; FeatureFlags
// may be read and changed from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <shared_mutex>

#include "platform/tstring.h"

namespace zor::platform {

// Arms the program's own crash handler (minidumps of this process) instead of
// the plain fault reporting.
inline constexpr char kCrashHandlerFeature[] = "crash-handler";
inline constexpr uint32_t kCrashHandlerFeatureId = 0xCB93B017;

class FeatureIdLookup {
 public:
  FeatureIdLookup() = default;

  // Registers `name` (compared exactly, case included) as `id`; a second
  // registration of a name replaces the first.
  // REQUIRES: id != 0 (0 means "not registered").
  void Register(const TString& name, uint32_t id);
  // The id registered for `name`, or 0 iff none is.
  uint32_t GetId(const TString& name) const;

 private:
  std::map<TString, uint32_t> ids_;
};

// The lookup that holds every feature of this program.
const FeatureIdLookup& GetDefaultFeatureIdLookup();

class FeatureFlags {
 public:
  // The process-wide flags, all off at start. Never destroyed, so exit-time
  // code may still read them.
  static FeatureFlags& GetMutable();
  static const FeatureFlags& Get() { return GetMutable(); }

  FeatureFlags() = default;
  FeatureFlags(const FeatureFlags&) = delete;
  FeatureFlags& operator=(const FeatureFlags&) = delete;

  void Enable(uint32_t id);
  // True iff `id` was enabled.
  bool IsOn(uint32_t id) const;

 private:
  mutable std::shared_mutex mutex_;
  std::set<uint32_t> on_;
};

}  // namespace zor::platform
