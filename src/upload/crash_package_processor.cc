#include "upload/crash_package_processor.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "config/config.h"
#include "crash/crash_names.h"
#include "files/filesystem.h"
#include "files/zip_file.h"
#include "log/log_functions.h"
#include "packages/artifact_name_rules.h"
#include "packages/crash_package.h"
#include "packages/log_package_metadata.h"
#include "packages/logs_package.h"
#include "packages/package.h"
#include "packages/system_info.h"
#include "packages/trust_boundary.h"
#include "packages/upload_step.h"
#include "platform/date_time.h"
#include "platform/display_text.h"
#include "platform/file_functions.h"
#include "platform/file_identity.h"
#include "platform/path_error.h"
#include "platform/tformat_string.h"
#include "upload/attempt_failure.h"
#include "upload/crash_file_grouping.h"
#include "upload/leftover_files.h"
#include "upload/package_footprint.h"
#include "upload/package_lock.h"
#include "upload/package_status_file.h"
#include "upload/retention_policy.h"
#include "upload/upload_rate_limit.h"
#include "upload/waiting_crashes.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::TUUID;
using zor::platform::ZorvaneException;
namespace TLog = zor::platform::TLog;

namespace {

// A logs package's name ends in its type name, as do its status files' stems.
TString LogsPackageSuffix() { return "." + ToName(PackageType::kZippedLogsPackage); }

// Records `package` anew under its lock, unless another process holds it. A
// record that cannot be saved (a full disk, an I/O error) leaves the package
// as it was for the next run to settle: the others are settled, and the run
// goes on.
void SettleOrLeave(Package& package, const char* as, const std::function<void()>& record) {
  const auto lock = PackageLock::TryLock(package);
  if (!lock) return;
  try {
    record();
  } catch (const ZorvaneException& e) {
    LogText(TLog::Warn, TFormatString("Cannot record package '%1' %2; it is left for a later "
                                      "run: %3")
                            .arg(package.GetPackageName())
                            .arg(as)
                            .arg(e.GetConcatenatedMessages()));
  }
}

// A crash handler writes its dump within seconds; a day-old one died at it.
constexpr int64_t kCrashTempMaxAgeSeconds = 24 * 60 * 60;

// The data directory holds zips of memory dumps and the user's details: an
// existing one that other users can read or write is worth a warning (it is
// the operator's to change; the program creates it 0700).
void WarnIfOpenToOthers(const TPath& directory) {
  const auto identity =
      Filesystem::GetInstance().IdentifyPath(directory, zor::platform::LinkHandling::kFollow);
  if (!identity || (identity->permissions & 077) == 0) return;
  char mode[16];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(identity->permissions));
  LogText(TLog::Warn,
          TFormatString("Data directory '%1' has mode %2: other users can read or change the "
                        "crash packages in it; make it 0700.")
              .arg(directory)
              .arg(TString(mode)));
}

}  // namespace

void RefuseDataDirectoryOfAnotherKind(const TPath& directory) {
  if (const TString why = zor::platform::WhyNotADirectory(directory); !why.isEmpty()) {
    throw ZorvaneException("The data directory " + why + "; set servercrashupload.data.dir");
  }
}

