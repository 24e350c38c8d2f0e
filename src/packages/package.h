// Package: one unit of upload (a crash package or a logs package) and its
// package status file.
//
// A package records who it is (name, type, local and remote ids), the files
// that belong to it (at most one path per DataFileKind), how far its upload has
// come (UploadStatus) and what each upload attempt gave (UploadResult). All of
// it lives in one JSON status file in the data directory; every change that
// must outlive the run saves that file at once. The status file's name always
// ends with "." and the lower-case status name; SetUploadStatus renames it.
//
// Lifecycle of the status:
//   1. Pending (constructor; the creator saves the file under ".pending");
//   2. Started when an attempt begins (SetUploadStatus);
//   3. PendingRetry after a failed attempt (AddUploadResult, SetUploadStatus),
//      or when a previous run left the package unfinished; back to 2;
//   4. Complete, then CleanUpFiles: the upload files go, the package's own
//      files stay (a logs package is deleted whole with DeletePackage); a
//      later run deletes it with DeletePackage when the configuration asks
//      (delete_completed_dumps, the retention limits);
//   5. or Failed, then CleanUpFiles; DeletePackage once it was given up
//      long enough ago, or by the retention limits.
//
// Status file format (one compact JSON object, members in this order):
//   "package-name" string, "package-type" string (type name),
//   "local-package-id" string (TUUID form 0), "remote-package-id" string,
//   "package-data-files" object (kind name -> native path, ascending kind),
//   "upload-status" string (status name),
//   "upload-results" array of {"timestamp" (DateTime pattern 25),
//   "upload-result-code" (code name), "upload-message"};
//   then, only when set: "last-error" (an object as an upload result),
//   "transient-failures" integer, "next-attempt" string (pattern 25),
//   "attempts-forgiven" integer, "zipped-files" object (native path ->
//   [device, inode, size, modification time in ns, birth time in ns, and
//   where the file system keeps none, 0 for it and the change time in ns;
//   an older version wrote neither; for a log, the change time or 0 and
//   then the CRC-32 of its last 4 KiB zipped], the crash's files as
//   the last finished zip found them), "full-dumps-left-out" true (that zip
//   left out full dumps its crash allows), "encrypted-file-boot" string (the
//   boot whose page cache alone held the encrypted file: never synced, it
//   counts only in that boot), "remote-package-endpoint" string (the upload
//   endpoint that gave the remote id), "crash-owner" integer (the user whose
//   crash it is, as told when the package was made), "being-deleted" true
//   (a deletion began: see DeletePackage), "process-key" string (the
//   "<process name>.<pid>" of the crash's files, told when it was made),
//   "made-at" integer (ms since the epoch: when the package was made).
// The members up to "upload-results" are always written. Reading: see the
// JSON constructor.
//
// Attempts: only a verdict on the package (a result of code "ClientError")
// counts towards the limit; CountedAttempts leaves out those that a retry
// forgave. Trouble that says nothing about the package (the network, the
// server, the data directory) is recorded as the last error and a retry
// delay instead, and never gives a package up.
//
// Trust: every path the package reads or deletes on the word of a file is
// checked against the trust boundary it was made with (the run's, see
// packages/trust_boundary.h); the package never reads the configuration for
// that decision.
//
// Ownership: held by std::shared_ptr; the package owns its cached encryption
// metadata and upload progress objects and shares them with callers, and a
// copy of its trust boundary.
// Thread-safety: none; one thread at a time.
#pragma once

#include <rapidjson/fwd.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "packages/json_file_serialized_object.h"
#include "packages/package_types.h"
#include "packages/trust_boundary.h"
#include "platform/date_time.h"
#include "platform/file_identity.h"
#include "platform/tfile.h"
#include "platform/tpath.h"
#include "platform/tstring.h"
#include "platform/tuuid.h"

