// CrashPackage: the package of one crash, the crash files in one directory
// that share one grouping key (the package name).
//
// The crash manifest is the package's record of which files belong to the
// crash and which of them may be uploaded: the package keeps no file list of
// its own, it asks the manifest's crash artifact files map. The manifest's
// path is recorded as the "manifest-file" data file. The program writes
// nothing into a dump folder: the application's manifest there is read and
// becomes one of the crash's files, and the completed manifest is the
// program's own record "<package name>.crash-manifest" in the data directory
// (a status file of an earlier version may still name a manifest completed in
// the dump folder; it is read as it is).
//
// Lifecycle:
//   1. made from the crash's files by the crash discovery (first run): the
//      manifest is found among the files or created beside them, and
//      completed exactly once; the caller binds and saves the status file;
//   2. read back from its status file in every later run (LoadFromFile): the
//      manifest is only loaded;
//   3. after "Complete" or "Failed" its upload files go with CleanUpFiles and
//      its crash files stay; a later run removes them with DeletePackage (see
//      Package's lifecycle for when).
//
// A manifest that cannot be loaded leaves the package without one: it is
// logged at Warn (but for a package with no files left, which records none),
// GetFilesToZip and GetManifest throw, the registration values read
// "Unspecified", GetUploadFullDumps is true and DeletePackage removes only the
// data files and the status file.
//
// Ownership: held by std::shared_ptr; the manifest is shared with callers of
// GetManifest. Thread-safety: none; one thread at a time.
#pragma once

#include <rapidjson/fwd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "packages/crash_manifest.h"
#include "packages/package.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

// Thrown by CrashPackage::GetFilesToZip for a crash that is whole but not to
// be sent by this run (its only dumps are full dumps the run leaves out, or
// they went in another crash's zip of the run): no verdict on the package;
// its error record carries EAGAIN, which makes the failure a transient one.
class CrashWaits : public zor::platform::ZorvaneException {
 public:
  using ZorvaneException::ZorvaneException;
};

class CrashPackage : public Package {
 public:
  // Builds the package of one crash from its files. `name` is the grouping
  // key; `artifactPaths` are the crash's files, all in one directory;
  // `uploadFullDumps` says whether full dumps may be uploaded; `additionalPaths`
  // are files that belong to the crash wherever they are (a GDB stack file).
  //   - a file of another user than the crash's (OwnerOf; the program's
  //     own user too) is left out unopened, with a Warn line;
  //   - every artifact gets a record; a full dump is not allowed when
  //     `uploadFullDumps` is false; an error log brings the older files of
  //     its rotated chain, the middle ones of a long chain not allowed; a
  //     record later in this order replaces an earlier one of the same path;
  //   - the application's manifest is the ".manifest" artifact, loaded and
  //     never written; one already completed is the package's manifest as it
  //     is; else the record "<recordDirectory>/<name>.crash-manifest" is
  //     created from its members (or from an empty object without one, or
  //     when with them it would be too large to be read back, with a Warn
  //     line) and completed (and saved) with the records, the application's
  //     manifest among them (but one over kMaxApplicationManifestSize, which
  //     is not the crash's: neither zipped nor deleted); the manifest's path
  //     is recorded as "manifest-file" (the package itself is not saved: it
  //     is unbound).
  // Past kMaxOtherFiles, the crash's other files (in path order, the chains
  // counted) are left out with one Warn line and a count.
  // An unreadable rotated chain and an unloadable manifest are logged at Warn
  // and the construction goes on. The chain ends before the first older file
  // that the newer one names but may not make the program read (see
  // packages/trust_boundary.h), with a Warn line.
  // REQUIRES: `artifactPaths` is not empty (ZorvaneException otherwise).
  // Throws ZorvaneException "All files in crash package must reside in the
  // same directory! Mistmached files: ('<first>', '<other>')" before any file
  // is written; TPath::Exception when a file cannot be examined, and when
  // none of its dumps is there to tell the crash's owner (nothing written);
  // ShortOfResources when a file cannot be opened for want of descriptors or
  // memory; what creating the manifest file and completing the manifest throw.
  // `boundary` decides which files the package may read and delete, the
  // older files of a rotated chain among them.
  CrashPackage(const zor::platform::TString& name,
               const std::set<zor::platform::TPath>& artifactPaths, bool uploadFullDumps,
               const std::set<zor::platform::TPath>& additionalPaths,
               const zor::platform::TPath& recordDirectory, TrustBoundary boundary);

