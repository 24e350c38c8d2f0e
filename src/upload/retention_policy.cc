#include "upload/retention_policy.h"

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "config/config.h"
#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/package.h"
#include "platform/file_identity.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"
#include "upload/package_footprint.h"
#include "upload/package_lock.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
namespace TLog = zor::platform::TLog;

namespace {

constexpr int64_t kMsPerDay = 24LL * 60 * 60 * 1000;
constexpr uint64_t kBytesPerMb = 1024 * 1024;

struct Candidate {
  std::shared_ptr<Package> package;
  int64_t createdMs;  // 0 when unknown: the oldest
  PackageFootprint footprint;
};

// One file however many paths lead to it (a followed link, a bind mount):
// its device and inode while it exists, else its path.
using FileKey = std::string;

FileKey KeyOf(const TPath& path) {
  const auto identity = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kFollow);
  if (!identity) return "path:" + path.NativeString();
  return "file:" + std::to_string(identity->device) + ":" + std::to_string(identity->inode);
}

// The package's own files (PackageFootprint::OwnFiles), each file once, by
// the first of its paths.
std::map<FileKey, TPath> KeyedOwnFiles(const Package& package) {
  std::map<FileKey, TPath> files;
  for (const TPath& path : PackageFootprint::OwnFiles(package)) files.emplace(KeyOf(path), path);
  return files;
}

// How many of the packages left standing name each file.
using Namers = std::map<FileKey, int>;

// The files of `package` that another package left standing names
// (`named`), by the package's own paths to them.
std::set<TPath> SharedFiles(const Package& package, Namers* named) {
  std::set<TPath> shared;
  for (const TPath& path : PackageFootprint::OwnFiles(package)) {
    if ((*named)[KeyOf(path)] > 1) shared.insert(path);
  }
  return shared;
}

// Deletes `package` for `reason`, but for the files that another package
// left standing names (`named`, updated): those are that crash's (a log every
// crash of a program lists), which may not have been sent; those of
// `abandoned` go all the same (no package left will send them). False, and
// the package left as it is, when that cannot be recorded now.
bool Prune(Package& package, const TString& reason, Namers* named,
           const std::set<FileKey>& abandoned = {}) {
  const std::map<FileKey, TPath> own = KeyedOwnFiles(package);
  std::set<TPath> shared;
  for (const TPath& path : SharedFiles(package, named)) {
    if (abandoned.count(KeyOf(path)) == 0) shared.insert(path);
  }
  try {
    package.ForgetZippedFiles(shared);
  } catch (const zor::platform::ZorvaneException& e) {
    LogText(TLog::Warn, TFormatString("Retention: package '%1' is kept for now: the files it "
                                      "shares with other crashes cannot be left to them: %2")
                            .arg(package.GetPackageName())
                            .arg(e.GetConcatenatedMessages()));
    return false;
  }
  LogText(TLog::Info, TFormatString("Retention: deleting package '%1' (status %2): %3")
                          .arg(package.GetPackageName())
                          .arg(ToName(package.GetUploadStatus()))
                          .arg(reason));
  // The operator's limit is the last word, also on files out of this run's reach.
  package.ForgetFilesOutOfReach();
  package.DeletePackage();
  for (const auto& [key, path] : own) --(*named)[key];
  return true;
}

constexpr DataFileKind kUploadFileKinds[] = {DataFileKind::kZippedPackageFile,
                                             DataFileKind::kEncryptedPackageFile,
                                             DataFileKind::kZorEncryptionMetadataFile};

// True once an upload of `package` was attempted: a result, or trouble of
// the server or the network that did not count as one. A wait (the crash
// not ready, the disk full before the server was asked) is no attempt.
bool WasTried(const Package& package) {
  return !package.GetUploadResults().empty() || package.GetTransientFailures() > 0;
}

// The paths of the upload files `package` records as its own (not a user's
// zip it keeps).
std::vector<TPath> UploadFilesOf(const Package& package) {
  std::vector<TPath> files;
  for (const DataFileKind kind : kUploadFileKinds) {
    if (package.HasDataFile(kind) && !package.KeepsDataFile(kind)) {
      files.push_back(package.GetDataFilePath(kind));
    }
  }
  return files;
}

