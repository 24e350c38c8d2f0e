#include "platform/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>

#include "platform/descriptor_io.h"
#include "platform/file_functions.h"
#include "platform/file_identity.h"
#include "platform/path_error.h"

namespace zor::platform {

namespace {

constexpr char kTemporarySuffix[] = ".tmp";
// A clash needs the same pid and the same 32 random bits: one retry is
// already improbable, a few cover a planted name.
constexpr int kCreateAttempts = 8;

int CloseDescriptor(int fd) {
  // Linux releases the descriptor even when close reports EINTR; retrying could
  // close a descriptor that another thread has just been given.
  return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

TPath TemporaryPathFor(const TPath& target) {
  static thread_local std::mt19937 random{std::random_device{}()};
  char tail[40];
  std::snprintf(tail, sizeof tail, ".%ld.%08x%s", static_cast<long>(::getpid()),
                static_cast<unsigned>(random()), kTemporarySuffix);
  const TString name = "." + target.Filename() + tail;
  const TPath parent = target.Parent();
  return parent.IsEmpty() ? TPath(name) : parent / TPath(name);
}

bool AllHex(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

}  // namespace

AtomicFile::AtomicFile(const TPath& target, FileReaders readers)
    : target_(target), readers_(readers) {}

AtomicFile::~AtomicFile() {
  if (!committed_) Discard();
}

std::optional<pid_t> AtomicFile::WriterOf(const TString& fileName) {
  const std::string name = fileName.toStdString();
  const std::string suffix = kTemporarySuffix;
  if (name.size() < 2 + suffix.size() || name[0] != '.' || !name.ends_with(suffix)) {
    return std::nullopt;
  }
  const std::string stem = name.substr(0, name.size() - suffix.size());
  const size_t randomDot = stem.rfind('.');
  if (randomDot == std::string::npos || randomDot == 0) return std::nullopt;
  const size_t pidDot = stem.rfind('.', randomDot - 1);
  // The target's name must keep at least one character after the leading dot.
  if (pidDot == std::string::npos || pidDot < 2) return std::nullopt;
  const std::string pid = stem.substr(pidDot + 1, randomDot - pidDot - 1);
  if (stem.size() - randomDot - 1 != 8 || !AllHex(stem.substr(randomDot + 1)) || pid.empty() ||
      pid.size() > 9 || pid.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<pid_t>(std::stol(pid));
}

void AtomicFile::Open() {
  // The temporary name is unpredictable and made O_EXCL | O_NOFOLLOW, yet a
  // folder that another user may write still lets that user rename or swap
  // the file between its sync and its rename: refused outright.
  // A missing folder fails the create below, with its own cause.
  const TPath parent = target_.Parent().IsEmpty() ? TPath(".") : target_.Parent();
  if (const TString why = DirectoryExists(parent) ? WhyFolderNotPrivate(parent) : TString();
      !why.isEmpty()) {
    ThrowPathRefusal(
        "AtomicFile: cannot create a temporary file for '" + target_.ToString() + "': " + why,
        EACCES);
  }
  int fd = -1;
  int error = 0;
  for (int attempt = 0; attempt < kCreateAttempts && fd < 0; ++attempt) {
    temporary_ = TemporaryPathFor(target_);
    const std::string native = temporary_.NativeString();
    do {
      fd = ::open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    } while (fd < 0 && errno == EINTR);
    error = fd < 0 ? errno : 0;
    if (error != EEXIST) break;
  }
  if (fd < 0) {
    const TPath failed = temporary_;
    // Not ours: a name that already existed must not be removed by Discard.
    temporary_ = TPath();
    Fail("create", failed, error);
  }
  fd_ = fd;
  // Set after the create: the umask would take the others' read bit away.
  if (readers_ == FileReaders::kEveryone && ::fchmod(fd_, 0644) != 0) {
    Fail("set the mode of", temporary_, errno);
  }
}

void AtomicFile::Write(std::string_view bytes) {
  if (const int error = WriteAll(fd_, bytes.data(), bytes.size()); error != 0) {
    Fail("write", temporary_, error);
  }
}

void AtomicFile::Sync() {
  // Without the sync the rename could reach the disk before the data, and a
  // power loss would leave an empty file under the target's name.
  if (const int error = SyncDescriptor(fd_); error != 0) Fail("sync", temporary_, error);
  const int fd = fd_;
  fd_ = -1;
  if (const int error = CloseDescriptor(fd); error != 0) Fail("close", temporary_, error);
  synced_ = true;
}

void AtomicFile::Commit() {
  if (!synced_) Sync();
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
  if (!committed_ && !temporary_.IsEmpty()) ::unlink(temporary_.NativeString().c_str());
}

void WriteFileAtomically(const TPath& path, std::string_view bytes, FileReaders readers) {
  AtomicFile file(path, readers);
  file.Open();
  file.Write(bytes);
  file.Commit();
}

}  // namespace zor::platform
