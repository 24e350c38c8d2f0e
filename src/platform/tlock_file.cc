#include "platform/tlock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/file_functions.h"
#include "platform/file_identity.h"
#include "platform/path_error.h"

namespace zor::platform {

namespace {

// Each round loses only to a holder that removed the file in between; a
// bound keeps a pathological churn from spinning for ever.
constexpr int kMaxRounds = 64;

TString Quoted(const TPath& path) { return "'" + path.ToString() + "'"; }

int OpenLockFile(const TPath& path) {
  // Another user who may write the folder could put a file of theirs under
  // the lock's name and hold the program off, or swap it between runs.
  const TPath parent = path.Parent().IsEmpty() ? TPath(".") : path.Parent();
  if (const TString why = DirectoryExists(parent) ? WhyFolderNotPrivate(parent) : TString();
      !why.isEmpty()) {
    ThrowPathRefusal("TLockFile: cannot open " + Quoted(path) + ": " + why, EACCES);
  }
  int fd;
  do {
    fd = ::open(path.NativeString().c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    ThrowPathError("TLockFile: cannot open " + Quoted(path), error);
  }
  return fd;
}

// flock(LOCK_EX | LOCK_NB) on `fd`: 0, or the errno it failed with.
int TryExclusive(int fd) {
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : errno;
}

[[noreturn]] void ThrowHeld(const TPath& path) {
  const TString message =
      "TLockFile: cannot lock " + Quoted(path) + ": it is held by another process";
  throw TPath::Exception(message, ZorvaneError::MakeError("file-system", message, EWOULDBLOCK));
}

// True iff `path` still names the file open at `fd`.
bool StillNamed(int fd, const TPath& path) {
  struct stat opened {};
  struct stat named {};
  if (::fstat(fd, &opened) != 0) return false;
  if (::lstat(path.NativeString().c_str(), &named) != 0) return false;
  return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace

int TLockFile::Acquire(const TPath& path) {
  for (int round = 0; round < kMaxRounds; ++round) {
    const int fd = OpenLockFile(path);
    if (const int error = TryExclusive(fd); error != 0) {
      ::close(fd);
      if (error == EWOULDBLOCK) return -1;
      ThrowPathError("TLockFile: cannot lock " + Quoted(path), error);
    }
    if (StillNamed(fd, path)) return fd;
    ::close(fd);
  }
  ThrowPathError("TLockFile: cannot lock " + Quoted(path) + ": it keeps being replaced", EAGAIN);
}

TLockFile::TLockFile(const TPath& path) : path_(path), fd_(Acquire(path)) {
  if (fd_ < 0) ThrowHeld(path);
}

std::optional<TLockFile> TLockFile::TryLock(const TPath& path) {
  TLockFile lock;
  lock.fd_ = Acquire(path);
  if (lock.fd_ < 0) return std::nullopt;
  lock.path_ = path;
  return lock;
}

bool TLockFile::IsHeldElsewhere(const TPath& path) {
  int fd;
  do {
    fd = ::open(path.NativeString().c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    if (error == ENOENT) return false;
    ThrowPathError("TLockFile: cannot open " + Quoted(path), error);
  }
  const int error = TryExclusive(fd);
  ::close(fd);  // drops the lock just taken, if any
  if (error == 0) return false;
  if (error == EWOULDBLOCK) return true;
  ThrowPathError("TLockFile: cannot lock " + Quoted(path), error);
}

TLockFile::~TLockFile() { Release(); }

TLockFile::TLockFile(TLockFile&& other) noexcept
    : path_(std::move(other.path_)), fd_(std::exchange(other.fd_, -1)) {
  other.path_ = TPath();
}

TLockFile& TLockFile::operator=(TLockFile&& other) noexcept {
  if (this != &other) {
    Release();
    path_ = std::move(other.path_);
    other.path_ = TPath();
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

void TLockFile::Release() {
  // Closing the only descriptor of the open file description drops the lock.
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace zor::platform