namespace ZorErrorReporting {

class PackageEncryptionMetadata;
class PackageMetadata;
class PackageUploadProgress;

// The outcome of one upload attempt.
struct UploadResult {
  zor::platform::DateTime time;  // local time the attempt ended; invalid if unreadable
  UploadResultCode code = UploadResultCode::kUnknown;
  zor::platform::TString message;
};

class Package : public JsonFileSerializedObject {
 public:
  using DataFiles = std::map<DataFileKind, zor::platform::TPath>;
  // The files of a crash as found when its zip was made.
  using FileStamps = std::map<zor::platform::TPath, zor::platform::FileIdentity>;

  // Whether DeleteDataFiles also deletes the "manifest-file".
  enum class IncludeManifest { kNo, kYes };
  // Whether DeletePackage keeps the status file.
  enum class KeepStatusFile { kNo, kYes };

  // The suffix of a package's zip file name: "<package name>.package.zip".
  static constexpr char kPackageZipSuffix[] = "package.zip";
  // The suffix of its upload progress file: "<package name>.uploaded.parts".
  static constexpr char kUploadedPartsSuffix[] = ".uploaded.parts";

  // A new package with a new local id (or `localId`), status Pending, no data
  // files, no results, no remote id, within `boundary`; unbound. Throws
  // ZorvaneException "Package name is empty!" when `name` is empty.
  Package(const zor::platform::TString& name, PackageType type, TrustBoundary boundary);
  Package(const zor::platform::TString& name, PackageType type, const zor::platform::TUUID& localId,
          TrustBoundary boundary);

  // Reads a status file's root object: members are matched ignoring case and
  // walked in file order (a later one wins); "crash-correlation-id" is read as
  // the package name too; a member with an unknown name or an unexpected JSON
  // type is skipped silently; an enumeration name that matches nothing reads
  // as value 0. In "package-data-files" string members whose name is a kind
  // name are recorded, others skipped. Each "upload-results" element must be
  // an object whose members are all strings; an unparsable "timestamp" is
  // logged at Warn ("Could not parse timestamp") and leaves an invalid time.
  // Throws ZorvaneException when `json` is not an object or an upload result
  // is malformed as above, and "Package name is empty!" when no name was read.
  Package(const rapidjson::Value& json, TrustBoundary boundary);

  // Two objects would save over one file.
  Package(const Package&) = delete;
  Package& operator=(const Package&) = delete;
  ~Package() override;

  // JsonFileSerializedObject: the status file format above.
  rapidjson::Document ToJson() const final;

  // The file name under which the package is uploaded.
  virtual zor::platform::TString GetUploadFileName() const = 0;
  // A compact JSON text that names the package in log lines.
  virtual zor::platform::TString GetIdentityJson() const = 0;
  // A file that goes into the package's zip: the path it was named by (which
  // GetZipEntryName turns into its entry's name) and the file as opened when
  // it was checked, so that the zip reads what was checked; of it no more
  // than `maxBytes`, the size it had then (a file that grows since, a
  // sparse terabyte added after the check, adds nothing beyond it).
  struct FileToZip {
    zor::platform::TPath path;
    zor::platform::TFile file;
    uint64_t maxBytes = UINT64_MAX;
  };
  // The files that packages' zips took in this run, by device and inode, as
  // they were then, and whose zip took each.
  struct ZippedFile {
    zor::platform::FileIdentity identity;
    zor::platform::TString package;
  };
  using ZippedElsewhere = std::map<std::pair<dev_t, ino_t>, ZippedFile>;
  // The files that go into the package's zip, in list order, already open;
  // one that another package's zip took in this run and that is unchanged
  // since (`zippedThisRun`) is left out, so that one file that many crashes
  // name goes up once a run, not once a crash, and is not stamped as this
  // package's (the package whose zip holds it deletes it). Empty here.
  virtual std::vector<FileToZip> GetFilesToZip(const ZippedElsewhere& zippedThisRun);
  // The name of `path`'s entry in the zip: its file name here (ZipFile makes
  // every name safe to unpack).
  virtual zor::platform::TString GetZipEntryName(const zor::platform::TPath& path) const;

