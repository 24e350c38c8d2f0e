// TLockFile: an exclusive advisory lock on a file, held while the object
// lives; the single-instance guard of the program.
//
// Construction opens (creating when missing) the lock file and takes
// flock(LOCK_EX | LOCK_NB) on it. The lock belongs to this object's open file
// description: a second TLockFile on the same path fails, in this process as
// in another. A child made by fork() without exec shares the description and
// so the lock; the descriptor is O_CLOEXEC, so exec'd programs do not.
// Destruction releases the lock and leaves the file in place (removing it
// would let two processes lock two different files of one name).
//
// Thread-safety: a value type; the lock is process-wide, not per thread.
#pragma once

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
  void Release();

  TPath path_;
  int fd_ = -1;
};

}  // namespace zor::platform
