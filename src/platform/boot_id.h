// The kernel's id of the running boot: what tells a file that only the page
// cache ever held (written, never synced) from one that survived a restart.
//
// Thread-safety: any thread; read once per process.
#pragma once

#include "platform/tstring.h"

namespace zor::platform {

// The running boot's id (a UUID in text), read once from
// /proc/sys/kernel/random/boot_id; empty when it cannot be read, and then
// no file may count on it. Never throws.
const TString& CurrentBootId();

}  // namespace zor::platform
