// Where the program keeps its own data (packages, status files) when the
// configuration does not say.
#pragma once

#include "platform/tpath.h"

namespace ZorErrorReporting {

// The local data folder: "<LOCALAPPDATA>/Zorvane", created when missing.
//
// LOCALAPPDATA is read first and trimmed. When it is unset, the folder of the
// user's application data takes its place ($XDG_DATA_HOME, default
// ~/.local/share); when it is set but empty, that is respected and nothing
// takes its place. The fallback AppConfig::LogGetDefaultDir() is the answer
// when the base is empty or not an existing directory, or when "Zorvane"
// cannot be created below it. Never throws.
zor::platform::TPath LocalDataFolder();

}  // namespace ZorErrorReporting