  // Whose crash `files` are: the owner of the one that makes a crash (a dump,
  // a Java file) whose entry changed longest ago (its ctime, which no one can
  // set back; of equal times, a minidump's), so that a file another user adds
  // later is not the crash's; none when no such file can be examined.
  static std::optional<uid_t> OwnerOf(const std::set<zor::platform::TPath>& files);

  // The extension of the program's completed manifest in the data directory.
  static constexpr char kManifestRecordSuffix[] = "crash-manifest";
  // How many files a crash takes besides its dumps and manifests (minidumps,
  // full dumps, Java fatal-error logs and heap dumps): its record names no
  // more, nor does its zip hold more of what a manifest lists. Well below
  // the descriptor limits of any usual system, since the files stay open
  // from their check to their zipping.
  static constexpr size_t kMaxOtherFiles = 500;
  // Descriptors GetFilesToZip leaves for the rest of the pass (the manifest,
  // the encrypted file, a kept zip, saves and locks).
  static constexpr uint64_t kDescriptorsKept = 32;
  // The largest application's manifest that the crash's record copies (an
  // application writes a few kilobytes): every package's record is held in
  // memory for the whole run, and a user's manifest must not weigh on it,
  // nor on the data directory, by megabytes.
  static constexpr uint64_t kMaxApplicationManifestSize = 256 * 1024;

  // Reads a status file's root object as Package does, then loads the manifest
  // recorded as "manifest-file"; without such a record it keeps no manifest,
  // and so too (with a Warn line) when the recorded path lies outside the
  // trust boundary. Without a recorded crash owner (an older version's), the
  // owner of a file it stamped that is still there unchanged (a dump first)
  // becomes it.
  // Throws what Package's JSON constructor throws; never for the manifest.
  CrashPackage(const rapidjson::Value& json, TrustBoundary boundary);

  ~CrashPackage() override;

  // Loads the status file at `path` and binds the package to it; one that
  // records no manifest but still has files is logged at Warn "Package file
  // does not contain path to package manifest! ('<path>')", and its upload
  // files are held to its folder (LeaveOutDataFilesElsewhere). Throws what
  // JsonFileSerializedObject::ReadJsonFile and the JSON constructor throw.
  static std::shared_ptr<CrashPackage> LoadFromFile(const zor::platform::TPath& path,
                                                    const TrustBoundary& boundary);

  // Package:
  // The local package id as 32 lower-case hexadecimal digits.
  zor::platform::TString GetUploadFileName() const override;
  // {"crash-correlation-id":"<name>"} and, when there is a remote id,
  // ,"issue-id":"<remote id>" (compact JSON).
  zor::platform::TString GetIdentityJson() const override;
  // The manifest's files whose permission is "Allowed", other than the
  // application's manifest, which the trust boundary lets the program read on
  // the manifest's word and which are no larger than
  // servercrashupload.max_artifact_size_mb when opened, in map order, then
  // the manifest file itself, each opened by the boundary; a file reached
  // under several names (device and inode) once, by its first. Each file
  // left out is logged at Warn, but of the refused ones only the first 20,
  // then one line with the count, and the repeated names as one count.
  // Dumps (by name; minidumps, then full dumps) come first and are all
  // taken; of the other files at most kMaxOtherFiles, and no more than the
  // process may still open less kDescriptorsKept (at least one), the rest
  // left out (not read, nor deleted with the crash) with a Warn line and a
  // count. A file of another user than the crash's (OwnerOf; the program's
  // own user too) is refused, busy or not: neither read nor deleted with
  // the crash. So are the dumps and
  // manifests that an application's manifest lists of another crash (another
  // grouping key or folder): that crash goes in a package of its own.
  // Finds the identity of each of the manifest's files but the refused ones,
  // for RecordEncryption (Package::GetZippedFiles): those opened as opened,
  // while their name still means them.
  // Throws as GetManifest; ShortOfResources as TrustBoundary::OpenForReading
  // (the crash then waits whole), and naming the limit of open files when
  // the dumps alone would leave fewer than kDescriptorsKept / 2 of them;
  // ZorvaneException naming the manifest when it
  // cannot be opened so, and when every crash file it allows was refused and
  // at least one was (nothing but the manifest would travel).
  std::vector<FileToZip> GetFilesToZip(const ZippedElsewhere& zippedThisRun) override;
  // The program's record travels under the name of the application's
  // manifest (or "<file-name key of the first file>.manifest" without one).
  zor::platform::TString GetZipEntryName(const zor::platform::TPath& path) const override;
  // The manifest's values; "Unspecified" without a manifest. The system's
  // (os, version, architecture) a manifest leaves unspecified are this host's.
  zor::platform::TString GetProductBuild() const override;
  zor::platform::TString GetEdition() const override;
  zor::platform::TString GetOs() const override;
  zor::platform::TString GetOsVersion() const override;
  zor::platform::TString GetProcessorArchitecture() const override;

