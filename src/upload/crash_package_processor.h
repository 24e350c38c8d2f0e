// CrashPackageProcessor: decides at each run which packages are to be
// uploaded, and prepares and finishes their files.
//
// Everything that outlives a run is in the package status files of the data
// directory; the processor keeps nothing on disk of its own. A run of
// FindPackagesToUpload:
//   1. settles what the previous run left: "Pending" (never tried) and
//      "Started" (interrupted) packages become "PendingRetry" without a
//      result, since an interrupted run says nothing about the package; a
//      "Started" or "PendingRetry" one with kMaxUploadAttempts counted
//      attempts (Package::CountedAttempts) is "Failed": its upload files are
//      cleaned up, its crash files stay;
//   2. when the configuration asks, deletes "Complete" packages with their
//      crash files, all but the status file of a crash, which stays (with no
//      data files recorded, Package::HasNoFilesLeft) until 7 days after its
//      last upload result, so that `list` still shows it; and "Failed" ones
//      30 days after they were given up when no retention limit is set
//      (retention removes them otherwise); a
//      "Complete" package that still records upload files (a run that ended
//      between the two) is cleaned up in any case;
//   3. loads every remaining package: their files are never packaged again;
//      then removes the package files that no status file records any more
//      and that are an hour old (upload/leftover_files.h);
//   4. scans the dump directories and saves each new crash as "Pending"
//      (one that cannot be read, or that is reached through another user's
//      link, is left out with a Warn line); of the new crashes whose files
//      all belong to one other user at most 200 of that user in one run, the
//      rest waiting for later runs (one Warn line says how many);
//   5. fails packages not yet sent that may hold full dumps when full dumps
//      are off;
//   6. applies the retention limits when configured (upload/retention_policy.h);
//   7. returns the "Pending" and "PendingRetry" packages in their fair order
//      (InFairOrder in upload/package_footprint.h), but for
//      those whose retry delay has not passed (logged at Info), only as many
//      as the upload rate limit admits when one is configured
//      (upload/upload_rate_limit.h); the "Pending" packages it held back in
//      the previous run are not settled in step 1.
// A package whose lock another process holds (a `send-logs` at work, see
// upload/package_lock.h) is left out of every step: it is not settled,
// deleted, loaded or returned. Each change to a package is made holding its
// lock.
// A status file that cannot be loaded is deleted (Warn), or ignored when it
// cannot be deleted; its crash files then form a new package. Left-over
// temporary files of interrupted saves and crash-handler directories that
// are old enough are removed on the way (see upload/leftover_files.h).
//
// A logs package that an interrupted `send-logs` left behind (no process
// holds its lock any more) is listed with the crash packages and loaded as
// what it is, a LogsPackage, so that nothing done to it ever deletes the
// user's zip.
//
// Ownership: one processor per upload client; packages are shared with the
// caller. Thread-safety: none; the thread that runs the command.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "crypto/package_encryptor.h"
#include "files/byte_progress.h"
#include "packages/package.h"
#include "packages/package_types.h"
#include "packages/trust_boundary.h"
#include "platform/tpath.h"
#include "platform/tstring.h"
#include "upload/crash_file_grouping.h"
#include "upload/package_lock.h"
#include "upload/upload_run_stats.h"

namespace ZorErrorReporting {

class LogsPackage;

// Throws ZorvaneException "The data directory '<directory>' is not a
// directory but <what is there>; set servercrashupload.data.dir" when
// something other than a directory (or a link to one) is at its name;
// nothing when it is one or nothing is there.
void RefuseDataDirectoryOfAnotherKind(const zor::platform::TPath& directory);

class UploadRateLimit;

class CrashPackageProcessor {
 public:
  // A package with this many results at the start of a run is given up.
  static constexpr int kMaxUploadAttempts = 3;

