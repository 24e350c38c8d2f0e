// Config: the process-wide holder of the program's settings.
//
// This first form knows no configuration file yet: Load() remembers the path
// and every getter answers its built-in default. The file reader replaces the
// inside without changing the callers.
#pragma once

#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class Config {
 public:
  virtual ~Config() = default;

  // The process-wide instance, created on first use.
  static Config& GetInstance();

  // Loads the configuration file at `path` (empty: the default file, when it
  // exists). Throws ZorvaneException for a file that cannot be used.
  void Load(const zor::platform::TPath& path);

  // The log directory as written in the configuration, or empty.
  zor::platform::TPath GetLogDirectory() const;

  // The build version of the program.
  zor::platform::TString GetVersion() const;

 private:
  zor::platform::TPath filePath_;
};

}  // namespace ZorErrorReporting