  // RecordFilesAsFound of the manifest's crash files that are regular files
  // now; nothing without a manifest. Throws ZorvaneException when no dump or
  // Java file is among them (they vanished since they were listed): a
  // package that stands for nothing would hide whatever comes under its name.
  void StampFilesAsFound();

  // The manifest. Throws ZorvaneException "Manifest failed to load on package
  // construction. See warnings in log file for details." when there is none.
  std::shared_ptr<CrashManifest> GetManifest() const;
  bool HasManifest() const { return manifest_ != nullptr; }
  // Whether the manifest allowed full dumps when the crash was packaged; true
  // without a manifest.
  bool GetUploadFullDumps() const;
  // True iff the manifest lists a full dump (by type or name) it allows to
  // be sent, or there is no manifest to say otherwise: what an upload file
  // made earlier may hold.
  bool MayHoldFullDumps() const;
  // The full dumps (by type or name) the manifest lists and allows to be
  // sent; none without a manifest.
  std::set<zor::platform::TPath> AllowedFullDumps() const;
  // From now on GetFilesToZip reads no full dump (by its record's type or by
  // its name), whatever the manifest allows (an application's manifest says
  // what it likes): each is left out and goes with the crash unsent, as one
  // the manifest does not allow.
  void RefuseFullDumps() { fullDumpsRefused_ = true; }
  // The parent directory of the first file of the manifest's crash artifact
  // files; the empty path without a manifest or without files.
  zor::platform::TPath GetPackageDirectory() const;
  // True iff the package directory is the crash's own, to be removed with the
  // package: it is not empty, its name ends in ".crash" and contains the
  // package name (case-sensitively), and the manifest version is newer than
  // 1.0 or not a number that fits an int. False without a manifest. Never
  // throws.
  bool IsInOwnDirectory() const;

 protected:
  // DeletePackage's part for the crash: the crash's files and then the
  // manifest, each only as far as the trust boundary allows (a refused one is
  // left with a Warn line and counts as gone) and, for a package that
  // recorded what its zip found (GetZippedFiles), only a file found then and
  // unchanged since: another (a new crash under the name, a file refused
  // then) is kept (logged at Info, 20 lines at most, then a count) and
  // counts as gone; of the refusals too 20 are logged, then a count; when IsInOwnDirectory and the
  // trust boundary lets the manifest name the directory (its owner rule), the
  // crash's directory too, but only once it is empty: one that still holds
  // anything is kept with a Warn line naming what is left, and counts as
  // gone. A zipped file out of this run's reach is neither deleted nor gone
  // (see DeleteCrashFile): the manifest and the package's record stay, and
  // false. Without a manifest nothing (logged at Warn). Throws std::out_of_range
  // as IsInOwnDirectory does (DeletePackage logs it).
  bool DeleteOwnFiles(zor::platform::TString* deleted) override;
  // The first dump or Java file the manifest lists (but those of `unneeded`)
  // that is not there, not the crash's (IsCrashsOwn) or written after the
  // package's files were made (GetFilesBornBy); the manifest when it did
  // not load.
  zor::platform::TString FirstUnstampedSourceGone(
      const std::set<zor::platform::TPath>& unneeded) const override;
  // The trust boundary's refusal to open `path` for the zip, as GetFilesToZip
  // opens it (one short of descriptors says so too); empty for the
  // program's own record and for a file it opens.
  zor::platform::TString WhyNotReadNow(const zor::platform::TPath& path) const override;
  // Read as the zip would open it, on the word of the crash's manifest.
  std::optional<uint32_t> TailCrcNow(const zor::platform::TPath& path,
                                     const zor::platform::FileIdentity& now,
                                     uint64_t size) const override;