  // Copies the directories and creates `dataDirectory` when missing (logged
  // at Warn), then makes the run's trust boundary around them: the one every
  // package of the run is made with. Throws ZorvaneException "Could not
  // create directory '<path>'!" when it cannot be created.
  CrashPackageProcessor(std::vector<zor::platform::TPath> dumpDirectories,
                        zor::platform::TPath dataDirectory);
  // Logs "Exited." at Debug.
  ~CrashPackageProcessor();
  CrashPackageProcessor(const CrashPackageProcessor&) = delete;
  CrashPackageProcessor& operator=(const CrashPackageProcessor&) = delete;

  // Whether new packages may upload full dumps; false until set. When false,
  // FindPackagesToUpload fails every package whose manifest allows them.
  void SetIncludeFullDumps(bool includeFullDumps) { includeFullDumps_ = includeFullDumps; }

  // The run described above. Returns the packages in state Pending or
  // PendingRetry that are due, in their fair order (InFairOrder), as many as
  // the upload rate limit admits when one is set. Throws what the listing of a dump
  // or the data directory throws (TPath::Exception naming it) and what saving
  // a reconciled status throws; what was saved before stays, and the next run
  // finds everything else again.
  std::vector<std::shared_ptr<Package>> FindPackagesToUpload();

  // What the last FindPackagesToUpload found, held back and pruned (the
  // upload counts stay 0).
  const UploadRunStats& GetRunStats() const { return stats_; }

  // Gives back the upload rate limit's slot of a package FindPackagesToUpload
  // returned that asked nothing of the server (UploadRateLimit::GiveBack);
  // returns the package it passes to, or nullptr (always, with no limit).
  // Never throws.
  std::shared_ptr<Package> GiveBackUploadSlot(bool passOn);

  // Zips the package's files (its zip named "<data directory>/<name>.package.zip")
  // and encrypts them in one pass with `encryptor` (PackageEncryptor::
  // ZipAndEncryptPackage, which records the result; the zip itself is
  // written only with KeepZip::kYes). Throws what FilesToZip throws when
  // the package's files cannot be listed, PackageFilesUnreadable
  // (upload/attempt_failure.h) when one of them cannot be read; what the
  // encryptor throws otherwise (the
  // data directory's trouble: a file that cannot be created or written). Nothing
  // new is recorded or left behind then. `progress` is told how much of the
  // files' bytes (their sizes as opened) are zipped.
  void ZipAndEncryptPackage(Package& package, PackageEncryptor& encryptor,
                            PackageEncryptor::KeepZip keep, unsigned deflateThreads,
                            const ByteProgress& progress = {});

  // After a successful upload: the package's CleanUpFiles. Never throws.
  void CleanUpUploadedPackage(Package& package);

  // What RetryFailedPackages came to, by package name.
  struct Retried {
    std::vector<zor::platform::TString> changed;
    std::vector<zor::platform::TString> busy;  // failed, but another process holds its lock
    std::vector<zor::platform::TString> unknown;  // of the names given, those matching neither
    // logs packages whose customer's details went when they were given up:
    // nothing of them can be sent again
    std::vector<zor::platform::TString> spent;
    // whose deletion an earlier run began: left for send-crashes to finish
    std::vector<zor::platform::TString> deleting;
  };
  // `retry`: gives the "Failed" packages named in `names` (every one when
  // `names` is empty; a name as it is, or escaped as `list` shows it where
  // that is no failed package's own name) a fresh
  // set of attempts (Package::GrantNewAttempts),
  // each logged at Info, except those another process holds, the spent
  // logs packages and those being deleted (left as they are). Throws what
  // listing the data directory and saving a package throw.
  Retried RetryFailedPackages(const std::vector<zor::platform::TString>& names);

  // A new logs package and its lock, which the caller holds until it is done
  // with the package.
  struct NewLogsPackage {
    std::shared_ptr<LogsPackage> package;
    PackageLock lock;
  };

  // The logs package of `send-logs`: deletes every earlier logs package whole
  // (all its files but the user's zip; one another process holds is left
  // alone), then takes the lock of a new package and creates it "Pending"
  // around `logZip` with a metadata file holding the two values. The user's
  // zip is only recorded, never moved or deleted. Throws ZorvaneException
  // for a zip in the data directory (whose files are the program's), before
  // anything is deleted; what PackageLock::LockNew throws, and what saving
  // the status or metadata file throws.
  NewLogsPackage CreateLogsPackage(const zor::platform::TPath& logZip,
                                   const zor::platform::TString& supportCaseNumber,
                                   const zor::platform::TString& emailAddress);

