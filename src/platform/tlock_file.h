// TLockFile: an exclusive advisory lock on a file, held while the object
// lives; the single-instance guard of the program and the per-package locks
// of the data directory.
//
// Taking the lock opens (creating when missing, mode 0600, never through a
// symbolic link) the lock file and takes flock(LOCK_EX | LOCK_NB) on it. The
// lock belongs to this object's open file description: a second TLockFile on
// the same path fails, in this process as in another. A child made by fork()
// without exec shares the description and so the lock; the descriptor is
// O_CLOEXEC, so exec'd programs do not.
//
// A holder may remove the lock file (a package that is gone needs none). A
// process that opened the file before the removal and locks it after the
// release would hold a lock on a name nobody can find, so the lock counts
// only when the path still names the locked file; otherwise it is taken
// again on the file now at the path. Destruction releases the lock and
// leaves the file in place.
//
// Thread-safety: a value type; the lock is process-wide, not per thread.
#pragma once

#include <optional>

#include "platform/tpath.h"

namespace zor::platform {

class TLockFile {
 public:
  // Takes the lock on `path`. Throws TPath::Exception whose message starts
  // with "TLockFile: " and names the path and the cause: another process
  // holds the lock ("...: it is held by another process"), or the file cannot
  // be opened or locked (the OS's error text). On a throw no descriptor stays
  // open; a file created by the attempt stays.
  explicit TLockFile(const TPath& path);
  // As the constructor, but a lock that another holder has gives nullopt
  // instead of a throw. Other failures throw as the constructor does.
  static std::optional<TLockFile> TryLock(const TPath& path);
  // True iff another holder has the lock of `path` now. Creates nothing: no
  // file means no holder. Throws as the constructor does when an existing
  // file cannot be opened or locked.
  static bool IsHeldElsewhere(const TPath& path);
  ~TLockFile();

  TLockFile(TLockFile&& other) noexcept;
  TLockFile& operator=(TLockFile&& other) noexcept;
  TLockFile(const TLockFile&) = delete;
  TLockFile& operator=(const TLockFile&) = delete;

  // The locked file's path (empty after a move from this object).
  const TPath& GetPath() const { return path_; }
  // True iff this object holds the lock (false after a move from it).
  bool IsLocked() const { return fd_ >= 0; }

 private:
  TLockFile() = default;
  // The descriptor of the locked file, or -1 when another holder has it.
  static int Acquire(const TPath& path);
  void Release();

  TPath path_;
  int fd_ = -1;
};

}  // namespace zor::platform
