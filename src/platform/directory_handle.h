// DirectoryHandle: an open directory, and the entries beneath it reached
// through its descriptor rather than by name.
//
// A path below the directory is resolved by the kernel in one call
// (openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS):
// no component may be a symbolic link and no ".." may climb above the
// directory, so whatever another user renames or swaps meanwhile, what is
// opened lies beneath it. Where openat2 is refused (ENOSYS on an old kernel,
// EPERM under a seccomp filter) the same rules are kept by a walk of
// openat(O_NOFOLLOW | O_DIRECTORY), one component at a time, with ".." and
// absolute paths refused outright.
//
// Failure policy: the operations return an errno value (0 on success) and
// never throw; the caller words the message, as it knows which file it meant.
// Ownership: the object owns its descriptor (O_CLOEXEC) and closes it.
// Thread-safety: one object per thread; the calls themselves are reentrant.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "platform/tpath.h"

namespace zor::platform {

class DirectoryHandle {
 public:
  // An invalid handle.
  DirectoryHandle() = default;
  DirectoryHandle(DirectoryHandle&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  DirectoryHandle& operator=(DirectoryHandle&& other) noexcept;
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;
  ~DirectoryHandle();

  // Opens `path` as a directory, following links on the way: only for a
  // directory the configuration names. 0 or the errno value.
  int Open(const TPath& path);

  bool IsValid() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }

  // Opens `relative` (relative, no ".." above this directory, no link at any
  // component) beneath this directory with `flags` (O_CLOEXEC is added) and
  // `mode`. On success *fd is the new descriptor, owned by the caller.
  int OpenBeneath(const TPath& relative, int flags, mode_t mode, int* fd) const;
  // The directory `relative` beneath this one, by the same rules; an empty
  // path gives this directory again.
  int OpenDirectoryBeneath(const TPath& relative, DirectoryHandle* directory) const;

  // The names of this directory's entries but "." and "..", in the order the
  // directory gives them. 0 or the errno value.
  int ListNames(std::vector<std::string>* names) const;

  // Tests only: true makes every resolution take the per-component walk, as
  // on a kernel that refuses openat2. Process-wide.
  static void ForceComponentWalkForTest(bool force);

 private:
  explicit DirectoryHandle(int fd) : fd_(fd) {}

  int fd_ = -1;
};

}  // namespace zor::platform