// True iff `package` records upload files that it could make again from its
// sources, and is not being sent: they cost a pass over the crash, not the
// crash. Never the last copy of a crash whose files are gone, nor the files
// of an older version's package that stamped none (nothing tells whether
// they are there).
bool CanMakeUploadFilesAgain(const Package& package) {
  if (package.GetUploadStatus() == UploadStatus::kComplete || package.IsUploadInProgress()) {
    return false;
  }
  return !UploadFilesOf(package).empty() &&
         (package.KeepsDataFile(DataFileKind::kZippedPackageFile) ||
          !package.GetZippedFiles().empty()) &&
         package.FirstSourceGone().isEmpty();
}

// The packages the size pass kept though the limit was not met, by why.
struct KeptForSize {
  uint64_t untried = 0;
  uint64_t inProgress = 0;
  uint64_t copyKept = 0;   // its upload files could not be removed
  uint64_t forOthers = 0;  // tried, but deleting it would make room for another's
  uint64_t held = 0;       // by another process
  uint64_t forShared = 0;  // for another crash's copy that cannot be made again now

  TString Why() const {
    std::vector<TString> spared;
    const auto add = [&](uint64_t count, const char* what) {
      if (count > 0) spared.push_back(TFormatString("'%1' %2").arg(count).arg(what));
    };
    add(untried, "crash(es) that were never tried");
    add(inProgress, "upload(s) in progress");
    add(copyKept, "crash(es) whose upload files cannot be removed now");
    add(held, "package(s) another process works on");
    add(forShared, "crash(es) whose shared files another crash cannot take now");
    TString why;
    for (const TString& one : spared) {
      why += (why.isEmpty() ? TString("the limit cannot be met without deleting ") : ", or ") + one;
    }
    if (!why.isEmpty()) why += ", which are kept";
    if (forOthers > 0) {
      why += (why.isEmpty() ? TString("the limit cannot be met without deleting ") : ", nor ") +
             TFormatString("'%1' tried crash(es) of an owner to make room for another owner's")
                 .arg(forOthers);
    }
    // Else deletions failed: what could not be deleted still takes its room.
    return why.isEmpty() ? TString("files of the deleted packages could not be deleted") : why;
  }
};

// One Apply: the packages, oldest first, and what its passes did to them.
class RetentionPass {
 public:
  explicit RetentionPass(const std::vector<std::shared_ptr<Package>>& packages);

  // Deletes every package made before `cutoffMs`.
  void PruneOlderThan(int64_t cutoffMs, const TString& reason);
  // Measures what the packages left standing hold (each shared file once);
  // true iff that is more than `limit`.
  bool MeasureAgainst(uint64_t limit);
  // Removes the upload files that can be made again while over the limit.
  void DropCopies();
  // Deletes tried packages while over the limit, settled ones and the
  // largest owner's first, never to make room for another owner's spared
  // ones; says at Warn why when the limit is still not met.
  void PruneForSize();
  // The names of the packages the passes deleted.
  const std::set<TString>& Deleted() const { return pruned_; }
  // The names of the packages not to be sent in this run: their copies lack
  // a file that they are to take.
  const std::set<TString>& Waiting() const { return waiting_; }

 private:
  bool WasPruned(const Candidate& c) const {
    return pruned_.count(c.package->GetPackageName()) != 0;
  }
  // What is never deleted for size.
  bool Spared(const Package& package) const {
    return package.IsUploadInProgress() || !WasTried(package) || copyKept_.count(&package) != 0;
  }
  // Removes `c`'s upload files, keeping a note when they stay.
  void DropCopy(Candidate& c);
  // For the files `package`'s zip held that packages left standing name
  // (the others' zips went without them, in the run that zipped it first),
  // drops those packages' copies, so that their next zip takes the files and
  // their deletion after the upload takes them too; then Prune. A file that
  // no package left standing can take any more (each is sent or given up,
  // is being sent, or its copy is its crash's last) goes with `package`. A
  // copy that cannot be dropped now (held by another process, its record
  // not saved) keeps `package` for a later run, and its own package out of
  // this run's uploads (waiting_): false then.
  bool PruneAndLeaveShared(Package& package, const TString& reason);
  // Whether `other`, left standing, will send `path` (its own file, which
  // the zip of `pruned` held): its zip holds it, it has none yet, or its
  // copy is dropped now to be made again with it. Empty when it will, else
  // why not; `*retry` set when a later run may do better.
  TString WhyNotTaken(Package& other, const TPath& path, const Package& pruned, bool* retry);

  std::set<TString> pruned_;
  std::set<TString> waiting_;
  std::vector<Candidate> candidates_;
  Namers named_;
  uint64_t limit_ = 0;
  uint64_t total_ = 0;
  std::map<uid_t, uint64_t> byOwner_;
  std::set<const Package*> copyKept_;
  // Kept by PruneAndLeaveShared for a copy another crash could not drop.
  std::set<const Package*> keptForShared_;
  bool dropped_ = false;    // a copy was dropped for a shared file
  uint64_t keptBytes_ = 0;  // of the copies kept, left out of total_
};