  // Deletes the recorded data files in ascending order of kind, the
  // "manifest-file" only with IncludeManifest::kYes, each logged at Debug and
  // deleted as DeletePackageFile does within the package's trust boundary.
  // Every file is tried; appends the native path and "\n" of each one really
  // removed to `*deletedFiles`. True iff none failed (also when there is
  // nothing to delete). The recorded paths stay. Never throws.
  // The files of the kinds KeepsDataFile names are skipped, not logged.
  virtual bool DeleteDataFiles(zor::platform::TString* deletedFiles,
                               IncludeManifest includeManifest);
  // True for a data file kind that is not the package's to delete. None here.
  virtual bool KeepsDataFile(DataFileKind) const { return false; }
  // Deletes the data files except the manifest (after "Failed"); the status
  // file stays. Logs what was deleted at Info. Never throws.
  virtual void CleanUpFiles();
  // Deletes the package whole: first what DeleteOwnFiles deletes, then, only
  // if none of that failed, every data file, and then, only if none of those
  // failed either, the status file (a failure keeps them so that the next
  // run tries again). With KeepStatusFile::kYes the status file stays
  // instead, saved with no data files recorded: the record of a package
  // whose files are all gone (HasNoFilesLeft). Logs what was removed at Info.
  // A package not yet Complete is first saved as IsBeingDeleted (once), so
  // that a deletion cut off half-way is finished, never uploaded; when such
  // a deletion stops on a failure, its first failure is saved as the last
  // error ("The deletion stopped: ..."), for `list`. Never throws: an exception on the way (a
  // failed save among them) is logged at Warn and ends the deletion; when the mark cannot be saved,
  // nothing is deleted.
  void DeletePackage(KeepStatusFile keep = KeepStatusFile::kNo);
  // True once a DeletePackage began on this package, in this run or an
  // earlier one: what is left of it is for a deletion to finish, not for
  // an upload.
  bool IsBeingDeleted() const { return beingDeleted_; }
  // From now on DeletePackage takes a crash file out of the run's reach
  // (TrustBoundary::WhyOutOfReach) as gone, where it kept the package's
  // record for a later run: the sent crash's week is over, or an operator's
  // limit deletes it.
  void ForgetFilesOutOfReach() { forgetsFilesOutOfReach_ = true; }
  bool ForgetsFilesOutOfReach() const { return forgetsFilesOutOfReach_; }
  // True iff the package is Complete and records no data file: all its files
  // were deleted and only its status file is kept.
  bool HasNoFilesLeft() const {
    return uploadStatus_ == UploadStatus::kComplete && dataFiles_.empty();
  }
  // True iff the crash files under the package's names are still the ones it
  // stands for, so that no new crash is to be made of them: false when it
  // has no files left (HasNoFilesLeft), and when it is finished (Complete or
  // Failed) while a dump or Java file its last zip stamped now lies there as
  // another file or with other content (a new crash under its names). A file
  // gone, or another kind changed (a log written on), is no new crash. Never
  // throws.
  bool HoldsItsCrashFiles() const;
  // What of its group's files the package stands for, so that no new crash
  // is made of them: `all` while it is not finished (its next zip takes what
  // is there then) or when nothing is stamped (GetZippedFiles); else the
  // dumps and Java files stamped, so that another one beside them is a new
  // crash; `stamps`, their stamps whatever `all` says; `bornBy`, of one that
  // knows no owner and stamped nothing, the latest birth (LatestBirthNs) a
  // file of its crash can have (IsCrashsOwn), 0 when not known or when that
  // does not tell its files. Nothing when it does not hold its crash files
  // (HoldsItsCrashFiles). Never throws.
  struct HeldCrashFiles {
    bool all = false;
    std::set<zor::platform::TPath> paths;
    FileStamps stamps;
    int64_t bornBy = 0;
  };
  std::optional<HeldCrashFiles> GetHeldCrashFiles() const;

  // The values sent when the package is registered with the crash server.
  virtual zor::platform::TString GetProductBuild() const = 0;
  virtual zor::platform::TString GetEdition() const = 0;
  virtual zor::platform::TString GetOs() const = 0;
  virtual zor::platform::TString GetOsVersion() const = 0;
  virtual zor::platform::TString GetProcessorArchitecture() const = 0;