 private:
  using PackageMap = std::map<zor::platform::TString, std::shared_ptr<Package>>;

  // The packages whose status files end in `status`'s name, by name (the
  // first file of a name wins; with `sameName`, the others are added to it).
  // Packages another process holds are left out; with `busy`, their names
  // are added to it. A package whose deletion an earlier run began is left
  // out too, its deletion finished, or, with `deleting`, left as it is and
  // named there. A file that cannot be read now is left alone (Warn once a
  // run); one of an unfinished state is added to unreadableUnfinished_.
  PackageMap LoadPackagesInState(UploadStatus status,
                                 std::vector<zor::platform::TString>* busy = nullptr,
                                 std::vector<zor::platform::TString>* deleting = nullptr,
                                 std::vector<std::shared_ptr<Package>>* sameName = nullptr);
  // The packages of ".complete" status files that are done. One whose
  // record says otherwise, or whose recorded name, file name or one of whose
  // data files another status file also records, or may record (a data
  // directory restored over a newer one, a record copied by hand; an
  // unfinished status file of any name that cannot be read now), is left out, said
  // once a run, so that nothing deletes its crash as sent. Every ".complete"
  // file another status file records is moved aside, to "<its name>.doubted",
  // out of the way of the other's upload; where that fails, the other is not
  // sent in this run.
  PackageMap LoadCompletePackages();
  // Whether `complete` (a ".complete" status file's package) is not taken
  // as uploaded, for the reasons of LoadCompletePackages, which it logs and
  // acts on. Never throws.
  bool DoubtComplete(const Package& complete);
  // Deletes what is left of `package` under its lock (skipped if held), once
  // a run: it is never uploaded. Never throws.
  void FinishDeletion(Package& package);
  // False, for the rest of the run, once the package's lock was found held
  // (see PackageLock::TryLock).
  bool IsFreeToWorkOn(const Package& package);
  // `heldBack`: "Pending" packages the rate limit kept waiting on purpose.
  void ReconcilePreviousRun(const std::set<zor::platform::TString>& heldBack);
  // Moves the "Started" packages whose last result is a success out of
  // `started` and records them as "Complete". Never throws for a save.
  void SettleUploadedPackages(PackageMap* started);
  void CleanUpCompletedPackages();
  void DeleteCompletedPackages();
  void LoadPreviousPackages();
  // Deletes (Info) each given-up crash package whose recorded manifest no
  // longer exists (a deletion killed half-way, the crash's folder removed):
  // it can never be sent nor retried, and a crash file still there makes a
  // new package. Never throws.
  void ForgetGivenUpPackagesWithoutManifest();
  std::set<zor::platform::TPath> ListCrashArtifactFiles() const;
  void ProcessCrashFiles(const std::set<zor::platform::TPath>& listing);
  // Why the crash of `files` is not packaged in this run, or empty when it
  // is: a dump of it that this run sends is open for writing (where that
  // cannot be asked, changed within the minute before `nowNs`) or cannot be
  // opened now (a lease, no descriptor left), or every one is empty, or this
  // program's crash handler is still writing the full dump beside its
  // minidump (a "-full.dmp.temp" open for writing, changed within the
  // hour); a dump
  // left so for over an hour before `nowNs` (its writer died or hangs), or
  // timed over a minute after it, counts as finished. Only the dumps of the
  // crash's owner (CrashPackage::OwnerOf) are judged; a crash of full dumps
  // only is judged on those. `*user` becomes the crash's owner (of a crash
  // without one, the owner of all its files when they have one), else
  // stays. Never throws for a file it opens.
  zor::platform::TString WhyCrashWaits(const std::set<zor::platform::TPath>& files, int64_t nowNs,
                                       uid_t* user) const;
  // The package's files opened for its zip (Package::GetFilesToZip); throws
  // ShortOfResources as it comes, a TPath::Exception (transient) while the
  // crash's dumps are away (outside the run's directories or in a folder
  // that is not there) for a week after the package was made, else
  // PackageFilesUnreadable naming the package and the cause.
  std::vector<Package::FileToZip> FilesToZip(Package& package) const;
  // Makes, saves and keeps the package of `group` (its `files`; `groups` and
  // the earlier runs' `packaged` crashes for the GDB files that go with it);
  // a ZorvaneException on the way is logged at Warn and leaves nothing of it
  // (the next run finds the crash again).
  void MakePackage(const CrashFileGroups& groups, const PackagedProcesses& packaged,
                   const CrashFileGroups::GroupId& group, const CrashFileGroups::Files& files);
  // Without full dumps, no crash package reads one, and one whose upload
  // files, made earlier, may hold one has them discarded (logged at Info
  // with the reason), so that it is made again without; with them, one whose
  // upload files left out full dumps its crash allows is made again with
  // them. One whose record cannot be saved so waits for a later run (Warn).
  // Never throws for a save. One that cannot be made again (Package::
  // FirstSourceGone, a full dump not counted without them) is kept as it is:
  // KeepUploadThatCannotBeMadeAgain. A package that waits stays known to
  // retention.
  void RemakeFullDumpPackages();
  // For `crash`, whose file `gone` is gone: with full dumps it is sent as it
  // is, and the full dumps it left out are no longer its own (kept where
  // they are, a new crash of those whose names make one); without, it waits
  // for a run that sends them (notSentThisRun_, the reason its last error).
  // Either is logged at Warn. Throws what Save throws.
  void KeepUploadThatCannotBeMadeAgain(CrashPackage& crash, const zor::platform::TString& gone);
  void ApplyRetention();
  void RemovePreviousLogsPackages() const;
  // The name for a new package of `group`: its key when no package or status
  // file goes by it and it may name a file (not "." or ".."), else the
  // group's second name, numbered on from 2 until
  // free; each fitted (FitPackageName).
  zor::platform::TString FreePackageName(const CrashFileGroups::GroupId& group) const;
  // Where the crash package `id`'s status file is while it has `status`.
  zor::platform::TPath GetStatusFilePath(const zor::platform::TString& id,
                                         UploadStatus status = UploadStatus::kPending) const;