namespace {

// Leaves out of `files`, listed below `directory` through links, those that
// resolve outside `boundary`: their packages could only be refused, file by
// file, and given up. Said once for the directory, with the first of them.
void LeaveOutFilesBeyondLinks(const TrustBoundary& boundary, const TPath& directory,
                              std::set<TPath>* files) {
  size_t count = 0;
  TString first;
  for (auto it = files->begin(); it != files->end();) {
    const TString outside = boundary.WhereOutside(*it);
    if (outside.isEmpty()) {
      ++it;
      continue;
    }
    if (count++ == 0) first = "'" + it->ToString() + "' resolves to '" + outside + "'";
    it = files->erase(it);
  }
  if (count == 0) return;
  LogText(TLog::Warn, TFormatString("'%1' crash file(s) below the dump directory '%2' lead out of "
                                    "the dump and data directories through a link (%3) and are "
                                    "left out: add the folder the link leads to to "
                                    "servercrashupload.dump.dirs.")
                          .arg(static_cast<uint64_t>(count))
                          .arg(directory)
                          .arg(first));
}

void PrepareDataDirectory(const TPath& directory) {
  Filesystem& fs = Filesystem::GetInstance();
  if (fs.DirectoryExists(directory)) {
    // Another user's (made first, say, under a sticky folder anyone may
    // write) is theirs to fill with status files or to swap: refused.
    const auto identity = fs.IdentifyPath(directory, zor::platform::LinkHandling::kFollow);
    if (identity && identity->owner != 0 && identity->owner != zor::platform::EffectiveUser()) {
      throw ZorvaneException(
          TFormatString("The data directory '%1' belongs to user %2, who could change or swap "
                        "the crash packages in it: make it this user's, or set "
                        "servercrashupload.data.dir")
              .arg(directory)
              .arg(static_cast<uint64_t>(identity->owner)));
    }
    // Swapped for a link by whoever may write a folder above, it would lead
    // the run's saves and its sweep of unrecorded files into any folder.
    if (const TString why = zor::platform::WhyFolderCouldBeSwapped(directory); !why.isEmpty()) {
      throw ZorvaneException(TFormatString("The data directory '%1' is not used: %2, who could "
                                           "swap it; set servercrashupload.data.dir")
                                 .arg(directory)
                                 .arg(why));
    }
    WarnIfOpenToOthers(directory);
    return;
  }
  // Something else at its name is not a directory that failed to be made.
  RefuseDataDirectoryOfAnotherKind(directory);
  LogText(TLog::Warn,
          TFormatString("Directory '%1' does not exist - attempting to create it.").arg(directory));
  // Its status files would be saved where another user can swap them.
  if (const TString why = zor::platform::WhyFolderCannotBePrivate(directory); !why.isEmpty()) {
    throw ZorvaneException(
        TFormatString("Could not create directory '%1': %2").arg(directory).arg(why));
  }
  if (!fs.CreateDirectory(directory)) {
    const int error = errno;
    throw ZorvaneException(TFormatString("Could not create the data directory '%1': %2; set "
                                         "servercrashupload.data.dir")
                               .arg(directory)
                               .arg(zor::platform::ErrnoText(error != 0 ? error : EEXIST)));
  }
}

// The data directory is made first: a directory that does not exist adds
// nothing to a boundary.
TrustBoundary BoundaryOf(const std::vector<TPath>& dumpDirectories, const TPath& dataDirectory) {
  PrepareDataDirectory(dataDirectory);
  std::vector<TPath> roots = dumpDirectories;
  roots.push_back(dataDirectory);
  return TrustBoundary(roots, Config::GetInstance().GetFollowSymlinks());
}

UploadResult MakeReconciliationResult(const TString& message) {
  return UploadResult{DateTime::GetLocalTime(), UploadResultCode::kUnknown, message};
}

// Why the crash files of `package` may be back in a later run: each dump
// or Java file its manifest lists lies outside this run's directories or
// in a folder that is not there. Empty when one does not, or without a
// manifest.
TString WhyCrashFolderIsAway(const Package& package) {
  const auto* crash = dynamic_cast<const CrashPackage*>(&package);
  if (crash == nullptr || !crash->HasManifest()) return {};
  TString why;
  for (const auto& [path, file] : crash->GetManifest()->GetCrashArtifactFiles()) {
    if (!ArtifactNames::MakesACrash(path)) continue;
    if (!crash->GetTrustBoundary().Surrounds(path)) {
      why = TFormatString("'%1' lies in none of this run's dump directories").arg(path.ToString());
    } else if (!Filesystem::GetInstance().DirectoryExists(path.Parent())) {
      why = TFormatString("its folder '%1' is not there").arg(path.Parent().ToString());
    } else {
      return {};
    }
  }
  return why;
}

// How long a crash waits for the writer of its dumps: one that is still empty or
// still open for writing.
constexpr int64_t kWriterWaitNs = 60LL * 60 * 1000 * 1000 * 1000;
// How far ahead of the clock a file's time may be and still count as now.
constexpr int64_t kClockSlackNs = 60LL * 1000 * 1000 * 1000;
// How long a dump whose writers cannot be asked about must have been left
// alone to count as finished: a writer writes a dump without long pauses.
constexpr int64_t kQuietNs = 60LL * 1000 * 1000 * 1000;

// The full dump that this program's own crash handler is still writing
// beside a minidump of `files` in its crash directory (its ".temp", of the
// minidump's owner, changed within kWriterWaitNs, and open for writing;
// where that cannot be asked, changed within kQuietNs of `nowNs`); empty
// when there is none. Sent now, the crash would go without it, and its
// deletion would take it while it is written. One its killed handler left
// goes with the crash as it is.
TString FullDumpStillWritten(const std::set<TPath>& files, int64_t nowNs,
                             const TrustBoundary& boundary) {
  using zor::platform::IdentifyPath;
  using zor::platform::LinkHandling;
  namespace CrashNames = zor::platform::CrashNames;
  for (const TPath& file : files) {
    const std::optional<uint64_t> pid = CrashNames::MinidumpPid(file.Filename());
    if (!pid || !CrashNames::IsCrashDirectory(file.Parent().Filename())) continue;
    const TPath full = file.Parent() / TPath(CrashNames::UnfinishedFullDumpName(*pid));
    const auto minidump = IdentifyPath(file, LinkHandling::kDoNotFollow);
    const auto temp = IdentifyPath(full, LinkHandling::kDoNotFollow);
    if (!minidump || !temp || temp->kind != zor::platform::FileIdentity::Kind::kRegular ||
        temp->owner != minidump->owner) {
      continue;
    }
    // Left for an hour (a writer that hangs), or timed ahead of the clock,
    // it is given up as a dump is: the crash goes as it is.
    const int64_t ageNs = nowNs - temp->modifiedNs;
    if (ageNs < -kClockSlackNs || ageNs > kWriterWaitNs) continue;
    std::optional<bool> writers;
    try {
      TString refusal;
      if (const auto opened = boundary.OpenForReading(full, TPath(), &refusal)) {
        writers = opened->IsOpenForWriting();
      }
    } catch (const ZorvaneException&) {
      // Leased or out of descriptors: its last change tells.
    }
    if (writers ? *writers : ageNs < kQuietNs) return full.ToString();
  }
  return {};
}

// A given-up crash stays this long for a person to look at, when no
// retention limit says otherwise.
constexpr int64_t kKeepFailedSeconds = 30LL * 24 * 60 * 60;
// A deleted complete crash stays listed this long after its upload; its
// status file is all that is kept of it.
constexpr int64_t kKeepCompletedSeconds = 7LL * 24 * 60 * 60;

// Each new crash costs a status file and a record in the data directory:
// another user who makes empty crash files by the thousand has at most this
// many packaged per run, and the rest wait for later runs.
constexpr size_t kMaxNewCrashesPerUser = 200;

// True (logged at Info) while a package waits out its retry delay.
bool IsWaiting(const Package& package, const DateTime& now) {
  const DateTime& next = package.GetNextAttempt();
  if (!IsBeforeNextAttempt(next, now)) return false;
  LogText(TLog::Info, TFormatString("Package '%1' waits until %2 after %3 transient failure(s); "
                                    "last error: %4")
                          .arg(package.GetPackageName())
                          .arg(next.Format("yyyy-MM-dd HH:mm:ss"))
                          .arg(package.GetTransientFailures())
                          .arg(package.GetLastError() ? package.GetLastError()->message
                                                      : TString("-")));
  return true;
}

// What tells one data file however a record spells it: "path:" and its
// lexically normal path (no "." or ".." levels, no doubled slashes), and,
// while it exists, "file:" and its device and inode (a folder reached
// through a link).
std::vector<TString> FileKeys(const TPath& path) {
  std::vector<TString> keys = {
      TString("path:" + std::filesystem::path(path.NativeString()).lexically_normal().string())};
  const auto identity = zor::platform::IdentifyPath(path, zor::platform::LinkHandling::kFollow);
  if (identity) {
    keys.push_back(TString("file:" + std::to_string(identity->device) + ":" +
                           std::to_string(identity->inode)));
  }
  return keys;
}

// "name:" and the package name a status file's name stands for.
TString StemOf(const TPath& statusFile) {
  return "name:" + statusFile.ReplaceExtension("").ReplaceExtension("").Filename();
}

}  // namespace

CrashPackageProcessor::CrashPackageProcessor(std::vector<TPath> dumpDirectories,
                                             TPath dataDirectory)
    : dumpDirectories_(std::move(dumpDirectories)),
      dataDirectory_(std::move(dataDirectory)),
      boundary_(BoundaryOf(dumpDirectories_, dataDirectory_)) {}

CrashPackageProcessor::~CrashPackageProcessor() { LogText(TLog::Debug, "Exited."); }

std::vector<std::shared_ptr<Package>> CrashPackageProcessor::FindPackagesToUpload() {
  const DateTime leftoverCutoff = LeftoverCutoff(DateTime::GetLocalTime());
  RemoveLeftoverStateFiles(dataDirectory_, leftoverCutoff);
  stats_ = {};
  recordedUnfinished_.reset();
  unfinishedFiles_.clear();
  unreadableUnfinished_.clear();
  rateLimit_.reset();
  if (const auto max = Config::GetInstance().GetMaxUploadsPerHour()) {
    rateLimit_ = std::make_unique<UploadRateLimit>(dataDirectory_, *max);
  }
  ReconcilePreviousRun(rateLimit_ ? rateLimit_->GetHeldBack() : std::set<TString>{});
  CleanUpCompletedPackages();
  if (Config::GetInstance().GetDeleteCompletedDumps()) {
    LogText(TLog::Info, "Checking for completed dumps to delete...");
    DeleteCompletedPackages();
  }
  LoadPreviousPackages();
  ForgetGivenUpPackagesWithoutManifest();
  RemoveUnrecordedPackageFiles(dataDirectory_, boundary_, leftoverCutoff);
  ProcessCrashFiles(ListCrashArtifactFiles());
  RemakeFullDumpPackages();
  ApplyRetention();

  std::vector<std::shared_ptr<Package>> toUpload;
  const DateTime now = DateTime::GetLocalTime();
  for (const auto& [name, package] : packages_) {
    const UploadStatus status = package->GetUploadStatus();
    if (status != UploadStatus::kPending && status != UploadStatus::kPendingRetry) continue;
    if (IsWaiting(*package, now) || notSentThisRun_.count(name) != 0) continue;
    toUpload.push_back(package);
  }
  stats_.found = toUpload.size();
  if (rateLimit_) {
    toUpload = rateLimit_->Admit(toUpload, DateTime::GetLocalTime());
    stats_.pending = stats_.found - toUpload.size();
    return toUpload;
  }
  // A run may be stopped before it gets through them all (a timer's time
  // limit): no user's crashes may always come first.
  return InFairOrder(toUpload);
}

