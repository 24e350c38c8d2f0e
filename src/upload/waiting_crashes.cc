#include "upload/waiting_crashes.h"

#include <exception>

#include "config/config.h"
#include "files/filesystem.h"
#include "packages/artifact_name_rules.h"
#include "platform/file_functions.h"
#include "upload/crash_file_grouping.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TPath;
using zor::platform::TString;

std::set<TPath> ListArtifactFiles(const TPath& directory) {
  return Filesystem::GetInstance().ListFilesRecursively(
      directory, ArtifactNames::GetArtifactExtensions(), true, false,
      Config::GetInstance().GetFollowSymlinks());
}

std::vector<WaitingCrash> FindWaitingCrashes(const std::vector<TPath>& dumpDirectories,
                                             const IsKnownCrash& isKnown) {
  std::set<TPath> listing;
  for (const TPath& directory : dumpDirectories) {
    if (zor::platform::DirectoryListingError(directory) != 0) continue;
    try {
      listing.merge(ListArtifactFiles(directory));
    } catch (const std::exception&) {
      // A directory that went away meanwhile holds nothing to show.
    }
  }
  std::vector<WaitingCrash> waiting;
  Filesystem& fs = Filesystem::GetInstance();
  const CrashFileGroups groups =
      GroupCrashFiles(listing, Config::GetInstance().GetFilenameExclusionRegex(), isKnown);
  for (const auto& [group, files] : groups.found) {
    WaitingCrash crash{group.key, group.folder, DateTime(), 0};
    for (const TPath& file : *files) {
      try {
        crash.bytes += fs.FileSize(file);
        const DateTime written = fs.LastWriteTime(file);
        if (!crash.newest.IsValid() || written.GetAsUnixTimeMs() > crash.newest.GetAsUnixTimeMs()) {
          crash.newest = written;
        }
      } catch (const std::exception&) {
        // Vanished since the listing: it adds nothing.
      }
    }
    waiting.push_back(std::move(crash));
  }
  return waiting;
}

}  // namespace ZorErrorReporting
