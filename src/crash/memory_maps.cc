#include "crash/memory_maps.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace zor::platform {
namespace {

// Lower-case hexadecimal digits from `p` on, as the kernel writes them; stops
// at the first other character.
uint64_t ParseHex(const char*& p, const char* end) {
  uint64_t value = 0;
  for (; p < end; ++p) {
    const char c = *p;
    if (c >= '0' && c <= '9') {
      value = value * 16 + static_cast<uint64_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      value = value * 16 + static_cast<uint64_t>(c - 'a' + 10);
    } else {
      break;
    }
  }
  return value;
}

}  // namespace

bool MemoryMaps::Read(const char* path) {
  length_ = 0;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (length_ < capacity_) {
    const ssize_t n = read(fd, buffer_ + length_, capacity_ - length_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    length_ += static_cast<size_t>(n);
  }
  close(fd);
  // The kernel's text may go on past the buffer: the part of a line that fit
  // would read as a mapping with a cut path or a wrong end.
  if (length_ == capacity_) {
    while (length_ > 0 && buffer_[length_ - 1] != '\n') --length_;
  }
  return length_ > 0;
}

bool MemoryMaps::Next(size_t* pos, Mapping* m) const {
  while (*pos < length_) {
    const char* line = buffer_ + *pos;
    const char* end = static_cast<const char*>(memchr(line, '\n', length_ - *pos));
    if (end == nullptr) end = buffer_ + length_;
    *pos = static_cast<size_t>(end - buffer_) + 1;

    const char* p = line;
    *m = Mapping{};
    m->start = ParseHex(p, end);
    if (p >= end || *p != '-') continue;
    m->end = ParseHex(++p, end);
    if (end - p < 6) continue;
    memcpy(m->perms, ++p, 4);
    p += 5;
    m->offset = ParseHex(p, end);
    // Device and inode, then the path after blanks (absent for anonymous memory).
    for (int fields = 0; fields < 2 && p < end; ++fields) {
      while (p < end && *p == ' ') ++p;
      while (p < end && *p != ' ') ++p;
    }
    while (p < end && *p == ' ') ++p;
    m->path = p;
    m->pathLength = static_cast<size_t>(end - p);
    return true;
  }
  return false;
}

}  // namespace zor::platform