std::shared_ptr<Package> CrashPackageProcessor::GiveBackUploadSlot(bool passOn) {
  if (!rateLimit_) return nullptr;
  std::shared_ptr<Package> next = rateLimit_->GiveBack(passOn);
  if (next) --stats_.pending;
  return next;
}

void CrashPackageProcessor::ApplyRetention() {
  const RetentionSettings settings = RetentionSettings::FromConfig();
  if (!settings.IsActive()) return;
  // A crash this run cannot look at may name a file of one the limits would
  // delete, and still have to send it.
  if (!unreadableUnfinished_.empty() || !heldUnfinished_.empty()) {
    LogText(TLog::Warn,
            TFormatString("Retention: the limits wait for a later run: %1 cannot be looked at "
                          "now, and may name files of the crashes they would delete.")
                .arg(!unreadableUnfinished_.empty()
                         ? "'" + unreadableUnfinished_.begin()->ToString() + "'"
                         : "package '" + *heldUnfinished_.begin() +
                               "', which another process works on,"));
    return;
  }
  std::vector<std::shared_ptr<Package>> known;
  for (const auto& [name, package] : packages_) {
    // Not known to be sent: no limit deletes it as a settled one.
    if (package->GetUploadStatus() == UploadStatus::kComplete &&
        doubtedComplete_.count(package->GetFilePath()) != 0) {
      continue;
    }
    known.push_back(package);
  }
  std::set<TString> waiting;
  const std::set<TString> pruned =
      RetentionPolicy(settings).Apply(known, DateTime::GetLocalTime(), &waiting);
  notSentThisRun_.insert(waiting.begin(), waiting.end());
  for (const TString& name : pruned) packages_.erase(name);
  stats_.pruned = pruned.size();
}

CrashPackageProcessor::PackageMap CrashPackageProcessor::LoadPackagesInState(
    UploadStatus status, std::vector<TString>* busy, std::vector<TString>* deleting,
    std::vector<std::shared_ptr<Package>>* sameName) {
  const TString statusName = ToName(status);
  LogText(TLog::Debug,
          TFormatString("Checking for packages in state %1 from previous run...").arg(statusName));
  // Status files end in the lower-case name; the listing ignores case.
  const std::set<TPath> files =
      Filesystem::GetInstance().ListFiles(dataDirectory_, {statusName}, true);
  if (!files.empty()) {
    LogText(TLog::Debug, TFormatString("Found %1 packages in state %2 from previous run.")
                             .arg(static_cast<uint64_t>(files.size()))
                             .arg(statusName));
  }
  PackageMap packages;
  for (const TPath& path : files) {
    try {
      std::shared_ptr<Package> package = LoadPackageStatusFile(path, boundary_);
      const TString name = package->GetPackageName();
      if (!IsFreeToWorkOn(*package)) {
        if (busy != nullptr) busy->push_back(name);
        continue;
      }
      if (package->IsBeingDeleted()) {
        if (deleting != nullptr) {
          deleting->push_back(name);
        } else {
          FinishDeletion(*package);
        }
        continue;
      }
      const auto [at, added] = packages.emplace(name, package);
      if (!added && sameName != nullptr) sameName->push_back(std::move(package));
    } catch (const ZorvaneException& e) {
      if (ClassifyFailure(e) == AttemptFailure::kTransient) {
        // Unreadable for now (another user's file, an I/O error), not
        // broken: deleting it would lose what it records and package its
        // crash a second time. Its crash is left alone until it can be read.
        const TString name = path.ReplaceExtension("").ReplaceExtension("").Filename();
        if (status != UploadStatus::kComplete) unreadableUnfinished_.insert(path);
        if (!skipped_.insert(name).second) continue;  // said once a run
        LogText(TLog::Warn, TFormatString("The package status file '%1' cannot be read now; it "
                                          "is kept for a later run: %2")
                                .arg(path)
                                .arg(e.GetConcatenatedMessages()));
        continue;
      }
      if (IsGone(Filesystem::GetInstance().RemovePath(path))) {
        LogText(TLog::Warn,
                TFormatString("Error occurred when trying to load package status from file "
                              "'%1'. File was deleted so that upload will not be attempted "
                              "again.  Error message: '%2'")
                    .arg(path)
                    .arg(e.GetConcatenatedMessages()));
      } else {
        LogText(TLog::Debug,
                TFormatString("Error occurred when trying to load package status from file "
                              "'%1'.Attempt to delete the package status file failed. Crash will "
                              "be ignored. Error message: '%2'")
                    .arg(path)
                    .arg(e.GetConcatenatedMessages()));
      }
    }
  }
  return packages;
}

void CrashPackageProcessor::FinishDeletion(Package& package) {
  // Tried once a run: what stays (a file that cannot be removed now) waits.
  skipped_.insert(package.GetPackageName());
  const auto lock = PackageLock::TryLock(package);
  if (!lock) return;
  LogText(TLog::Info, TFormatString("Package '%1': finishing its deletion, which an earlier run "
                                    "began; it is not uploaded.")
                          .arg(package.GetPackageName()));
  package.DeletePackage();
}

bool CrashPackageProcessor::IsFreeToWorkOn(const Package& package) {
  const TString& name = package.GetPackageName();
  if (skipped_.count(name) != 0) return false;
  // Only a look: each change takes the lock, for as long as it lasts.
  if (PackageLock::IsFree(package)) return true;
  skipped_.insert(name);
  if (package.GetUploadStatus() != UploadStatus::kComplete) heldUnfinished_.insert(name);
  return false;
}

