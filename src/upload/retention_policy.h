// RetentionPolicy: bounds the age of the packages a server keeps and the
// disk that its dump directories and data directory take together.
//
// Applied once per `send-crashes` run, after the previous run was settled and
// the new crashes were packaged:
//   1. every package made longer ago than the age limit is deleted, whatever
//      its status, an upload in progress included;
//   2. then, while the packages' own files take more than the size limit
//      (allocated blocks, see PackageFootprint), the upload files that can be
//      made again are removed (the zip, encrypted file and metadata of a
//      package that is neither Complete nor being sent, whose sources are all
//      there: Package::FirstSourceGone; one whose record cannot be saved now,
//      or whose files cannot be removed, keeps them and is not deleted in
//      that pass, and what they take is left out of the total, so that no
//      other package is deleted for that room); then "Complete" and "Failed"
//      packages are deleted, then the others that were tried at least once
//      (an upload result or a transient failure); within each of the two,
//      the packages of the owner whose packages take the most room first,
//      and each owner's oldest first. A package never tried, and one with an
//      upload in progress, is never deleted for size, and another owner's
//      package is never deleted to make room for them: a package goes only
//      while the total less the others' spared packages is over the limit.
//      When the limit cannot be met so, a Warn line says why.
// "Made" is PackageFootprint::created (a package none of whose dated files
// exists or tells a time counts as the oldest for size, and is past no age
// limit). A package is deleted through its own
// DeletePackage, so only its own files go, within the trust boundary, and a
// file that cannot be deleted stays (and still counts towards the size).
// Each deletion is logged at Info with the package's name and the reason.
// Files that belong to no package neither count nor are deleted; a file that
// several packages name counts once. Such a file went in the first of their
// zips only: when that package is deleted, the file stays for the others,
// whose copies are removed to be made again with it; where none of them can
// take it any more (sent, given up, being sent, or its copy its crash's
// last), it goes with the deleted package; where a copy cannot be removed
// now, the package is kept for a later run, and the other is not sent in
// this one. Each change is made under the
// package's lock (PackageLock): one that another process holds is left as
// it is.
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
  explicit RetentionPolicy(RetentionSettings settings);

  // Applies the limits at `now` to `packages` (every package the run knows,
  // whatever its status). Returns the names of the packages it deleted;
  // the caller must not upload them, nor, this run, those it puts in
  // `waiting` (when given). Never throws.
  std::set<zor::platform::TString> Apply(const std::vector<std::shared_ptr<Package>>& packages,
                                         const zor::platform::DateTime& now,
                                         std::set<zor::platform::TString>* waiting = nullptr) const;

 private:
  RetentionSettings settings_;
};

}  // namespace ZorErrorReporting
