// Where the program keeps its own data (packages, status files) when the
// configuration does not say.
#pragma once

#include "platform/tpath.h"

namespace ZorErrorReporting {

// The local data folder: "<LOCALAPPDATA>/Zorvane", which the run that keeps
// its data there makes; nothing is made here.
//
// LOCALAPPDATA is read first and trimmed. When it is unset, the folder of the
// user's application data takes its place ($XDG_DATA_HOME, default
// ~/.local/share); when it is set but empty, that is respected and nothing
// takes its place. The fallback AppConfig::LogGetDefaultDir() is the answer
// when the base is empty or not an existing directory, or when "Zorvane"
// is not a directory and could not be made below it (something else at its
// name, a base this user cannot write). Never throws.
zor::platform::TPath LocalDataFolder();

}  // namespace ZorErrorReporting