RetentionPass::RetentionPass(const std::vector<std::shared_ptr<Package>>& packages) {
  for (const auto& package : packages) {
    for (const auto& [key, path] : KeyedOwnFiles(*package)) ++named_[key];
    const PackageFootprint footprint = PackageFootprint::Measure(*package);
    candidates_.push_back({package,
                           footprint.created.IsValid() ? footprint.created.GetAsUnixTimeMs() : 0,
                           footprint});
  }
  std::stable_sort(
      candidates_.begin(), candidates_.end(),
      [](const Candidate& a, const Candidate& b) { return a.createdMs < b.createdMs; });
}

void RetentionPass::PruneOlderThan(int64_t cutoffMs, const TString& reason) {
  for (const Candidate& c : candidates_) {
    // Of unknown age, a package is not known to be past the limit.
    if (!c.footprint.created.IsValid() || c.createdMs >= cutoffMs) continue;
    const auto lock = PackageLock::TryLock(*c.package);
    if (!lock || !PruneAndLeaveShared(*c.package, reason)) continue;
    pruned_.insert(c.package->GetPackageName());
  }
}

bool RetentionPass::MeasureAgainst(uint64_t limit) {
  limit_ = limit;
  // Only the packages' own files count: a file that is nobody's package is
  // not the program's to make room for, and is never deleted. One that
  // several name counts once, for the oldest, as measured after the age
  // limit's deletions.
  std::vector<PackageFootprint*> counted;
  for (Candidate& c : candidates_) {
    if (WasPruned(c)) continue;
    // As the age limit's deletions and copies dropped for shared files left it.
    if (!pruned_.empty() || dropped_) c.footprint = PackageFootprint::Measure(*c.package);
    counted.push_back(&c.footprint);
  }
  CountOnceAcross(counted);
  for (const Candidate& c : candidates_) {
    if (WasPruned(c)) continue;
    total_ += c.footprint.bytes;
    byOwner_[c.footprint.owner] += c.footprint.bytes;
  }
  if (total_ <= limit_) return false;
  // Uploaded and given-up packages first: neither will be uploaded again;
  // within each, the packages of whoever takes the most room go first, so one
  // user's flood costs that user's crashes, oldest first.
  const auto settled = [](const Candidate& c) {
    const UploadStatus status = c.package->GetUploadStatus();
    return status == UploadStatus::kComplete || status == UploadStatus::kFailed;
  };
  std::stable_sort(candidates_.begin(), candidates_.end(),
                   [&](const Candidate& a, const Candidate& b) {
                     if (settled(a) != settled(b)) return settled(a);
                     return byOwner_[a.footprint.owner] > byOwner_[b.footprint.owner];
                   });
  return true;
}

void RetentionPass::DropCopies() {
  // What can be made again goes before any package: a crash that one
  // transient failure left with its encrypted copy must not be deleted
  // unsent for the room that copy takes.
  for (Candidate& c : candidates_) {
    if (total_ <= limit_) break;
    if (WasPruned(c) || !CanMakeUploadFilesAgain(*c.package)) continue;
    // Another process's package (a `send-logs` that supersedes it) is not
    // this run's to change: its save would bring back what that one deleted.
    const auto lock = PackageLock::TryLock(*c.package);
    if (lock) DropCopy(c);
  }
}