  const std::vector<zor::platform::TPath> dumpDirectories_;
  const zor::platform::TPath dataDirectory_;
  const TrustBoundary boundary_;
  PackageMap packages_;
  // What the zips of this run took, and whose (Package::GetFilesToZip).
  Package::ZippedElsewhere zippedThisRun_;
  bool includeFullDumps_ = false;
  // Packages another process was working on when this run looked.
  std::set<zor::platform::TString> skipped_;
  // Known packages this run does not send (RemakeFullDumpPackages).
  std::set<zor::platform::TString> notSentThisRun_;
  // The ".complete" files DoubtComplete left out (each said once a run),
  // and the unreadable file that doubted them all, said once.
  std::set<zor::platform::TPath> doubtedComplete_;
  // The status files of unfinished packages, by the names they record
  // (LoadCompletePackages, once a run).
  std::optional<std::map<zor::platform::TString, zor::platform::TPath>> recordedUnfinished_;
  // Who records a data file of an unfinished package (LoadCompletePackages),
  // by the file's keys (FileKeys), and whose status file has a name, by it
  // (StemOf).
  struct Recorder {
    zor::platform::TString name;  // the package
    zor::platform::TPath statusFile;
  };
  std::map<zor::platform::TString, Recorder> unfinishedFiles_;
  // Unfinished packages another process held when this run looked.
  std::set<zor::platform::TString> heldUnfinished_;
  // Unfinished status files this run could not read: any package may be
  // theirs.
  std::set<zor::platform::TPath> unreadableUnfinished_;
  UploadRunStats stats_;
  std::unique_ptr<UploadRateLimit> rateLimit_;  // of the last FindPackagesToUpload, if one is set
};

}  // namespace ZorErrorReporting
