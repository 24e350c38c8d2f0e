#include "platform/atomic_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/descriptor_io.h"
#include "platform/file_functions.h"
#include "platform/path_error.h"

namespace zor::platform {

namespace {

int CloseDescriptor(int fd) {
  // Linux releases the descriptor even when close reports EINTR; retrying could
  // close a descriptor that another thread has just been given.
  return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

}  // namespace

AtomicFile::AtomicFile(const TPath& target)
    : target_(target), temporary_(TemporaryPathFor(target)) {}

AtomicFile::~AtomicFile() {
  if (!committed_) Discard();
}

TPath AtomicFile::TemporaryPathFor(const TPath& target) {
  const TString name = "." + target.Filename() + ".tmp";
  const TPath parent = target.Parent();
  return parent.IsEmpty() ? TPath(name) : parent / TPath(name);
}

void AtomicFile::Open() {
  const std::string native = temporary_.NativeString();
  int fd;
  do {
    fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) Fail("create", temporary_, errno);
  fd_ = fd;
}

void AtomicFile::Write(std::string_view bytes) {
  if (const int error = WriteAll(fd_, bytes.data(), bytes.size()); error != 0) {
    Fail("write", temporary_, error);
  }
}

void AtomicFile::Commit() {
  // Without the sync the rename could reach the disk before the data, and a
  // power loss would leave an empty file under the target's name.
  if (const int error = SyncDescriptor(fd_); error != 0) Fail("sync", temporary_, error);
  const int fd = fd_;
  fd_ = -1;
  if (const int error = CloseDescriptor(fd); error != 0) Fail("close", temporary_, error);

  if (::rename(temporary_.NativeString().c_str(), target_.NativeString().c_str()) != 0) {
    Fail("rename", temporary_, errno);
  }
  committed_ = true;

  const TPath parent = target_.Parent();
  const int error = SyncDirectory(parent.IsEmpty() ? TPath(".") : parent);
  if (error != 0) Fail("sync directory of", target_, error);
}

void AtomicFile::Fail(const char* operation, const TPath& path, int error) {
  Discard();
  ThrowPathError("AtomicFile: cannot " + TString(operation) + " '" + path.ToString() + "'", error);
}

void AtomicFile::Discard() {
  if (fd_ >= 0) {
    CloseDescriptor(fd_);
    fd_ = -1;
  }
  if (!committed_) ::unlink(temporary_.NativeString().c_str());
}

void WriteFileAtomically(const TPath& path, std::string_view bytes) {
  AtomicFile file(path);
  file.Open();
  file.Write(bytes);
  file.Commit();
}

}  // namespace zor::platform