  // Extra metadata that travels encrypted with the package; null here.
  virtual std::shared_ptr<PackageMetadata> GetPackageMetadata();

  // Throws ZorvaneException "Package name is empty!" when the name is empty.
  virtual void Validate() const;

  // Identity.
  const zor::platform::TString& GetPackageName() const { return packageName_; }
  PackageType GetPackageType() const { return packageType_; }
  const zor::platform::TUUID& GetLocalPackageId() const { return localPackageId_; }
  const zor::platform::TString& GetRemotePackageId() const { return remotePackageId_; }
  bool HasRemotePackageId() const { return !remotePackageId_.isEmpty(); }
  // Stores the id the server assigned, and the server that did (its upload
  // endpoint as ForLog shows it; empty: not told); not saved until the next
  // saving call.
  void SetRemotePackageId(const zor::platform::TString& id,
                          const zor::platform::TString& registeredAt = {}) {
    remotePackageId_ = id;
    registeredAt_ = registeredAt;
  }
  // The server that gave the remote id; empty when not recorded (an older
  // version's record).
  const zor::platform::TString& GetRegisteredAt() const { return registeredAt_; }
  // The user whose crash it is, told when it was made and saved with it;
  // nullopt when not told (an older version's record, no crash file seen).
  const std::optional<uid_t>& GetCrashOwner() const { return crashOwner_; }
  void SetCrashOwner(const std::optional<uid_t>& owner) { crashOwner_ = owner; }
  // The process key of the crash's files, told when it was made and saved
  // with it, so that it outlives them; empty when not told.
  const zor::platform::TString& GetProcessKey() const { return processKey_; }
  // When the package was made (this run, for a new one), kept across saves;
  // invalid for an older version's record.
  const zor::platform::DateTime& GetMadeAt() const { return madeAt_; }
  void SetProcessKey(const zor::platform::TString& key) { processKey_ = key; }
  // Forgets the remote id and the upload begun under it (the progress
  // record), saving once, then removing that record (Info with `why`): the
  // package registers anew. Throws what Save throws.
  void ForgetRegistration(const zor::platform::TString& why);

  // Status and results.
  UploadStatus GetUploadStatus() const { return uploadStatus_; }
  // Stores `status`, saves, then renames the status file so that its last
  // extension is StatusFileExtension(status) (RenameFilePath: the same name
  // logs a Warn line and stays). Throws what Save and RenameFilePath throw;
  // the status in memory is changed even then, and after a failed rename the
  // file under its old name already holds the new status.
  void SetUploadStatus(UploadStatus status);
  // A copy of the results in attempt order; its size is the attempt count.
  std::vector<UploadResult> GetUploadResults() const { return uploadResults_; }
  // Appends `result` and saves. Throws what Save throws (the result stays).
  void AddUploadResult(const UploadResult& result);
  // Appends the record of the package's giving-up, which carries its last
  // attempt's code and cause and yet is no attempt of its own: CountedAttempts
  // stays. Throws as AddUploadResult.
  void AddGiveUpResult(const UploadResult& result);
  // True iff the status is Pending, Started or PendingRetry and a
  // "parts-uploaded-file" is recorded: an earlier attempt began sending parts.
  bool IsUploadInProgress() const;

  // The verdicts ("ClientError" results) not forgiven by GrantNewAttempts,
  // give-up records left out.
  int CountedAttempts() const;
  // The newest failure, verdict or not; nullopt before the first.
  const std::optional<UploadResult>& GetLastError() const { return lastError_; }
  // Transient failures since the last verdict or success.
  int GetTransientFailures() const { return transientFailures_; }
  // No attempt before this local time; invalid when there is no delay.
  const zor::platform::DateTime& GetNextAttempt() const { return nextAttempt_; }
  // Records why the package waits, with no attempt made (a run of another
  // kind, its files or the disk not ready, an interrupted or killed run):
  // `why` becomes the last error, with no count and no delay, for `list` to
  // show. Saves; throws what Save throws.
  void RecordWait(const UploadResult& why);
  // Records a failure that says nothing about the package: it becomes the
  // last error, the transient count grows by one and the next attempt waits
  // until `notBefore`. Adds no upload result. Saves; throws what Save throws.
  void RecordTransientFailure(const UploadResult& failure,
                              const zor::platform::DateTime& notBefore);
  // Gives the package a fresh set of attempts: every counted one is
  // forgiven, the delay goes, the status becomes PendingRetry. Saves and
  // renames as SetUploadStatus does, and throws what it throws.
  void GrantNewAttempts();