void CrashPackageProcessor::ReconcilePreviousRun(const std::set<TString>& heldBack) {
  PackageMap pending = LoadPackagesInState(UploadStatus::kPending);
  for (const TString& name : heldBack) pending.erase(name);
  if (!pending.empty()) {
    LogText(TLog::Warn, TFormatString("Checking previous run state: Found '%1' package(s) that "
                                      "the crash reporter failed to attempt to upload in its "
                                      "previous run.")
                            .arg(static_cast<uint64_t>(pending.size())));
  }
  PackageMap retry = LoadPackagesInState(UploadStatus::kPendingRetry);
  if (!retry.empty()) {
    LogText(TLog::Warn, TFormatString("Checking previous run state: Found '%1' package(s) that "
                                      "failed to upload in the previous run.")
                            .arg(static_cast<uint64_t>(retry.size())));
  }
  PackageMap started = LoadPackagesInState(UploadStatus::kStarted);
  // A status is saved before its file is renamed: a run killed in between
  // leaves a "PendingRetry" file that says Started, and it is the started
  // package it says.
  for (auto it = retry.begin(); it != retry.end();) {
    const bool moved = it->second->GetUploadStatus() == UploadStatus::kStarted &&
                       started.emplace(it->first, it->second).second;
    it = moved ? retry.erase(it) : std::next(it);
  }
  SettleUploadedPackages(&started);
  if (!started.empty()) {
    LogText(TLog::Warn, TFormatString("Checking previous run state: Found '%1' package(s) that "
                                      "did not complete uploading in the previous run.")
                            .arg(static_cast<uint64_t>(started.size())));
    retry.insert(started.begin(), started.end());
  }

  PackageMap exhausted;
  TString exhaustedNames;
  for (const auto& [name, package] : retry) {
    if (package->CountedAttempts() >= kMaxUploadAttempts) {
      exhausted.emplace(name, package);
      exhaustedNames += name + "; ";
    }
  }
  if (!exhausted.empty()) {
    LogText(TLog::Warn, TFormatString("Checking previous run state: Found %1 package(s) that "
                                      "failed to be uploaded after '%2' attempts, and will be "
                                      "marked as failed and no longer retried: %3")
                            .arg(static_cast<uint64_t>(exhausted.size()))
                            .arg(kMaxUploadAttempts)
                            .arg(exhaustedNames));
  }

  PackageMap stale;
  for (const auto& [name, package] : started) {
    // A "Started" file shadowed by a "PendingRetry" one of the same name stays
    // as it is: renaming it would collide with that file in every run.
    if (exhausted.count(name) == 0 && retry.at(name) == package) stale.emplace(name, package);
  }
  stale.insert(pending.begin(), pending.end());

  if (!exhausted.empty()) {
    for (const auto& entry : exhausted) {
      Package& package = *entry.second;
      // The give-up is what `list` shows last: it carries the last cause.
      UploadResult result = MakeReconciliationResult(
          TFormatString("Failed to upload package after %1 attempts.").arg(kMaxUploadAttempts));
      const std::vector<UploadResult> results = package.GetUploadResults();
      if (!results.empty()) {
        result.code = results.back().code;
        result.message = TFormatString("Failed to upload package after %1 attempts; the last: %2")
                             .arg(kMaxUploadAttempts)
                             .arg(results.back().message);
      }
      SettleOrLeave(package, "as failed", [&] {
        package.AddGiveUpResult(result);
        package.SetUploadStatus(UploadStatus::kFailed);
        package.CleanUpFiles();
      });
    }
  }
  // Not attempts: the run that left them ended before it could try or finish.
  // One it was sending says so, and goes after the others (a crash whose
  // upload got each run killed holds back no other).
  for (const auto& entry : stale) {
    Package& package = *entry.second;
    const bool wasStarted = started.count(entry.first) != 0;
    SettleOrLeave(package, "for a retry", [&] {
      if (wasStarted) {
        package.RecordWait(
            MakeReconciliationResult("The run that was sending it ended before it could finish."));
      }
      package.SetUploadStatus(UploadStatus::kPendingRetry);
    });
  }
}

void CrashPackageProcessor::SettleUploadedPackages(PackageMap* started) {
  for (auto it = started->begin(); it != started->end();) {
    Package& package = *it->second;
    const auto& results = package.GetUploadResults();
    // The success is saved before the status: a run that died between the
    // two had uploaded the package. Sending it again would store it twice,
    // or draw a refusal for an upload that is long complete.
    if (results.empty() || results.back().code != UploadResultCode::kSuccess) {
      ++it;
      continue;
    }
    if (const auto lock = PackageLock::TryLock(package)) {
      LogText(TLog::Info, TFormatString("Package '%1' was uploaded by a run that ended before it "
                                        "could say so; it is complete.")
                              .arg(it->first));
      try {
        package.SetUploadStatus(UploadStatus::kComplete);
      } catch (const ZorvaneException& e) {
        // Left as it is: the next run settles it again, and it is not sent.
        LogText(TLog::Error, TFormatString("Cannot record package '%1' as complete: %2")
                                 .arg(it->first)
                                 .arg(e.GetConcatenatedMessages()));
      }
    }
    it = started->erase(it);
  }
}

CrashPackageProcessor::PackageMap CrashPackageProcessor::LoadCompletePackages() {
  std::vector<std::shared_ptr<Package>> sameName;
  PackageMap packages = LoadPackagesInState(UploadStatus::kComplete, nullptr, nullptr, &sameName);
  if (packages.empty()) return packages;
  // What the other status files record, by the names inside them, however
  // their files are called.
  if (!recordedUnfinished_) {
    recordedUnfinished_.emplace();
    for (const UploadStatus other : {UploadStatus::kPending, UploadStatus::kPendingRetry,
                                     UploadStatus::kStarted, UploadStatus::kFailed}) {
      for (const auto& [name, package] : LoadPackagesInState(other)) {
        recordedUnfinished_->emplace(name, package->GetFilePath());
        const Recorder recorder{name, package->GetFilePath()};
        unfinishedFiles_.emplace(StemOf(package->GetFilePath()), recorder);
        for (const auto& [kind, path] : package->GetDataFiles()) {
          for (const TString& key : FileKeys(path)) unfinishedFiles_.emplace(key, recorder);
        }
      }
    }
  }
  // A second record of a name is never the one taken, but it is in the way
  // of an upload that ends in its name all the same.
  for (const auto& package : sameName) DoubtComplete(*package);
  for (auto it = packages.begin(); it != packages.end();) {
    it = DoubtComplete(*it->second) ? packages.erase(it) : std::next(it);
  }
  return packages;
}

bool CrashPackageProcessor::DoubtComplete(const Package& complete) {
  const TString& name = complete.GetPackageName();
  const TPath& file = complete.GetFilePath();
  // The unfinished package it contradicts, if any: by the name it records,
  // by the name of its file (that package's upload ends on it), or by a data
  // file both record, however spelt (no two packages share one; crash files
  // they may: a log every crash of a program lists).
  std::optional<Recorder> other;
  TString shared;
  const TString fileStem = StemOf(file);
  for (const TString& named : {name, file.ReplaceExtension("").ReplaceExtension("").Filename()}) {
    const auto byName = recordedUnfinished_->find(named);
    if (!other && byName != recordedUnfinished_->end()) other = Recorder{named, byName->second};
  }
  // An unfinished status file of the same name: its upload ends on this one.
  if (const auto found = unfinishedFiles_.find(fileStem); !other && found != unfinishedFiles_.end())
    other = found->second;
  for (const auto& [kind, path] : complete.GetDataFiles()) {
    for (const TString& key : FileKeys(path)) {
      const auto found = unfinishedFiles_.find(key);
      if (other || found == unfinishedFiles_.end()) continue;
      other = found->second;
      shared = path.ToString();
    }
  }
  TString why;
  TString advice = "remove the status file that is wrong";
  if (complete.GetUploadStatus() != UploadStatus::kComplete) {
    why = "its record says " + ToName(complete.GetUploadStatus());
  } else if (other) {
    why = shared.isEmpty()
              ? "'" + other->statusFile.ToString() + "' records it too"
              : "'" + other->statusFile.ToString() + "' records its file '" + shared + "' too";
  } else if (skipped_.count(name) != 0) {
    why = "another status file of its name cannot be read now";
    advice = "until that file can be read";
  } else if (!unreadableUnfinished_.empty()) {
    // Any package may be the one it records: said once, for all of them.
    doubtedComplete_.insert(file);
    const TPath& unreadable = *unreadableUnfinished_.begin();
    if (doubtedComplete_.insert(unreadable).second) {
      LogText(TLog::Info, TFormatString("No package is taken as uploaded while '%1' cannot be "
                                        "read: it may record one still to be sent. Their "
                                        "crashes are kept.")
                              .arg(unreadable));
    }
    return true;
  }
  if (why.isEmpty()) return false;
  if (!doubtedComplete_.insert(file).second) return true;
  LogText(TLog::Warn, TFormatString("Package '%1' is not taken as uploaded, though its status "
                                    "file is named '%2': %3. Its crash is kept; %4.")
                          .arg(name)
                          .arg(file)
                          .arg(why)
                          .arg(advice));
  if (!other) return true;
  // Out of the way of the one that records it too, whose upload may end in
  // that name, whatever its own record says.
  const TPath aside = file.ToString() + ".doubted";
  try {
    Filesystem::GetInstance().RenamePath(file, aside);
    LogText(TLog::Info, TFormatString("Moved '%1' aside, to '%2'.").arg(file).arg(aside));
  } catch (const ZorvaneException& e) {
    // Its upload would end on this name: it waits for a run that can move it.
    notSentThisRun_.insert(other->name);
    LogText(TLog::Warn, e.GetConcatenatedMessages() + "; package '" + other->name +
                            "' is not sent in this run");
  }
  return true;
}

