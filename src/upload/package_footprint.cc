#include "upload/package_footprint.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <utility>

#include "files/filesystem.h"
#include "packages/crash_package.h"
#include "packages/package.h"
#include "platform/file_identity.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TPath;

namespace {

// True iff `path` is one of the package's own files in the data directory;
// an application's manifest serving as the record is a crash file.
bool IsDataFile(const Package& package, const TPath& path) {
  for (const auto& [kind, recorded] : package.GetDataFiles()) {
    if (recorded == path) return package.LiesBesideStatusFile(path);
  }
  return false;
}

// No package of this program was made before 2020: an earlier time was
// written while the clock was behind (a machine that starts in 1970 until it
// syncs), and would make a crash of today decades old.
constexpr int64_t kEarliestMadeMs = 1577836800000;  // 2020-01-01T00:00:00Z

std::optional<DateTime> LastWriteTimeOf(const TPath& path) {
  try {
    Filesystem& fs = Filesystem::GetInstance();
    if (fs.FileExists(path)) return fs.LastWriteTime(path);
  } catch (const std::exception&) {
    // Vanished or unreadable: it tells nothing about the package's age.
  }
  return std::nullopt;
}

struct Allocation {
  uint64_t bytes;
  uid_t owner;
  std::pair<dev_t, ino_t> file;
};

// The blocks allocated to `path` itself and its owner, when it exists.
std::optional<Allocation> AllocatedBytes(const TPath& path) {
  // A read-only look at an entry: nothing is opened, no link is followed.
  struct stat st {};
  if (::lstat(path.NativeString().c_str(), &st) != 0) return std::nullopt;
  return Allocation{static_cast<uint64_t>(st.st_blocks) * 512, st.st_uid, {st.st_dev, st.st_ino}};
}

// The owner of the application's manifest that lists a crash package's
// files, when another user than the program's owns it; else nullopt.
std::optional<uid_t> ListingUser(const Package& package) {
  const auto* crash = dynamic_cast<const CrashPackage*>(&package);
  if (crash == nullptr || !crash->HasManifest()) return std::nullopt;
  const auto allocated = AllocatedBytes(crash->GetManifest()->GetFilePath());
  if (!allocated || allocated->owner == ::geteuid()) return std::nullopt;
  return allocated->owner;
}

}  // namespace

uint64_t SizeOfFileOrZero(const TPath& path) {
  try {
    Filesystem& fs = Filesystem::GetInstance();
    if (fs.FileExists(path)) return fs.FileSize(path);
  } catch (const std::exception&) {
    // Counted as gone, as a file deleted between the two calls would be.
  }
  return 0;
}

std::vector<TPath> PackageFootprint::OwnFiles(const Package& package) {
  std::vector<TPath> files;
  std::set<TPath> named;
  // Counted twice, a name would seem shared with another crash, and be left to it.
  const auto add = [&](const TPath& path) {
    if (named.insert(path).second) files.push_back(path);
  };
  if (!package.GetFilePath().IsEmpty()) add(package.GetFilePath());
  for (const auto& [kind, path] : package.GetDataFiles()) {
    if (!package.KeepsDataFile(kind)) add(path);
  }
  const auto* crash = dynamic_cast<const CrashPackage*>(&package);
  if (crash != nullptr && crash->HasManifest()) {
    for (const auto& [path, file] : crash->GetManifest()->GetCrashArtifactFiles()) add(path);
  }
  return files;
}

PackageFootprint PackageFootprint::Measure(const Package& package) {
  PackageFootprint footprint;
  // One file counts once, however many names or spellings lead to it (the
  // manifest is both a data file and a crash file).
  std::set<std::pair<dev_t, ino_t>> seen;
  std::optional<uid_t> crashOwner = ListingUser(package);
  const std::optional<uid_t> listedBy = crashOwner;
  if (!crashOwner) crashOwner = package.GetCrashOwner();
  std::optional<uid_t> statusOwner;
  const auto* crash = dynamic_cast<const CrashPackage*>(&package);
  const TPath manifest =
      crash != nullptr && crash->HasManifest() ? crash->GetManifest()->GetFilePath() : TPath();
  for (const TPath& path : OwnFiles(package)) {
    const auto allocated = AllocatedBytes(path);
    if (!allocated) continue;
    const bool crashFile = path != package.GetFilePath() && !IsDataFile(package, path);
    // A user's manifest may list another user's files, or files outside the
    // dump folders: what deleting the package would not free neither counts
    // nor makes the package anyone's, else retention, finding the total
    // still too large, would go on to prune other users' crashes.
    if (crashFile && listedBy && allocated->owner != *listedBy) continue;
    // Nor does a file at one of its names that deletion would keep: another
    // user's where its own file is gone, a dump written again since its zip.
    if (crashFile) {
      const auto now = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kDoNotFollow);
      if (!now || !package.DeletesWithCrash(path, *now)) continue;
    }
    if (crashFile && !package.GetTrustBoundary().WhyNotDeleted(path, manifest).isEmpty()) continue;
    if (!seen.insert(allocated->file).second) continue;
    footprint.bytes += allocated->bytes;
    footprint.files.push_back({path, allocated->file, allocated->bytes});
    if (path == package.GetFilePath()) {
      statusOwner = allocated->owner;
    } else if (!crashOwner && crashFile) {
      crashOwner = allocated->owner;
    }
  }
  footprint.owner = crashOwner.value_or(statusOwner.value_or(0));
  // Dated by the program's own files only: an application's manifest that
  // serves as the record is as old as its crash, which may be older than
  // any limit when the program first finds it.
  std::vector<TPath> dated{package.GetFilePath()};
  for (const auto& [kind, path] : package.GetDataFiles()) {
    if (!package.KeepsDataFile(kind) && package.LiesBesideStatusFile(path)) dated.push_back(path);
  }
  std::vector<std::optional<DateTime>> times;
  // The time it recorded bounds it: its status file is written again by
  // every save, and a record that is an application's manifest is not dated.
  if (package.GetMadeAt().IsValid()) times.push_back(package.GetMadeAt());
  for (const TPath& path : dated) times.push_back(LastWriteTimeOf(path));
  for (const std::optional<DateTime>& time : times) {
    if (time && time->GetAsUnixTimeMs() >= kEarliestMadeMs &&
        (!footprint.created.IsValid() ||
         time->GetAsUnixTimeMs() < footprint.created.GetAsUnixTimeMs())) {
      footprint.created = *time;
    }
  }
  return footprint;
}