  // The crash's files as the last finished zip found them (RecordEncryption),
  // or, before a zip, as they were when the package was made
  // (RecordFilesAsFound); empty for a package made by an older version.
  const FileStamps& GetZippedFiles() const { return zippedFiles_; }
  // True iff `identity`, found at one of the crash's names `path`, is the
  // crash's own: the file stamped there, unchanged (whoever owns it now);
  // else one of the crash owner's; with no owner recorded (an older
  // version's package), only a stamped file, or while nothing is stamped
  // any known to be born before the package's files (its LatestBirthNs
  // by BoundStampsWithoutBirth's bound).
  // Another user's file at a name is not: it would be zipped, deleted and
  // counted with the crash.
  bool IsCrashsOwn(const zor::platform::TPath& path,
                   const zor::platform::FileIdentity& identity) const;
  // True iff deleting the package deletes `identity`, found at the crash's
  // name `path`: once its files are stamped, only the file stamped there,
  // unchanged (a dump its owner wrote again is a crash of its own); before,
  // any that IsCrashsOwn. What the package counts on disk follows it, so
  // that no crash is deleted for room its deletion would not free.
  bool DeletesWithCrash(const zor::platform::TPath& path,
                        const zor::platform::FileIdentity& identity) const;
  // True iff the last finished zip left out full dumps that its crash allows
  // (a run that sends none made it).
  bool LeftOutFullDumps() const { return fullDumpsLeftOut_; }
  // Records `found` (the crash's files when the package is made, capped as
  // SetFilesFoundForZip caps) as what the package stands for until a zip
  // stamps its files anew: a file under one of its names that is another
  // one is a new crash, which it neither hides nor deletes.
  void RecordFilesAsFound(FileStamps found);
  // The most of the status file that the stamps may take.
  static constexpr size_t kMaxStampBytes = 4 << 20;
  // The boot that wrote the encrypted file without syncing it
  // (RecordEncryption); empty for one synced, or none.
  const zor::platform::TString& GetUnsyncedEncryptionBoot() const { return unsyncedBoot_; }
  // Records that the encrypted file is synced now, whichever boot wrote it,
  // and saves. Throws what Save throws.
  void MarkEncryptionSynced();
  // A file the upload files were made of that is gone or is another file now,
  // so that they cannot be made again as they were: a kept user's zip that
  // OpenUsersFileForReading refuses; a crash file by GetZippedFiles (but those
  // of `unneeded`) that is a link (its stamp tells nothing of what it leads
  // to), that WasReplaced or that the zip would not take now (not
  // IsCrashsOwn, but for the record beside the status file, or refused by
  // WhyNotReadNow); without stamps, what
  // FirstUnstampedSourceGone names. Empty when none is. Never throws.
  zor::platform::TString FirstSourceGone(const std::set<zor::platform::TPath>& unneeded = {}) const;
  // The CRC-32 of `path`'s last bytes before `size` (as the stamp's tailCrc
  // takes them), read from the file `now` identifies; nullopt where it
  // cannot be read. None here: a logs package stamps no file.
  virtual std::optional<uint32_t> TailCrcNow(const zor::platform::TPath& /*path*/,
                                             const zor::platform::FileIdentity& /*now*/,
                                             uint64_t /*size*/) const {
    return std::nullopt;
  }
  // True iff `now`, at the crash's name `path`, is not the file `stamp`
  // recorded there, nor that file written on: unless IsSameFileUnchanged
  // (whoever owns it now), another inode or birth time; a dump or Java file
  // changed at all; another file shorter than it was, or whose bytes where
  // the zip ended differ from the stamp's tailCrc; where birth times cannot
  // tell, an owner other than the crash owner's (but for the program's own
  // record beside the status file).
  bool WasReplaced(const zor::platform::TPath& path, const zor::platform::FileIdentity& stamp,
                   const zor::platform::FileIdentity& now) const;
  // The package no longer stands for those of `paths` that GetZippedFiles
  // holds, which other crashes name: they are not deleted with it, and a
  // crash of them is a new one. Saves when one was held; throws what Save
  // throws.
  void ForgetZippedFiles(const std::set<zor::platform::TPath>& paths);
  // Those ForgetZippedFiles forgot in this process.
  bool LeftToOthers(const zor::platform::TPath& path) const {
    return leftToOthers_.count(path) != 0;
  }