void CrashPackageProcessor::CleanUpCompletedPackages() {
  const bool keep = Config::GetInstance().GetPreserveUploadPackages();
  for (const auto& [name, package] : LoadCompletePackages()) {
    if (NextUploadStep(DescribeUpload(*package, keep)).kind != UploadStepKind::kCleanUp) continue;
    const auto lock = PackageLock::TryLock(*package);
    if (!lock) continue;
    LogText(TLog::Info, TFormatString("Package '%1' was uploaded but its upload files are still "
                                      "there; removing them.")
                            .arg(name));
    package->CleanUpFiles();
  }
}

void CrashPackageProcessor::DeleteCompletedPackages() {
  const int64_t now = DateTime::GetLocalTime().GetAsUnixTime();
  for (const auto& [name, package] : LoadCompletePackages()) {
    const auto results = package->GetUploadResults();
    const DateTime uploaded = results.empty() ? DateTime() : results.back().time;
    // Without a readable upload time there is no week to count: it goes now.
    const bool weekOver =
        !uploaded.IsValid() || now - uploaded.GetAsUnixTime() >= kKeepCompletedSeconds;
    // A kept status file waits quietly: its files went in an earlier run.
    if (package->HasNoFilesLeft() && !weekOver) continue;
    const auto lock = PackageLock::TryLock(*package);
    if (!lock) continue;
    const bool keep = !weekOver && package->GetPackageType() == PackageType::kCrashPackage;
    // A week is how long a sent crash's files may stay out of reach before
    // its record goes: a folder away for good would keep it for ever.
    if (weekOver) package->ForgetFilesOutOfReach();
    package->DeletePackage(keep ? Package::KeepStatusFile::kYes : Package::KeepStatusFile::kNo);
  }
  // With a retention limit, retention decides when a given-up crash goes.
  if (RetentionSettings::FromConfig().IsActive()) return;
  for (const auto& [name, package] : LoadPackagesInState(UploadStatus::kFailed)) {
    // A retry that died before it renamed the file: no longer given up.
    if (package->GetUploadStatus() != UploadStatus::kFailed) continue;
    const auto results = package->GetUploadResults();
    const DateTime givenUp = results.empty() ? DateTime() : results.back().time;
    if (!givenUp.IsValid() || now - givenUp.GetAsUnixTime() < kKeepFailedSeconds) continue;
    const auto lock = PackageLock::TryLock(*package);
    if (!lock) continue;
    LogText(TLog::Info, TFormatString("Deleting package '%1', given up on %2, more than %3 days "
                                      "ago.")
                            .arg(name)
                            .arg(givenUp.Format("yyyy-MM-dd"))
                            .arg(kKeepFailedSeconds / (24 * 60 * 60)));
    package->DeletePackage();
  }
}

void CrashPackageProcessor::LoadPreviousPackages() {
  // "Started" too: one that reconciliation could not record anew is still
  // its crash's package, though not sent in this run.
  for (const UploadStatus status : {UploadStatus::kPending, UploadStatus::kPendingRetry,
                                    UploadStatus::kStarted, UploadStatus::kFailed,
                                    UploadStatus::kComplete}) {
    const PackageMap loaded = LoadPackagesInState(status);
    packages_.insert(loaded.begin(), loaded.end());
  }
}

void CrashPackageProcessor::ForgetGivenUpPackagesWithoutManifest() {
  for (auto it = packages_.begin(); it != packages_.end();) {
    const auto crash = std::dynamic_pointer_cast<CrashPackage>(it->second);
    bool gone = crash && crash->GetUploadStatus() == UploadStatus::kFailed &&
                !crash->HasManifest() && crash->HasDataFile(DataFileKind::kManifestFile);
    if (gone) {
      const TPath manifest = crash->GetDataFilePath(DataFileKind::kManifestFile);
      // Gone, not unreadable: a folder shut for now may open again.
      const int folder = zor::platform::DirectoryListingError(manifest.Parent());
      gone = !zor::platform::PathExists(manifest) && (folder == 0 || folder == ENOENT);
    }
    const std::optional<PackageLock> lock = gone ? PackageLock::TryLock(*crash) : std::nullopt;
    if (!lock) {
      ++it;
      continue;
    }
    LogText(TLog::Info, TFormatString("Deleting package '%1', given up, whose manifest '%2' is "
                                      "gone: nothing of it can be sent.")
                            .arg(it->first)
                            .arg(crash->GetDataFilePath(DataFileKind::kManifestFile).ToString()));
    crash->DeletePackage();
    it = packages_.erase(it);
  }
}

std::set<TPath> CrashPackageProcessor::ListCrashArtifactFiles() const {
  const DateTime cutoff = DateTime::FromUnixTimeMs(
      (DateTime::GetLocalTime().GetAsUnixTime() - kCrashTempMaxAgeSeconds) * 1000);
  std::set<TPath> listing;
  for (const TPath& directory : dumpDirectories_) {
    LogText(TLog::Debug, TFormatString("Getting file listing from directory (%1)").arg(directory));
    if (const int error = zor::platform::DirectoryListingError(directory); error != 0) {
      // Said each run: a mistyped or unmounted directory hides every crash in it.
      LogText(TLog::Warn, TFormatString("The dump directory '%1' cannot be read (%2): no crash "
                                        "is looked for in it.")
                              .arg(directory)
                              .arg(zor::platform::ErrnoText(error)));
      continue;
    }
    // Left out of the trust boundary, each crash in it would be refused file
    // by file: said once instead.
    if (const TString link = boundary_.WhyLeftOut(directory); !link.isEmpty()) {
      LogText(TLog::Warn, TFormatString("The dump directory '%1' is left out (%2): no crash "
                                        "is looked for in it.")
                              .arg(directory)
                              .arg(link));
      continue;
    }
    std::set<TPath> files = ListArtifactFiles(directory);
    if (boundary_.FollowsLinks()) LeaveOutFilesBeyondLinks(boundary_, directory, &files);
    RemoveStaleCrashTempDirectories(directory, &files, boundary_, cutoff);
    listing.merge(files);
  }
  LogText(TLog::Debug,
          TFormatString("Found '%1' files with extensions matching crash artifact file extensions")
              .arg(static_cast<uint64_t>(listing.size())));
  return listing;
}

