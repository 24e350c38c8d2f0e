#include "platform/tlock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "platform/path_error.h"

namespace zor::platform {

TLockFile::TLockFile(const TPath& path) : path_(path) {
  const TString quoted = "'" + path.ToString() + "'";
  int fd;
  do {
    fd = ::open(path.NativeString().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    ThrowPathError("TLockFile: cannot open " + quoted, error);
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) {
      const TString message =
          "TLockFile: cannot lock " + quoted + ": it is held by another process";
      throw TPath::Exception(message, ZorvaneError::MakeError("file-system", message, error));
    }
    ThrowPathError("TLockFile: cannot lock " + quoted, error);
  }
  fd_ = fd;
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
