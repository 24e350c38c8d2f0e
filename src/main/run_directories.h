// The directories a run works in, and how the driver finds them.
#pragma once

#include "platform/tpath.h"

namespace ZorErrorReporting {

class CommandLineOptions;

struct RunDirectories {
  zor::platform::TPath logsDir;
  // Where the program's own crash dumps are written first.
  zor::platform::TPath crashDumpsTempDir;
  // Where they end up.
  zor::platform::TPath crashDumpsDir;
};

// Works out the run's directories from the command line and the loaded
// configuration. For a server run (or no source) the logs directory is
// created when missing; throws ZorvaneException "Failed to create logs
// directory ..." when that fails, and "The <which> directory cannot be used:
// ..." for one spelt with a ".." after a symbolic link. A desktop run also publishes the user's
// repository folder to the application configuration; it throws the
// command line's message when the desktop options are absent.
RunDirectories PrepareRunDirectories(const CommandLineOptions& options);

}  // namespace ZorErrorReporting