void CrashPackageProcessor::MakePackage(const CrashFileGroups& groups,
                                        const PackagedProcesses& packaged,
                                        const CrashFileGroups::GroupId& group,
                                        const CrashFileGroups::Files& files) {
  const TString id = FreePackageName(group);
  try {
    // The record holds what the crash allows, not this run's choice: a later
    // run that sends full dumps sends its full dump, which would otherwise
    // be deleted unsent with it. RemakeFullDumpPackages refuses them here.
    auto package = std::make_shared<CrashPackage>(
        id, files, true, GdbFilesForGroup(groups, files, packaged), dataDirectory_, boundary_);
    // Until its zip, what it stands for: a file of its names that another
    // user puts there later is not the crash it gives up or deletes.
    package->StampFilesAsFound();
    // Kept beyond the crash's files: a stacks file of its process elsewhere
    // may still come after they are sent and deleted.
    package->SetProcessKey(ProcessKeyOfGroup(files));
    JsonFileSerializedObject::SaveNewFile(package, GetStatusFilePath(id));
    packages_.emplace(id, std::move(package));
  } catch (const ZorvaneException& e) {
    // The disk's trouble (full, failing, shut) passes: the crash is found
    // again by the next run, and nothing of it is lost.
    const bool shortage = dynamic_cast<const ShortOfResources*>(&e) != nullptr ||
                          dynamic_cast<const TPath::Exception*>(&e) != nullptr;
    LogText(TLog::Warn,
            TFormatString(shortage ? "The package of crash '%1' cannot be made now; the next "
                                     "run tries again: %2"
                                   : "Error occurred when trying to create upload package "
                                     "with Id = '%1'.Package will not be uploaded. Error "
                                     "message: '%2'")
                .arg(id)
                .arg(e.GetConcatenatedMessages()));
    // Without a status file nothing records the manifest made for it (a
    // full disk between the two saves): it goes now, not a week later as
    // a leftover. The crash is found again by the next run.
    Filesystem::GetInstance().RemovePath(dataDirectory_ /
                                         (id + "." + CrashPackage::kManifestRecordSuffix));
  }
}

TString CrashPackageProcessor::WhyCrashWaits(const std::set<TPath>& files, int64_t nowNs,
                                             uid_t* user) const {
  enum class Writing { kNo, kYes, kMaybe, kBusy };
  struct Dump {
    const TPath* path;
    bool written;
    Writing writing;
    TString busy;
  };
  std::set<uid_t> owners;
  std::vector<Dump> sent;
  std::vector<Dump> notSent;
  // Another user's file of the crash's name is not the crash's (its package
  // leaves it out): neither held open, nor leased, nor merely there, may it
  // hold the crash back or stop it from being waited for.
  const std::optional<uid_t> crashOwner = CrashPackage::OwnerOf(files);
  for (const TPath& file : files) {
    const auto entry = zor::platform::IdentifyPath(file, zor::platform::LinkHandling::kDoNotFollow);
    owners.insert(entry ? entry->owner : zor::platform::EffectiveUser());
    if (!ArtifactNames::MakesACrash(file)) continue;
    if (entry && crashOwner && entry->owner != *crashOwner) continue;
    // An hour is more than any writer takes; one that died or hangs leaves
    // the rest as it is. A time well ahead of the clock was set by another
    // clock or by hand, and would hold the crash back for as long.
    const int64_t ageNs = entry ? nowNs - entry->modifiedNs : 0;
    const bool recent = entry && ageNs >= -kClockSlackNs && ageNs <= kWriterWaitNs;
    Dump dump{&file, !recent || entry->size > 0, Writing::kNo, {}};
    if (recent) {
      TString refusal;
      const std::optional<zor::platform::TFile> opened =
          [&]() -> std::optional<zor::platform::TFile> {
        try {
          return boundary_.OpenForReading(file, TPath(), &refusal);
        } catch (const ShortOfResources& e) {
          // A lease its owner holds, or the process out of descriptors: this
          // crash waits, the run goes on with the others.
          dump.busy = e.GetConcatenatedMessages();
          return std::nullopt;
        }
      }();
      // A run that may not lease another user's dump would send it cut short
      // while it is written, and then again whole: its last change tells.
      // One that cannot be opened is the packaging's to refuse.
      const std::optional<bool> writers = opened ? opened->IsOpenForWriting() : false;
      dump.writing = !dump.busy.isEmpty() ? Writing::kBusy
                     : writers            ? (*writers ? Writing::kYes : Writing::kNo)
                     : ageNs < kQuietNs   ? Writing::kMaybe
                                          : Writing::kNo;
    }
    // A full dump that this run will not send says nothing of the dump it sends.
    const bool full =
        ArtifactNames::RecognizeArtifactType(file.ToString()) == ArtifactType::kProcessFullDump;
    (full && !includeFullDumps_ ? notSent : sent).push_back(dump);
  }
  // Counted against its owner: another user's file beside a crash neither
  // counts it against that user nor frees it from its owner's count.
  if (crashOwner) {
    *user = *crashOwner;
  } else if (owners.size() == 1) {
    *user = *owners.begin();
  }
  if (const TString full = FullDumpStillWritten(files, nowNs, boundary_); !full.isEmpty()) {
    return TFormatString("its full dump '%1' is still being written").arg(full);
  }
  const std::vector<Dump>& judged = sent.empty() ? notSent : sent;
  for (const Dump& dump : judged) {
    if (dump.writing == Writing::kNo) continue;
    if (dump.writing == Writing::kBusy) {
      return TFormatString("its dump cannot be opened now: %1").arg(dump.busy);
    }
    return TFormatString(dump.writing == Writing::kYes
                             ? "its dump '%1' is still being written"
                             : "its dump '%1' changed less than a minute ago, and whether it "
                               "is still being written cannot be asked")
        .arg(*dump.path);
  }
  for (const Dump& dump : judged) {
    if (dump.written) return {};
  }
  return "its dumps are empty so far";
}

void CrashPackageProcessor::ProcessCrashFiles(const std::set<TPath>& listing) {
  LogText(TLog::Debug, "Processing crash files...");
  // A package held by another process is known by its name alone.
  KnownCrashes known;
  for (const TString& name : skipped_)
    known.Add(name, std::nullopt, Package::HeldCrashFiles{true, {}, {}});
  PackagedProcesses packaged;
  for (const auto& [name, package] : packages_) {
    const auto crash = std::dynamic_pointer_cast<CrashPackage>(package);
    known.Add(name, crash ? CrashGroupOf(*crash) : std::nullopt, package->GetHeldCrashFiles());
    if (crash) AddPackagedProcess(*crash, &packaged);
  }
  const CrashFileGroups groups =
      GroupCrashFiles(listing, Config::GetInstance().GetFilenameExclusionRegex(), known);
  LogText(TLog::Debug,
          TFormatString("Found (%1) package(s).").arg(static_cast<uint64_t>(groups.found.size())));
  std::map<uid_t, size_t> newByUser;
  const int64_t nowNs = DateTime::GetLocalTime().GetAsUnixTimeMs() * 1000000;
  for (const auto& [group, files] : groups.found) {
    uid_t user = zor::platform::EffectiveUser();
    // A dump its writer has not finished would go cut short, and then again
    // whole as a new crash: the crash is looked at again next run.
    if (const TString why = WhyCrashWaits(*files, nowNs, &user); !why.isEmpty()) {
      LogText(TLog::Info, TFormatString("Crash '%1' waits: %2").arg(group.key).arg(why));
      continue;
    }
    if (user != zor::platform::EffectiveUser() && ++newByUser[user] > kMaxNewCrashesPerUser) {
      continue;
    }
    MakePackage(groups, packaged, group, *files);
  }
  for (const auto& [user, count] : newByUser) {
    if (count <= kMaxNewCrashesPerUser) continue;
    LogText(TLog::Warn, TFormatString("%1 new crash(es) of user %2 wait for a later run: at most "
                                      "%3 of one user are packaged in one run.")
                            .arg(static_cast<uint64_t>(count - kMaxNewCrashesPerUser))
                            .arg(static_cast<uint64_t>(user))
                            .arg(static_cast<uint64_t>(kMaxNewCrashesPerUser)));
  }
  LogText(TLog::Debug, "Processing crash files... complete.");
}

