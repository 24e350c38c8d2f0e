// Process-wide holders of the command-line overrides.
//
// The driver fills each holder once, before any command runs; afterwards the
// holders are only read. GetInstance() creates the instance on first use under
// a recursive mutex of its own; a test may install its own instance
// (SetTestInstance), which is then returned instead, and remove it again with
// nullptr. The caller keeps ownership of a test instance.
#pragma once

#include "config/override_values.h"

namespace ZorErrorReporting {

class ConfigOverrides {
 public:
  virtual ~ConfigOverrides() = default;
  static ConfigOverrides& GetInstance();
  static void SetTestInstance(ConfigOverrides* instance);

  // Replaces every field, empty ones included.
  void Set(const ConfigOverrideValues& values) { values_ = values; }
  ConfigOverrideValues Get() const { return values_; }

 private:
  ConfigOverrideValues values_;
};

class MetadataOverrides {
 public:
  virtual ~MetadataOverrides() = default;
  static MetadataOverrides& GetInstance();
  static void SetTestInstance(MetadataOverrides* instance);

  // Replaces every field, empty ones included.
  void Set(const MetadataOverrideValues& values) { values_ = values; }
  MetadataOverrideValues Get() const { return values_; }

 private:
  MetadataOverrideValues values_;
};

}  // namespace ZorErrorReporting