  // The boundary the package was made with.
  const TrustBoundary& GetTrustBoundary() const { return boundary_; }

  // Data files.
  const DataFiles& GetDataFiles() const { return dataFiles_; }
  bool HasDataFile(DataFileKind kind) const { return dataFiles_.count(kind) != 0; }
  bool HasZippedPackageFile() const { return HasDataFile(DataFileKind::kZippedPackageFile); }
  bool HasEncryptedPackageFile() const { return HasDataFile(DataFileKind::kEncryptedPackageFile); }
  // The path recorded for `kind`. Throws ZorvaneException "Data file path
  // '<kind name>' is not set on package '<name>'" when none is.
  zor::platform::TPath GetDataFilePath(DataFileKind kind) const;
  // The "encrypted-package-file" path; throws as GetDataFilePath.
  zor::platform::TPath GetEncryptedPackageFilePath() const;
  // Unrecords, in memory, each data file that the program makes itself (all
  // but the manifest, which is read within the trust boundary, and a file
  // the package keeps, the user's) whose path, by text, lies anywhere but
  // in the status file's folder, and logs a Warn line naming it: only the
  // program writes there, so a status file naming /etc/shadow as what it
  // sends is a corrupt record, and the package is made again from its crash
  // files instead. For a package just loaded; never throws.
  void LeaveOutDataFilesElsewhere();
  // True iff `path` lies in the status file's folder (by its cleaned text):
  // there only the program writes.
  bool LiesBesideStatusFile(const zor::platform::TPath& path) const;
  // Gives each stamp that kept no birth time the latest birth
  // (LatestBirthNs) of the first data file of the status file's folder made
  // after it was taken (the zip, else the encrypted file, else the crash's
  // record, else the status file itself) as the latest its file can have
  // been born (FileIdentity::bornByNs), so that a file copied with its
  // time kept is known again; of a package that stamped nothing, the
  // crash's files are those known to be born by then (IsCrashsOwn). An
  // earlier bound that the status file records (a package of no recorded
  // owner keeps it there, since each save makes the status file anew) holds
  // when it is earlier. For a package just loaded, after
  // LeaveOutDataFilesElsewhere; never throws.
  void BoundStampsWithoutBirth();
  // Records (or replaces) the path for `kind` and saves. Throws what Save
  // throws; the path is recorded even then.
  void SetDataFilePath(DataFileKind kind, const zor::platform::TPath& path);
  // Records a finished encryption, the encrypted file and its metadata file
  // together, in one save: a package never records one without the other.
  // `zip`, when given, is the plain zip made in the same pass and kept beside
  // them; it is recorded in the same save, and so are the stamps that the
  // pass's GetFilesToZip found (GetZippedFiles; a kept zip encrypted again
  // keeps those of its pass). `unsyncedInBoot` names the boot whose page
  // cache alone holds the encrypted file (empty: it was synced). Throws what
  // Save throws.
  void RecordEncryption(const zor::platform::TPath& encryptedFile,
                        const zor::platform::TPath& metadataFile,
                        const std::optional<zor::platform::TPath>& zip = std::nullopt,
                        const zor::platform::TString& unsyncedInBoot = {});
  // Unrecords the data files of `kinds` in one save, then removes them (as
  // DeleteDataFiles does, each logged at Info with `why`). A kind the package
  // keeps (KeepsDataFile) stays recorded and on disk. Nothing recorded:
  // nothing happens. Throws what Save throws, before anything is removed.
  void DiscardDataFiles(const std::set<DataFileKind>& kinds, const zor::platform::TString& why);