void CrashPackageProcessor::RemakeFullDumpPackages() {
  for (const auto& [name, package] : packages_) {
    const auto crash = std::dynamic_pointer_cast<CrashPackage>(package);
    if (crash && !includeFullDumps_) crash->RefuseFullDumps();
    // A complete package was sent, whatever it held; a failed one waits for
    // `retry`, which remakes nothing, and is judged again when it is retried.
    // Made by a run of the other choice, an upload file would send full dumps
    // this run does not, or leave out, and so delete unsent, ones it sends.
    if (!crash || crash->GetUploadStatus() == UploadStatus::kFailed ||
        crash->GetUploadStatus() == UploadStatus::kComplete ||
        (includeFullDumps_ ? !crash->LeftOutFullDumps()
                           : !crash->MayHoldFullDumps() || crash->LeftOutFullDumps()) ||
        !(crash->HasEncryptedPackageFile() || crash->HasZippedPackageFile())) {
      continue;
    }
    try {
      // Made again, it would go without what is gone: the crash's last copy.
      // Without full dumps, one that is gone would not go anyway.
      const TString gone =
          crash->FirstSourceGone(includeFullDumps_ ? std::set<TPath>() : crash->AllowedFullDumps());
      if (!gone.isEmpty()) {
        KeepUploadThatCannotBeMadeAgain(*crash, gone);
        continue;
      }
      crash->DiscardDataFiles(
          {DataFileKind::kZippedPackageFile, DataFileKind::kEncryptedPackageFile,
           DataFileKind::kZorEncryptionMetadataFile, DataFileKind::kPartsUploadedFile},
          includeFullDumps_ ? "it was made without full dumps, which this run sends; it is made "
                              "again with them"
                            : "it may hold full dumps, which this run does not send; it is made "
                              "again without them");
    } catch (const ZorvaneException& e) {
      LogText(TLog::Warn, TFormatString("Package '%1' cannot be made again for this run's choice "
                                        "of full dumps now; it waits for a later run: %2")
                              .arg(name)
                              .arg(e.GetConcatenatedMessages()));
      notSentThisRun_.insert(name);
    }
  }
}

void CrashPackageProcessor::KeepUploadThatCannotBeMadeAgain(CrashPackage& crash,
                                                            const TString& gone) {
  if (includeFullDumps_) {
    // Deleted with the crash once it is sent, its full dumps would be lost
    // unsent: left out of it, they make a crash of their own next run.
    crash.ForgetZippedFiles(crash.AllowedFullDumps());
    LogText(TLog::Warn,
            TFormatString(
                "Package '%1' was made without full dumps, but '%2', which "
                "it was made of, is gone or another file now: it is sent as it is, and the full "
                "dumps it left out stay where they are")
                .arg(crash.GetPackageName())
                .arg(gone));
    return;
  }
  // Sent, it would carry full dumps against the run's choice.
  const TString why =
      TFormatString(
          "Package '%1' may hold full dumps, which this run does not "
          "send, and '%2', which it was made of, is gone or another file now: it waits for "
          "a run that sends full dumps")
          .arg(crash.GetPackageName())
          .arg(gone);
  LogText(TLog::Warn, why);
  notSentThisRun_.insert(crash.GetPackageName());
  crash.RecordWait(MakeReconciliationResult(why));
}

TString CrashPackageProcessor::FreePackageName(const CrashFileGroups::GroupId& group) const {
  // A name already in use, by a package of this run or a status file of the
  // data directory, is never given again: the new package would write over
  // the old one's records, and a user can choose a key that is another
  // folder's second name. A record without a status file is a leftover of a
  // run killed before it saved the status, not a package.
  Filesystem& fs = Filesystem::GetInstance();
  const auto isFree = [&](const TString& name) {
    if (packages_.count(name) != 0 || skipped_.count(name) != 0) return false;
    // A key of dots ("..dmp" gives ".") names no file: its lock could never be taken.
    if (name == PackageLock::kReservedName || name == "." || name == "..") return false;
    for (const UploadStatus status : kStoredStatuses) {
      if (fs.FileExists(GetStatusFilePath(name, status))) return false;
    }
    return true;
  };
  // The first folder (and owner) of a key names its package by the key alone.
  if (const TString first = FitPackageName(group.key); isFree(first)) return first;
  const TString second = SecondPackageName(group);
  TString name = FitPackageName(second);
  for (uint64_t n = 2; !isFree(name); ++n) {
    name = FitPackageName(TFormatString("%1-%2").arg(second).arg(n));
  }
  return name;
}

TPath CrashPackageProcessor::GetStatusFilePath(const TString& id, UploadStatus status) const {
  return dataDirectory_ /
         (id + "." + ToName(PackageType::kCrashPackage) + "." + StatusFileExtension(status));
}

std::vector<Package::FileToZip> CrashPackageProcessor::FilesToZip(Package& package) const {
  try {
    return package.GetFilesToZip(zippedThisRun_);
  } catch (const ShortOfResources&) {
    // The process's trouble, not the files': no verdict on the package.
    throw;
  } catch (const CrashWaits&) {
    throw;  // nor this run's choice
  } catch (const ZorvaneException& e) {
    const TString message = TFormatString("The files of package '%1' cannot be listed: %2")
                                .arg(package.GetPackageName())
                                .arg(e.GetConcatenatedMessages());
    // A dump directory away for a run, or a run given others: the crash
    // waits for its folder, uncounted, as long as a sent crash's record would.
    if (const TString away = WhyCrashFolderIsAway(package); !away.isEmpty()) {
      const int64_t age = DateTime::GetLocalTime().GetAsUnixTime() -
                          PackageFootprint::Measure(package).created.GetAsUnixTime();
      if (age < kKeepCompletedSeconds) {
        zor::platform::ThrowPathRefusal(message + "; it waits, since " + away, ENOENT);
      }
    }
    throw PackageFilesUnreadable(message);
  }
}

