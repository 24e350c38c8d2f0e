// PackageLock: the exclusive lock of one package, held by the process that
// works on the package for as long as it does.
//
// `send-crashes` and any number of `send-logs` share the data directory; a
// package is worked on by one of them at a time. Whoever changes a package's
// files (settles, uploads or deletes it) holds its lock meanwhile, and
// leaves alone a package whose lock another process holds. `send-logs` takes
// the lock of its new package before its status file first exists and keeps
// it until it is done, so `send-crashes` never takes over a logs upload that
// is still running.
//
// The lock file is "<package name>.lock" beside the package's status file (a
// name no status-file listing matches). It exists while the lock is held:
// the holder removes it when it lets go, so the data directory does not keep
// a lock file per package. One left by a holder that was killed stays until
// the package's next holder lets go, or, when the package is gone, until
// the data-directory sweep removes it (upload/leftover_files.h). Removing a
// lock file is safe because a lock counts only on the file the path names
// (platform/tlock_file.h).
//
// Ownership: move-only; the lock is released, and its file removed, when the
// object goes. Thread-safety: one thread per object.
#pragma once

#include <optional>

#include "platform/tlock_file.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class Package;

class PackageLock {
 public:
  static constexpr char kExtension[] = "lock";
  // The name whose lock file would be the run's own lock
  // ("zorcrashreporter.lock", in the data directory and the log folder): no
  // package may have it, or the run would find its package held for ever.
  static constexpr char kReservedName[] = "zorcrashreporter";

  // "<dataDirectory>/<packageName>.lock".
  static zor::platform::TPath LockFilePath(const zor::platform::TPath& dataDirectory,
                                           const zor::platform::TString& packageName);
  // "<folder>/zorcrashreporter.lock": the run's own lock, in the data
  // directory and in the log folder.
  static zor::platform::TPath RunLockPath(const zor::platform::TPath& folder);

  // The lock of `package`, whose status file is bound. Returns nullopt, and
  // the package is not this process's to touch now, when:
  // - another process holds the lock (Info "Package '<name>' is being worked
  //   on by another process; skipped");
  // - the lock file cannot be opened or locked (Warn naming the package, the
  //   lock file and the cause);
  // - the status file is gone once the lock is held: the holder before
  //   deleted the package (Debug).
  // Never throws.
  static std::optional<PackageLock> TryLock(const Package& package);

  // False iff another process holds `package`'s lock now: a look that
  // creates nothing, for a package that is only read. Logs as TryLock does
  // when it says false. Never throws.
  static bool IsFree(const Package& package);

  // The lock of a package that is about to be created in `dataDirectory`.
  // Throws ZorvaneException "Cannot lock package '<name>': <cause>" when it
  // cannot be taken (the lock file is then not this process's).
  static PackageLock LockNew(const zor::platform::TPath& dataDirectory,
                             const zor::platform::TString& packageName);

  // Removes the lock file, then releases the lock. Never throws.
  ~PackageLock();
  PackageLock(PackageLock&&) noexcept = default;
  PackageLock& operator=(PackageLock&&) noexcept;
  PackageLock(const PackageLock&) = delete;
  PackageLock& operator=(const PackageLock&) = delete;

  const zor::platform::TPath& GetPath() const { return file_.GetPath(); }

 private:
  explicit PackageLock(zor::platform::TLockFile file) : file_(std::move(file)) {}
  // Removes the lock file while the lock is held. Never throws.
  void RemoveLockFile() noexcept;

  zor::platform::TLockFile file_;
};

}  // namespace ZorErrorReporting
