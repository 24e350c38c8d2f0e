// Well-known folders of the user.
#pragma once

#include "platform/tpath.h"

namespace zor::platform {

// The user's documents folder, or an empty path when the system knows none.
TPath UserDocumentsDirectory();

}  // namespace zor::platform