bool RetentionPass::PruneAndLeaveShared(Package& package, const TString& reason) {
  // Dropped before the package goes: a run killed in between finds the
  // package again, and its next pass drops what is left to drop.
  std::map<FileKey, TPath> left;
  for (const TPath& path : SharedFiles(package, &named_)) {
    if (package.GetZippedFiles().count(path) != 0) left.emplace(KeyOf(path), path);
  }
  std::set<FileKey> taken;
  std::map<FileKey, TString> refusals;  // who cannot take each file, and why
  bool keep = false;
  for (const Candidate& c : candidates_) {
    if (left.empty()) break;
    Package& other = *c.package;
    if (&other == &package || WasPruned(c)) continue;
    for (const auto& [key, path] : KeyedOwnFiles(other)) {
      if (left.count(key) == 0) continue;
      bool retry = false;
      const TString why = WhyNotTaken(other, path, package, &retry);
      if (why.isEmpty()) {
        taken.insert(key);
      } else if (retry) {
        keep = true;
        waiting_.insert(other.GetPackageName());
        LogText(TLog::Warn, TFormatString("Retention: package '%1' is kept for now: package "
                                          "'%2', which names '%3' too, cannot be made again "
                                          "with it: %4; package '%2' waits for a later run")
                                .arg(package.GetPackageName())
                                .arg(other.GetPackageName())
                                .arg(path)
                                .arg(why));
      } else {
        TString& refused = refusals[key];
        refused += (refused.isEmpty() ? TString() : TString(", ")) + "package '" +
                   other.GetPackageName() + "' (" + why + ")";
      }
    }
  }
  if (keep) {
    keptForShared_.insert(&package);
    return false;
  }
  std::set<FileKey> abandoned;
  for (const auto& [key, path] : left) {
    if (taken.count(key) != 0) continue;
    abandoned.insert(key);
    LogText(TLog::Info, TFormatString("Retention: '%1' goes with package '%2': no crash left "
                                      "can take it: %3")
                            .arg(path)
                            .arg(package.GetPackageName())
                            .arg(refusals[key]));
  }
  return Prune(package, reason, &named_, abandoned);
}

TString RetentionPass::WhyNotTaken(Package& other, const TPath& path, const Package& pruned,
                                   bool* retry) {
  // Sent, or to be sent, with it: its own deletion decides on it.
  if (other.GetZippedFiles().count(path) != 0) return {};
  const UploadStatus status = other.GetUploadStatus();
  if (status == UploadStatus::kComplete) return "sent without it";
  if (status == UploadStatus::kFailed) return "given up";
  if (!other.HasDataFile(DataFileKind::kEncryptedPackageFile) &&
      !other.HasDataFile(DataFileKind::kZippedPackageFile)) {
    return {};
  }
  // A copy that cannot be made again is its crash's last: it goes as it is.
  if (other.IsUploadInProgress()) return "its upload is under way";
  if (!CanMakeUploadFilesAgain(other)) return "its copy is its crash's last";
  *retry = true;
  const auto lock = PackageLock::TryLock(other);
  if (!lock) return "another process works on it";
  try {
    other.DiscardDataFiles({std::begin(kUploadFileKinds), std::end(kUploadFileKinds)},
                           TFormatString("'%1', which it names, went in the zip of package '%2', "
                                         "which retention is to delete; it is made again with it")
                               .arg(path)
                               .arg(pruned.GetPackageName()));
  } catch (const zor::platform::ZorvaneException& e) {
    return e.GetConcatenatedMessages();
  }
  *retry = false;
  dropped_ = true;
  return {};
}

void RetentionPass::DropCopy(Candidate& c) {
  const std::vector<TPath> copy = UploadFilesOf(*c.package);
  // A copy that stays was the room to free: it is left out of the total, so
  // that no other crash is deleted in its place.
  const auto keep = [&] {
    copyKept_.insert(c.package.get());
    for (const PackageFootprint::CountedFile& file : c.footprint.files) {
      if (std::find(copy.begin(), copy.end(), file.path) == copy.end()) continue;
      if (!Filesystem::GetInstance().FileExists(file.path)) continue;
      total_ -= std::min(total_, file.bytes);
      keptBytes_ += file.bytes;
    }
  };
  try {
    c.package->DiscardDataFiles(
        {std::begin(kUploadFileKinds), std::end(kUploadFileKinds)},
        TFormatString("the packages hold more than %1 byte(s); it is made again from its "
                      "files when it is sent")
            .arg(limit_));
  } catch (const zor::platform::ZorvaneException& e) {
    // Unsaved (a full disk, most likely), the files stay recorded and on
    // disk, and so does the crash: the room was its copy's to free.
    keep();
    LogText(TLog::Warn, TFormatString("Retention: the upload files of package '%1' cannot be "
                                      "removed: %2")
                            .arg(c.package->GetPackageName())
                            .arg(e.GetConcatenatedMessages()));
    return;
  }
  const uint64_t gone = c.footprint.BytesGoneSince();
  total_ -= std::min(total_, gone);
  c.footprint.bytes -= std::min(c.footprint.bytes, gone);
  // A copy whose removal failed still takes its room: no crash is to be
  // deleted for it.
  for (const TPath& path : copy) {
    if (Filesystem::GetInstance().FileExists(path)) {
      keep();
      LogText(TLog::Warn, TFormatString("Retention: '%1' of package '%2' could not be removed; "
                                        "the package is kept in this pass")
                              .arg(path.ToString())
                              .arg(c.package->GetPackageName()));
      return;
    }
  }
}

