// Well-known folders of the user.
//
// The home directory is found in one place, so that every default below it
// (settings, logs, data) agrees even when HOME is not set. Thread-safety:
// stateless; reads the environment and the user database.
#pragma once

#include "platform/tpath.h"

namespace zor::platform {

// The user's home directory: $HOME when set and not empty, else the home the
// system's user database gives for the real user id (getpwuid_r). Empty when
// neither knows one.
TPath UserHomeDirectory();

// A base directory of the user by the XDG rule: $<variable> when set and not
// empty, else UserHomeDirectory() / `underHome` (e.g. "XDG_CONFIG_HOME",
// ".config"). When no home is known at all, `underHome` alone.
TPath UserBaseDirectory(const char* variable, const char* underHome);

// The user's documents folder, or an empty path when the system knows none.
TPath UserDocumentsDirectory();

}  // namespace zor::platform