 private:
  // The manifest at `path` opened for the zip, its identity into *found;
  // throws ZorvaneException naming it when the boundary refuses it.
  FileToZip OpenManifestToZip(const zor::platform::TPath& path, FileStamps* found) const;
  // What DeleteOwnFiles left and why, for its log lines.
  struct Leftovers {
    uint64_t kept = 0;       // never zipped: not the package's
    uint64_t refused = 0;    // by the trust boundary
    uint64_t unreached = 0;  // zipped, but out of this run's reach
  };
  // DeleteOwnFile of one of the crash's files as DeleteOwnFiles says, and
  // counted in *left. A file the zip held that the trust boundary cannot
  // reach this run (WhyOutOfReach) is not deleted and is not gone: false, so
  // that the package's record stays for a later run (logged at Info for the
  // first 20), unless the package ForgetsFilesOutOfReach: then it counts as
  // gone (logged alike). `countRefusals`: refusals go into left->refused.
  bool DeleteCrashFile(const zor::platform::TPath& path, const zor::platform::TPath& namedBy,
                       zor::platform::TString* deleted, Leftovers* left,
                       bool countRefusals = true) const;
  // Removes the package directory once it is empty; see DeleteOwnFiles. In
  // the program's own crash directory ("zorcrashreporter_<id>.crash", its
  // user's), the full dump its crash handler left unfinished when killed
  // ("zorcrashreporter.<pid>-full.dmp.temp", its user's) goes first: never
  // listed, it is the crash's all the same.
  bool RemoveOwnDirectory(zor::platform::TString* deleted) const;
  // The constructor's part for the manifest: the application's one at
  // `manifestPath` (empty: none) when it already lists `files`' dumps as
  // ones it may name, else the program's own record in `recordDirectory`,
  // completed with `files`. Throws what saving the record throws.
  void UseManifest(const zor::platform::TString& name, const zor::platform::TPath& manifestPath,
                   const CrashManifest::ArtifactFiles& files, bool uploadFullDumps,
                   const zor::platform::TPath& recordDirectory);
  // Loads the manifest at `path`, read only through the descriptor the trust
  // boundary opens for it (as a record of the program's own names it); a
  // refusal or a ZorvaneException is logged at Warn and leaves no manifest.
  // `namedBy` says in that Warn line what named the path. One of more than
  // `maxSize` bytes is not read (Warn), and sets `*tooLarge` when given.
  void LoadManifest(const zor::platform::TPath& path, const zor::platform::TString& namedBy,
                    uint64_t maxSize = JsonFileSerializedObject::kMaxFileSize,
                    bool* tooLarge = nullptr);
  // Why `identity`, at one of the crash's names, is not the crash's own
  // (IsCrashsOwn), for a Warn line.
  zor::platform::TString WhyNotCrashsOwn(const zor::platform::FileIdentity& identity) const;
  // The crash file `path` (named by `namedBy`) opened through the trust
  // boundary; nullopt with *refusal set when it refuses it, or when the file
  // is busy (ShortOfResources) and not the crash's own. Busy and the
  // crash's own, or out of descriptors: throws ShortOfResources, the crash waits.
  std::optional<zor::platform::TFile> OpenCrashFile(const zor::platform::TPath& path,
                                                    const zor::platform::TPath& namedBy,
                                                    zor::platform::TString* refusal) const;
  // For a package an older version made, which recorded no owner: the
  // owner of a crash file it stamped (a dump first) that is still there
  // unchanged, so that the package stands for that user's files of its
  // name only; none when no such file is left.
  void TellOwnerFromStamps();
  // How many of `order`'s files GetFilesToZip may hold open at once (at
  // least one). Throws ShortOfResources (EMFILE, so the crash waits
  // uncounted) when its dumps (there, allowed and sent this run, taken past that
  // room) would leave fewer than kDescriptorsKept / 2 descriptors.
  size_t RoomToOpen(
      const std::vector<std::pair<zor::platform::TPath, const CrashArtifactFile*>>& order) const;
  // The record of each file of `logPath`'s rotated chain after the first,
  // with the permission of its position, into `*files`, but those that
  // `takes` refuses (the cap on other files counts them) and dumps by name
  // (each makes a crash of its own; one not already in `*files` is logged at
  // Warn). An unreadable chain is logged at Warn and adds nothing;
  // ShortOfResources passes through.
  void AddRotatedLogs(const zor::platform::TPath& logPath,
                      const std::function<bool(const zor::platform::TPath&)>& takes,
                      CrashManifest::ArtifactFiles* files) const;

  std::shared_ptr<CrashManifest> manifest_;
  bool fullDumpsRefused_ = false;
};

}  // namespace ZorErrorReporting