  // The encryption metadata, loaded on the first call from the recorded
  // "zor-encryption-metadata-file" and kept. Throws as GetDataFilePath when
  // none is recorded, and what loading throws.
  std::shared_ptr<PackageEncryptionMetadata> GetEncryptionMetadata();
  // The upload progress, loaded on the first call from the recorded
  // "parts-uploaded-file" and kept. Throws as GetDataFilePath when none is
  // recorded, and what loading throws.
  std::shared_ptr<PackageUploadProgress> GetUploadProgress();
  // Starts the upload progress of the "encrypted-package-file" (its size, the
  // configured part size, or the smallest that makes at most
  // PackageUploadProgress::kMaxParts parts
  // when that is larger) with `uploadId`, saves it as "<data
  // directory>/<package name>.uploaded.parts", then records that path and
  // saves the package: a recorded progress always holds its upload id.
  // Throws as GetDataFilePath without an encrypted file, and what the facade
  // and saving throw.
  std::shared_ptr<PackageUploadProgress> StartUploadProgress(
      const zor::platform::TString& uploadId);

 protected:
  // Records the path for `kind` without saving (for a package not yet bound).
  void RecordDataFilePath(DataFileKind kind, const zor::platform::TPath& path);
  // For GetFilesToZip: what it found of the crash's files, kept in memory
  // until RecordEncryption records it with the finished pass. Only as many
  // stamps as fit kMaxStampBytes of the status file are kept, dumps, Java
  // files and manifests first; the rest (logged at Warn as a count) are
  // kept on disk after the upload, since only stamped files are deleted.
  // `fullDumpsLeftOut`: the pass left out full dumps its crash allows.
  void SetFilesFoundForZip(FileStamps found, bool fullDumpsLeftOut = false);

  // Removes the file, link or empty directory `path`, which `namedBy` (a
  // manifest or this package's status file; empty for the package's own
  // record in memory) names as the package's own, through the file-system
  // facade, and says what that came to. Only a path really removed
  // (kRemoved) is appended, as its native string and "\n", to
  // `*deletedFiles`; one already gone gives kAbsent and no line. When the
  // trust boundary (packages/trust_boundary.h) forbids the deletion, logs a
  // Warn line naming the path and why, leaves it and returns kRefused: it is
  // not the package's to delete, so nothing of the package is left to retry.
  // On failure logs a Warn line "Failed to delete file '<path>'." (with the
  // error's text when the facade threw) and returns kFailed. With
  // `expected`, only that file, unchanged, is removed (TrustBoundary::Delete).
  // With `refusals`, a refusal is counted there and logged only while the
  // count is at most kRefusalsLogged (the caller says the rest).
  // Never throws.
  // With `failure`, the Warn line of a failure is also kept there unless it
  // already holds one.
  static RemovalResult DeletePackageFile(const zor::platform::TPath& path,
                                         const zor::platform::TPath& namedBy,
                                         const TrustBoundary& boundary,
                                         zor::platform::TString* deletedFiles,
                                         const zor::platform::FileIdentity* expected = nullptr,
                                         uint64_t* refusals = nullptr,
                                         zor::platform::TString* failure = nullptr);
  // How many refused files of one listing the log names; a count says the rest.
  static constexpr uint64_t kRefusalsLogged = 20;
  // DeletePackageFile within the package's boundary: true iff it did not fail.
  bool DeleteOwnFile(const zor::platform::TPath& path, const zor::platform::TPath& namedBy,
                     zor::platform::TString* deletedFiles,
                     const zor::platform::FileIdentity* expected = nullptr,
                     uint64_t* refusals = nullptr) const;
  // The latest birth a file of the crash can have (BoundStampsWithoutBirth),
  // 0 when unknown.
  int64_t GetFilesBornBy() const { return madeBy_; }
  // Why the zip would not read the crash file `path` now (a second name its
  // owner gave it, a link on the way), empty when it would. Nothing here.
  // Never throws.
  virtual zor::platform::TString WhyNotReadNow(const zor::platform::TPath& /*path*/) const {
    return {};
  }
  // FirstSourceGone of a package that stamped nothing (an older version's):
  // here nothing tells, so empty.
  virtual zor::platform::TString FirstUnstampedSourceGone(
      const std::set<zor::platform::TPath>& /*unneeded*/) const {
    return {};
  }
  // What DeletePackage deletes before the data files; true iff none of it
  // failed. Nothing here.
  virtual bool DeleteOwnFiles(zor::platform::TString* /*deletedFiles*/) { return true; }
  // Logs at Info which files were deleted, when `deletedFiles` is not empty.
  void LogDeletedFiles(const zor::platform::TString& deletedFiles) const;
  // Logs an exception that ended a DeletePackage at Warn and keeps it as the
  // deletion's failure unless one is kept already.
  void NoteDeletionFailure(const zor::platform::TString& why);
  // Saves the kept failure as the last error of a package being deleted
  // whose status file is still there; never throws.
  void RecordDeletionFailure();