void RetentionPass::PruneForSize() {
  // What is spared, per owner: one user's spared crashes must not make room
  // at another user's cost, or a user could add one large new crash each run
  // and have everyone else's tried crashes deleted.
  uint64_t sparedTotal = 0;
  std::map<uid_t, uint64_t> sparedByOwner;
  for (const Candidate& c : candidates_) {
    if (WasPruned(c) || !Spared(*c.package)) continue;
    sparedTotal += c.footprint.bytes;
    sparedByOwner[c.footprint.owner] += c.footprint.bytes;
  }
  const TString reason = TFormatString("the packages hold more than %1 byte(s).").arg(limit_);
  KeptForSize kept;
  for (const Candidate& c : candidates_) {
    if (total_ <= limit_) break;
    Package& package = *c.package;
    if (WasPruned(c)) continue;
    if (Spared(package)) {
      ++(package.IsUploadInProgress() ? kept.inProgress
         : !WasTried(package)         ? kept.untried
                                      : kept.copyKept);
      continue;
    }
    const uint64_t othersSpared = sparedTotal - sparedByOwner[c.footprint.owner];
    if (total_ - std::min(total_, othersSpared) <= limit_) {
      ++kept.forOthers;
      continue;
    }
    const auto lock = PackageLock::TryLock(package);
    if (!lock) {
      ++kept.held;
      continue;
    }
    // Measured anew: a file it shares with a package deleted before may be
    // gone, and one counted for another package is freed with this one too.
    const PackageFootprint before = PackageFootprint::Measure(package);
    if (!PruneAndLeaveShared(package, reason)) {
      if (keptForShared_.count(&package) == 0) {
        ++kept.held;
        continue;
      }
      // Kept as a copy that cannot be removed is: no other crash goes for
      // its room.
      ++kept.forShared;
      total_ -= std::min(total_, before.bytes);
      keptBytes_ += before.bytes;
      continue;
    }
    pruned_.insert(package.GetPackageName());
    // What could not be deleted still takes its space, and is spared from
    // then on: another owner's crashes must not make room for it.
    const uint64_t gone = before.BytesGoneSince();
    const uint64_t left = before.bytes - std::min(before.bytes, gone);
    total_ -= std::min(total_, gone);
    sparedTotal += left;
    sparedByOwner[c.footprint.owner] += left;
  }
  if (total_ > limit_) {
    LogText(TLog::Warn, TFormatString("Retention: the packages still hold '%1' byte(s), more "
                                      "than the limit of '%2'; %3.")
                            .arg(total_ + keptBytes_)
                            .arg(limit_)
                            .arg(kept.Why()));
  } else if (total_ + keptBytes_ > limit_) {
    LogText(TLog::Warn,
            TFormatString("Retention: the packages still hold '%1' byte(s), more "
                          "than the limit of '%2'; %3 take the rest, and no crash "
                          "is deleted for them.")
                .arg(total_ + keptBytes_)
                .arg(limit_)
                .arg(kept.forShared > 0 ? "crashes kept for files they share, or upload files that "
                                          "could not be removed,"
                                        : "upload files that could not be removed"));
  }
}

}  // namespace

RetentionSettings RetentionSettings::FromConfig() {
  const Config& config = Config::GetInstance();
  RetentionSettings settings;
  settings.maxAgeDays = config.GetRetentionMaxAgeDays();
  if (const auto mb = config.GetRetentionMaxTotalMb()) settings.maxTotalBytes = *mb * kBytesPerMb;
  return settings;
}

RetentionPolicy::RetentionPolicy(RetentionSettings settings) : settings_(settings) {}

std::set<TString> RetentionPolicy::Apply(const std::vector<std::shared_ptr<Package>>& packages,
                                         const DateTime& now, std::set<TString>* waiting) const {
  RetentionPass pass(packages);
  if (settings_.maxAgeDays) {
    pass.PruneOlderThan(
        now.GetAsUnixTimeMs() - *settings_.maxAgeDays * kMsPerDay,
        TFormatString("older than %1 day(s).").arg(static_cast<uint64_t>(*settings_.maxAgeDays)));
  }
  if (settings_.maxTotalBytes && pass.MeasureAgainst(*settings_.maxTotalBytes)) {
    pass.DropCopies();
    pass.PruneForSize();
  }
  if (waiting != nullptr) *waiting = pass.Waiting();
  return pass.Deleted();
}

}  // namespace ZorErrorReporting