void CrashPackageProcessor::ZipAndEncryptPackage(Package& package, PackageEncryptor& encryptor,
                                                 PackageEncryptor::KeepZip keep,
                                                 unsigned deflateThreads,
                                                 const ByteProgress& progress) {
  const TPath zipPath =
      dataDirectory_ / (package.GetPackageName() + "." + Package::kPackageZipSuffix);
  std::vector<Package::FileToZip> files = FilesToZip(package);
  // One entry per path, in path order; the files stay open from their check
  // to their last byte read.
  std::map<TPath, Package::FileToZip*> entries;
  for (Package::FileToZip& file : files) entries.emplace(file.path, &file);
  TString contents;
  uint64_t total = 0;
  for (const auto& [path, file] : entries) {
    contents += path.ToString() + "\n";
    total += std::min(static_cast<uint64_t>(file->file.Size()), file->maxBytes);
  }
  LogText(TLog::Info, TFormatString("Creating zip file '%1' for package Id '%2', with following "
                                    "contents:\n'%3.'")
                          .arg(zipPath)
                          .arg(package.GetPackageName())
                          .arg(contents));
  encryptor.ZipAndEncryptPackage(package, zipPath, keep, deflateThreads, [&](ZipFile& zip) {
    // A file that grew since it was opened makes more than was counted.
    if (progress) {
      zip.SetInputListener([&](uint64_t read) { progress(read, std::max(read, total)); });
    }
    for (const auto& [path, file] : entries) {
      try {
        const uint64_t before = zip.InputSize();
        zip.Add(file->file, package.GetZipEntryName(path), file->maxBytes);
        // Cut short by its application meanwhile: what was there goes, and
        // whoever reads the crash is told that the entry is not the file
        // the manifest describes.
        const uint64_t held = zip.InputSize() - before;
        if (file->maxBytes != UINT64_MAX && held < file->maxBytes) {
          LogText(TLog::Warn, TFormatString("'%1' ended after %2 of its %3 bytes while it was "
                                            "zipped: its entry holds what was there")
                                  .arg(path.ToString())
                                  .arg(held)
                                  .arg(file->maxBytes));
        }
      } catch (const TPath::Exception& e) {
        // Only reading one of the package's own files throws this; the
        // zip writer reports its own output's trouble otherwise.
        throw PackageFilesUnreadable(TFormatString("A file of package '%1' cannot be read: %2")
                                         .arg(package.GetPackageName())
                                         .arg(e.GetConcatenatedMessages()));
      }
    }
  });
  for (const auto& [path, file] : entries) {
    if (const auto identity = file->file.Identify()) {
      zippedThisRun_[{identity->device, identity->inode}] = {*identity, package.GetPackageName()};
    }
  }
  LogText(TLog::Info, TFormatString("Successfully created zip file '%1' for package Id '%2', "
                                    "with following contents:\n'%3'")
                          .arg(zipPath)
                          .arg(package.GetPackageName())
                          .arg(contents));
}

CrashPackageProcessor::Retried CrashPackageProcessor::RetryFailedPackages(
    const std::vector<TString>& names) {
  const std::set<TString> wanted(names.begin(), names.end());
  Retried retried;
  std::vector<TString> busy;
  std::vector<TString> deleting;
  const PackageMap failed = LoadPackagesInState(UploadStatus::kFailed, &busy, &deleting);
  std::set<TString> exact(busy.begin(), busy.end());
  exact.insert(deleting.begin(), deleting.end());
  for (const auto& [name, package] : failed) exact.insert(name);
  // A name is wanted as it is, or as `list` shows it (escaped) where it is
  // no package's own name: one user's file may be named as another's crash
  // is shown.
  const auto isWanted = [&](const TString& name) {
    if (wanted.empty() || wanted.count(name) != 0) return true;
    const TString shown =
        zor::platform::EscapeForDisplay(name, zor::platform::DisplayForm::kExactBytes);
    return wanted.count(shown) != 0 && exact.count(shown) == 0;
  };
  for (const auto& [name, package] : failed) {
    if (!isWanted(name)) continue;
    const auto lock = PackageLock::TryLock(*package);
    if (!lock) {
      retried.busy.push_back(name);
      continue;
    }
    // A logs package's details go when it is given up (they name a person):
    // it could only fail again.
    if (package->GetPackageType() == PackageType::kZippedLogsPackage &&
        (!package->HasDataFile(DataFileKind::kPackageMetadataFile) ||
         !zor::platform::PathExists(
             package->GetDataFilePath(DataFileKind::kPackageMetadataFile)))) {
      retried.spent.push_back(name);
      continue;
    }
    package->GrantNewAttempts();
    LogText(TLog::Info,
            TFormatString("Package '%1' gets new attempts; the next send-crashes run tries it.")
                .arg(name));
    retried.changed.push_back(name);
  }
  for (const TString& name : busy) {
    if (isWanted(name)) retried.busy.push_back(name);
  }
  for (const TString& name : deleting) {
    if (isWanted(name)) retried.deleting.push_back(name);
  }
  std::set<TString> matched;
  for (const auto* found : {&retried.changed, &retried.busy, &retried.spent, &retried.deleting}) {
    for (const TString& name : *found) {
      matched.insert(name);
      matched.insert(
          zor::platform::EscapeForDisplay(name, zor::platform::DisplayForm::kExactBytes));
    }
  }
  for (const TString& name : names) {
    if (matched.count(name) == 0) retried.unknown.push_back(name);
  }
  return retried;
}

void CrashPackageProcessor::CleanUpUploadedPackage(Package& package) { package.CleanUpFiles(); }

void CrashPackageProcessor::RemovePreviousLogsPackages() const {
  // A new `send-logs` supersedes every earlier one, failed ones too: what an
  // earlier logs package holds of the user's is the e-mail address and case
  // number, which must not stay behind. The user's zip is never the
  // package's to delete.
  std::vector<TString> extensions;
  for (const UploadStatus status : kStoredStatuses) {
    extensions.push_back(LogsPackageSuffix().mid(1) + "." + StatusFileExtension(status));
  }
  LogText(TLog::Debug, "Removing logs packages from previous runs...");
  Filesystem& fs = Filesystem::GetInstance();
  for (const TPath& path : fs.ListFiles(dataDirectory_, extensions, true)) {
    std::shared_ptr<Package> package;
    try {
      package = LoadPackageStatusFile(path, boundary_);
    } catch (const ZorvaneException& e) {
      LogText(TLog::Warn, TFormatString("Removing the unreadable logs package status file '%1': %2")
                              .arg(path)
                              .arg(e.GetConcatenatedMessages()));
      fs.RemovePath(path);
      continue;
    }
    if (const auto lock = PackageLock::TryLock(*package)) package->DeletePackage();
  }
}

CrashPackageProcessor::NewLogsPackage CrashPackageProcessor::CreateLogsPackage(
    const TPath& logZip, const TString& supportCaseNumber, const TString& emailAddress) {
  // The data directory's files are the program's own: once the package is
  // gone, its sweep of unrecorded files would take the user's zip.
  const auto zip = zor::platform::CanonicalPath(logZip);
  const auto data = zor::platform::CanonicalPath(dataDirectory_);
  if (zip && data && zor::platform::IsSameOrBelow(*zip, *data)) {
    throw ZorvaneException(TFormatString("The zipped logs file '%1' lies in the data directory "
                                         "'%2', whose files are the program's own: copy it "
                                         "elsewhere and send that")
                               .arg(logZip)
                               .arg(dataDirectory_));
  }
  RemovePreviousLogsPackages();
  const TUUID id = SystemInfo::Get().CreateUuid();
  const TPath basePath = dataDirectory_ / (TString(id) + LogsPackageSuffix());
  // Held before the status file exists, so that no other process ever finds
  // the package without its owner.
  PackageLock lock = PackageLock::LockNew(dataDirectory_, basePath.Filename());
  // The details first, then the status file that records them: a package
  // without its details could only be refused.
  const TPath metadataPath =
      dataDirectory_ / (basePath.Filename() + LogPackageMetadata::kFileSuffix);
  JsonFileSerializedObject::SaveNewFile(
      std::make_shared<LogPackageMetadata>(supportCaseNumber, emailAddress), metadataPath);
  std::shared_ptr<LogsPackage> package;
  try {
    package = LogsPackage::Create(basePath, logZip, metadataPath, id, boundary_);
  } catch (...) {
    // Nobody records the user's e-mail address now: it goes at once.
    Filesystem::GetInstance().RemovePath(metadataPath);
    throw;
  }
  return {std::move(package), std::move(lock)};
}

}  // namespace ZorErrorReporting
