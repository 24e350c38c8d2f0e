// Crashes in the dump directories that no package holds yet: what `list`
// shows as "Waiting" before the next `send-crashes` packages them.
//
// Finding them only reads: nothing is created, saved or deleted, so it may
// run beside an upload.
//
// Thread-safety: stateless functions; any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <set>
#include <vector>

#include "platform/date_time.h"
#include "platform/tpath.h"
#include "platform/tstring.h"
#include "upload/crash_file_grouping.h"

namespace ZorErrorReporting {

struct WaitingCrash {
  zor::platform::TString name;       // the name its package will have
  zor::platform::TPath directory;    // where its files are
  zor::platform::DateTime newest;    // the last write of its newest file
  uint64_t bytes = 0;                // the size of its files
};

// The crash artifact files below `directory` (by extension, without regard
// to case), following links as the configuration says. Throws what the
// platform listing throws for a directory that cannot be listed.
std::set<zor::platform::TPath> ListArtifactFiles(const zor::platform::TPath& directory);

// The crashes of `dumpDirectories` grouped as the upload groups them
// (upload/crash_file_grouping.h), but for the groups `isKnown` accepts, in
// ascending order of folder, then key; each is named by its key. A
// directory that cannot be read gives none; a file that vanishes meanwhile
// counts with size 0. Never throws.
std::vector<WaitingCrash> FindWaitingCrashes(
    const std::vector<zor::platform::TPath>& dumpDirectories, const IsKnownCrash& isKnown);

}  // namespace ZorErrorReporting
