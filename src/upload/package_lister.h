// PackageLister: what the data directory holds, package by package, for the
// `list` command and for scripts, and the crashes of the dump directories
// that wait to be packaged (status "Waiting").
//
// Listing only reads: it takes no lock, saves no file and deletes nothing,
// so it may run beside an upload (a package that changes status meanwhile
// may be missed or listed twice). A status file that cannot be read is
// listed as unreadable with the reason, not removed.
//
// Thread-safety: the lister holds only its directory; one thread per call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "packages/package.h"
#include "platform/date_time.h"
#include "platform/tpath.h"
#include "platform/tstring.h"
#include "upload/crash_file_grouping.h"

namespace ZorErrorReporting {

class TrustBoundary;

struct PackageListEntry {
  zor::platform::TPath statusFile;
  // Why the status file could not be read; empty when it was. An unreadable
  // entry has only the name, type and status its file name gives, and the
  // status file's time as `created`.
  zor::platform::TString error;
  zor::platform::TString name;
  zor::platform::TString type;    // "crash", "logs", or the type's own name
  zor::platform::TString status;  // UploadStatus name
  size_t attempts = 0;  // the attempts that count towards the limit
  std::optional<UploadResult> lastResult;
  // The newest failure, also one that did not count, and the time before
  // which the package is not tried again (invalid: no wait).
  std::optional<UploadResult> lastError;
  zor::platform::DateTime nextAttempt;
  bool heldBack = false;  // due, but the hour's uploads under the rate limit are spent
  std::optional<uint64_t> zipBytes;        // the zip, when it still exists
  std::optional<uint64_t> encryptedBytes;  // the encrypted file, when it still exists
  zor::platform::DateTime created;         // see PackageFootprint; invalid when unknown
  zor::platform::TString remotePackageId;  // empty until the server assigned one
  // From the upload progress, when a readable one is recorded.
  std::optional<uint64_t> partsUploaded;
  std::optional<uint64_t> partsTotal;
  // What of the dump directories' files it stands for
  // (Package::GetHeldCrashFiles); nothing once its files are all gone (a
  // finished crash's status file, kept a while) or were replaced since it
  // was sent.
  std::optional<Package::HeldCrashFiles> heldCrashFiles = Package::HeldCrashFiles{true, {}, {}};
  // The folder and key of the crash it was made from (CrashGroupOf), when known.
  std::optional<CrashFileGroups::GroupId> crashGroup;
};

class PackageLister {
 public:
  // Lists `dataDirectory`, and the crashes in `dumpDirectories` that no
  // package of it holds, under the upload rate limit `maxUploadsPerHour`
  // when one is set.
  explicit PackageLister(zor::platform::TPath dataDirectory,
                         std::vector<zor::platform::TPath> dumpDirectories = {},
                         std::optional<uint32_t> maxUploadsPerHour = {});

  // One entry per status file of the data directory and one per waiting
  // crash (upload/waiting_crashes.h: type "crash", no status file, the time
  // of its newest file as `created`), newest first (entries of the same time
  // by status file path). A data directory that does not exist holds
  // nothing; something else at its name throws ZorvaneException
  // (RefuseDataDirectoryOfAnotherKind). Throws TPath::Exception when an
  // existing directory cannot be listed; never for one package.
  std::vector<PackageListEntry> List() const;

  // One header line, then one line per entry, columns aligned: name, type,
  // status, attempts, last result code, zip and encrypted sizes in bytes, age
  // at `now`, remote id, parts uploaded/total, next attempt ("now", the wait
  // from `now`, or "rate-limit" for one the upload rate limit holds back);
  // "-" where there is no value. An unreadable entry ends
  // with its reason on one line; a package that is not complete and has a
  // last error has it on an indented line of its own below, with its age.
  // Names, remote ids and reasons are shown escaped (platform/display_text.h),
  // so that no control character reaches the terminal and no line break in
  // them makes a row.
  static std::string FormatText(const std::vector<PackageListEntry>& entries,
                                const zor::platform::DateTime& now);
  // A JSON array of one object per entry, in the same order, with the same
  // facts under lower-case dashed names ("age-seconds", "zip-bytes",
  // "last-error" as "last-result", "next-attempt" as ISO text, ...);
  // absent values are null; "readable" is false and "error" holds the reason
  // for an unreadable file.
  static std::string FormatJson(const std::vector<PackageListEntry>& entries,
                                const zor::platform::DateTime& now);

 private:
  PackageListEntry Describe(const zor::platform::TPath& statusFile,
                            const TrustBoundary& boundary) const;

  // Whether the rate limit's hour has no upload left for a run now.
  bool HourIsSpent() const;

  zor::platform::TPath dataDirectory_;
  std::vector<zor::platform::TPath> dumpDirectories_;
  std::optional<uint32_t> maxUploadsPerHour_;
};

}  // namespace ZorErrorReporting