 private:
  void ReadUploadResults(const rapidjson::Value& results);
  static UploadResult ReadUploadResult(const rapidjson::Value& element, const char* where);
  void ReadRetryMember(const rapidjson::Value& name, const rapidjson::Value& value);
  void AddRetryMembers(rapidjson::Document& document) const;
  void ReadZippedFiles(const rapidjson::Value& files);
  void AddZippedFiles(rapidjson::Document& document) const;

  TrustBoundary boundary_;
  zor::platform::TString packageName_;
  PackageType packageType_ = PackageType::kUnknownPackage;
  zor::platform::TUUID localPackageId_;
  zor::platform::TString remotePackageId_;
  zor::platform::TString registeredAt_;
  zor::platform::TString processKey_;
  zor::platform::DateTime madeAt_;
  std::optional<uid_t> crashOwner_;
  DataFiles dataFiles_;
  std::shared_ptr<PackageEncryptionMetadata> encryptionMetadata_;
  std::shared_ptr<PackageUploadProgress> uploadProgress_;
  UploadStatus uploadStatus_ = UploadStatus::kPending;
  std::vector<UploadResult> uploadResults_;
  std::optional<UploadResult> lastError_;
  // The first failure of the DeletePackage under way (DeleteOwnFile's).
  mutable zor::platform::TString deletionFailure_;
  int transientFailures_ = 0;
  zor::platform::DateTime nextAttempt_;
  // Verdicts that are no attempts: forgiven by a retry, or a give-up record.
  int attemptsForgiven_ = 0;
  FileStamps zippedFiles_;
  std::set<zor::platform::TPath> leftToOthers_;  // see LeftToOthers
  // See BoundStampsWithoutBirth; 0 unknown.
  int64_t madeBy_ = 0;
  bool forgetsFilesOutOfReach_ = false;
  FileStamps foundForZip_;
  bool fullDumpsLeftOut_ = false;
  bool beingDeleted_ = false;
  bool fullDumpsLeftOutForZip_ = false;
  zor::platform::TString unsyncedBoot_;

 protected:
  // True iff another package's zip of this run took `file` as it is now.
  bool IsZippedElsewhere(const ZippedElsewhere& zippedThisRun,
                         const zor::platform::FileIdentity& file) const;
};

// True iff `identity`, found at `path`, is the file `stamps` holds for that
// path (or its cleaned spelling), unchanged (zor::platform::
// IsSameFileUnchanged): the one a package was made of or zipped, whoever
// owns it now.
bool IsStampedAs(const Package::FileStamps& stamps, const zor::platform::TPath& path,
                 const zor::platform::FileIdentity& identity);

}  // namespace ZorErrorReporting
