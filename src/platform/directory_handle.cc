#include "platform/directory_handle.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

namespace zor::platform {

namespace {

std::atomic<bool> forceWalk{false};

int Openat2(int dirfd, const std::string& path, int flags, mode_t mode) {
  open_how how{};
  how.flags = static_cast<uint64_t>(flags);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  long fd;
  do {
    fd = ::syscall(SYS_openat2, dirfd, path.c_str(), &how, sizeof how);
  } while (fd < 0 && errno == EINTR);
  return static_cast<int>(fd);
}

int OpenatRetried(int dirfd, const char* name, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::openat(dirfd, name, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// The components of a relative path; false for an absolute one or one that
// climbs with "..", which the walk cannot keep beneath the directory.
bool SplitRelative(const std::string& path, std::vector<std::string>* components) {
  if (path.empty() || path.front() == '/') return false;
  size_t start = 0;
  while (start <= path.size()) {
    const size_t slash = path.find('/', start);
    const std::string part =
        path.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") components->push_back(part);
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return true;
}

// The walk openat2 would have made: each directory opened with O_NOFOLLOW
// relative to the one before, the last component with the caller's flags.
int WalkBeneath(int root, const std::string& path, int flags, mode_t mode) {
  std::vector<std::string> components;
  if (!SplitRelative(path, &components)) {
    errno = EXDEV;
    return -1;
  }
  if (components.empty()) return OpenatRetried(root, ".", flags, mode);
  int current = root;
  for (size_t i = 0; i + 1 < components.size(); ++i) {
    const int next = OpenatRetried(current, components[i].c_str(),
                                   O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0);
    const int error = errno;
    if (current != root) ::close(current);
    if (next < 0) {
      errno = error == ENOTDIR ? ELOOP : error;
      return -1;
    }
    current = next;
  }
  const int fd = OpenatRetried(current, components.back().c_str(), flags | O_NOFOLLOW, mode);
  const int error = errno;
  if (current != root) ::close(current);
  errno = error;
  return fd;
}

}  // namespace

DirectoryHandle& DirectoryHandle::operator=(DirectoryHandle&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

DirectoryHandle::~DirectoryHandle() {
  // Not retried on EINTR: on Linux the descriptor is gone either way.
  if (fd_ >= 0) ::close(fd_);
}

void DirectoryHandle::ForceComponentWalkForTest(bool force) { forceWalk = force; }

int DirectoryHandle::Open(const TPath& path) {
  const int fd =
      OpenatRetried(AT_FDCWD, path.NativeString().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return errno;
  *this = DirectoryHandle(fd);
  return 0;
}

int DirectoryHandle::OpenBeneath(const TPath& relative, int flags, mode_t mode, int* fd) const {
  if (fd_ < 0) return EBADF;
  const std::string native = relative.IsEmpty() ? std::string(".") : relative.NativeString();
  flags |= O_CLOEXEC;
  int opened = -1;
  if (!forceWalk) {
    opened = Openat2(fd_, native, flags, mode);
    if (opened >= 0) {
      *fd = opened;
      return 0;
    }
    if (errno != ENOSYS && errno != EPERM) return errno;
  }
  opened = WalkBeneath(fd_, native, flags, mode);
  if (opened < 0) return errno;
  *fd = opened;
  return 0;
}

int DirectoryHandle::OpenDirectoryBeneath(const TPath& relative,
                                          DirectoryHandle* directory) const {
  int fd = -1;
  if (const int error = OpenBeneath(relative, O_RDONLY | O_DIRECTORY, 0, &fd); error != 0) {
    return error;
  }
  *directory = DirectoryHandle(fd);
  return 0;
}

int DirectoryHandle::ListNames(std::vector<std::string>* names) const {
  // The stream takes a descriptor of its own, so that this handle stays open.
  const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return errno;
  DIR* stream = ::fdopendir(fd);
  if (stream == nullptr) {
    const int error = errno;
    ::close(fd);
    return error;
  }
  names->clear();
  errno = 0;
  for (const dirent* entry; (entry = ::readdir(stream)) != nullptr; errno = 0) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names->push_back(name);
  }
  const int error = errno;
  ::closedir(stream);
  return error;
}

}  // namespace zor::platform