uint64_t PackageFootprint::BytesGoneSince() const {
  uint64_t gone = 0;
  for (const CountedFile& counted : files) {
    const auto now = AllocatedBytes(counted.path);
    if (!now || now->file != counted.file) gone += counted.bytes;
  }
  return gone;
}

void CountOnceAcross(const std::vector<PackageFootprint*>& footprints) {
  std::set<std::pair<dev_t, ino_t>> counted;
  for (PackageFootprint* footprint : footprints) {
    footprint->bytes = 0;
    for (const PackageFootprint::CountedFile& file : footprint->files) {
      if (counted.insert(file.file).second) footprint->bytes += file.bytes;
    }
  }
}

namespace {

// When the newest thing that befell `package` was trouble that judged
// nothing (a transient failure, a wait, an interruption): that time; none
// after a verdict, a success or no attempt at all.
std::optional<int64_t> TroubleTimeMs(const Package& package) {
  const std::optional<UploadResult>& error = package.GetLastError();
  if (!error || !error->time.IsValid()) {
    return package.GetTransientFailures() > 0 ? std::optional<int64_t>(0) : std::nullopt;
  }
  const std::vector<UploadResult>& results = package.GetUploadResults();
  if (!results.empty() && results.back().time.IsValid() &&
      results.back().time.GetAsUnixTimeMs() >= error->time.GetAsUnixTimeMs()) {
    return std::nullopt;
  }
  return error->time.GetAsUnixTimeMs();
}

}  // namespace

std::vector<std::shared_ptr<Package>> InFairOrder(
    const std::vector<std::shared_ptr<Package>>& packages) {
  struct Queued {
    int64_t sinceMs;  // made, or for a troubled one, when its trouble was met
    uid_t owner;
    size_t index;     // in `packages`
    size_t rank = 0;  // among its owner's, oldest first
  };
  std::vector<Queued> queue;
  const int64_t nowMs = DateTime::GetLocalTime().GetAsUnixTimeMs();
  for (size_t i = 0; i < packages.size(); ++i) {
    const Package& package = *packages[i];
    const PackageFootprint footprint = PackageFootprint::Measure(package);
    std::optional<int64_t> trouble = TroubleTimeMs(package);
    // Met while the clock was ahead: when is not known, and that date would
    // put the crash behind every crash until then.
    if (trouble && *trouble > nowMs) trouble.reset();
    const int64_t createdMs =
        footprint.created.IsValid() ? std::min(footprint.created.GetAsUnixTimeMs(), nowMs) : 0;
    queue.push_back({trouble ? std::max(*trouble, createdMs) : createdMs, footprint.owner, i});
  }
  // A troubled package goes after the crashes, of its owner and of others in
  // its round, that were there when its trouble was met: one that cannot be
  // sent within a run's time (a huge crash, stopped each time) holds back no
  // other, nor do the crashes that came later hold it back for ever.
  std::stable_sort(queue.begin(), queue.end(),
                   [](const Queued& a, const Queued& b) { return a.sinceMs < b.sinceMs; });
  std::map<uid_t, size_t> seen;
  for (Queued& q : queue) q.rank = seen[q.owner]++;
  std::stable_sort(queue.begin(), queue.end(),
                   [](const Queued& a, const Queued& b) { return a.rank < b.rank; });
  std::vector<std::shared_ptr<Package>> ordered;
  for (const Queued& q : queue) ordered.push_back(packages[q.index]);
  return ordered;
}

}  // namespace ZorErrorReporting
