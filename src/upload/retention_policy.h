// RetentionPolicy: bounds the age of the packages a server keeps and the
// disk that its dump directories and data directory take together.
//
// Applied once per `send-crashes` run, after the previous run was settled and
// the new crashes were packaged:
//   1. every package made longer ago than the age limit is deleted, whatever
//      its status, an upload in progress included;
//   2. then, while the directories hold more than the size limit, "Complete"
//      and "Failed" packages are deleted oldest first, then the others that
//      were tried at least once (an upload result or a transient failure),
//      oldest first. A package never tried, and one with an upload in
//      progress, is never deleted for size: when only those are left, a
//      Warn line says the limit cannot be met.
// "Made" is PackageFootprint::created (a package none of whose dated files
// exists counts as the oldest). A package is deleted through its own
// DeletePackage, so only its own files go, within the trust boundary, and a
// file that cannot be deleted stays (and still counts towards the size).
// Each deletion is logged at Info with the package's name and the reason.
// Files of the directories that belong to no package count towards the size
// but are never deleted.
//
// Thread-safety: an immutable value; Apply belongs to the run's thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "platform/date_time.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class Package;

struct RetentionSettings {
  std::optional<uint32_t> maxAgeDays;
  std::optional<uint64_t> maxTotalBytes;

  // The configured limits. Throws what the Config getters throw for a bad value.
  static RetentionSettings FromConfig();
  bool IsActive() const { return maxAgeDays || maxTotalBytes; }
};

class RetentionPolicy {
 public:
  // `directories`: the dump directories and the data directory, whose files
  // (each counted once, links not followed) make the size.
  RetentionPolicy(RetentionSettings settings, std::vector<zor::platform::TPath> directories);

  // Applies the limits at `now` to `packages` (every package the run knows,
  // whatever its status). Returns the names of the packages it deleted;
  // the caller must not upload them. Never throws.
  std::set<zor::platform::TString> Apply(const std::vector<std::shared_ptr<Package>>& packages,
                                         const zor::platform::DateTime& now) const;

  // The bytes of the files below the directories now. A directory that cannot
  // be listed adds nothing. Never throws.
  uint64_t MeasureDirectories() const;

 private:
  RetentionSettings settings_;
  std::vector<zor::platform::TPath> directories_;
};

}  // namespace ZorErrorReporting
