// The raw calls on file descriptors that every writer of the platform layer
// needs, each retried on EINTR in this one place so that callers never loop.
//
// Failure policy: each returns 0 on success, else the errno of the call that
// failed; none throws. Thread-safety: as the underlying calls.
#pragma once

#include <cstddef>

namespace zor::platform {

// Writes all `size` bytes of `data` to `fd`, retrying EINTR and short writes.
// On failure some leading part of the bytes may have been written.
int WriteAll(int fd, const char* data, size_t size);

// fsync(2) of `fd`, retrying EINTR.
int SyncDescriptor(int fd);

}  // namespace zor::platform
