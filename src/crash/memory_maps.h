// MemoryMaps: the text of a process's memory map (/proc/self/maps) read into
// a buffer its caller owns, and walked one mapping at a time.
//
// Async-signal-safe: it allocates nothing, takes no lock and uses only open,
// read and close, so the crash-time writer can read the maps of a process
// whose heap is gone. A mapping's path points into the buffer and is not
// terminated; it stays valid until the next Read.
//
// Thread-safety: none; one thread at a time (the one writing a dump).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace zor::platform {

// One line of the maps: "start-end perms offset dev inode [path]".
struct Mapping {
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t offset = 0;
  char perms[4] = {};
  const char* path = nullptr;  // into the buffer; not terminated; empty for anonymous memory
  size_t pathLength = 0;

  bool Readable() const { return perms[0] == 'r'; }
  bool Writable() const { return perms[1] == 'w'; }
  bool Private() const { return perms[3] == 'p'; }
  // True iff the path is exactly `text` ("[vdso]", "[stack]", a file's path).
  bool PathIs(const char* text) const {
    return pathLength == strlen(text) && memcmp(path, text, pathLength) == 0;
  }
  // True iff the mapping is backed by a file (its path is absolute).
  bool IsFile() const { return pathLength > 0 && path[0] == '/'; }
};

class MemoryMaps {
 public:
  // Over `buffer` of `capacity` bytes, which the caller owns and keeps for the
  // object's life; empty until Read.
  constexpr MemoryMaps(char* buffer, size_t capacity) : buffer_(buffer), capacity_(capacity) {}

  // Reads the file at `path` into the buffer, replacing what was there. A
  // text that fills the buffer is cut back to its last whole line, so no
  // mapping is ever read from a part of a line. True iff some text is held.
  bool Read(const char* path = "/proc/self/maps");

  // The text held (whole lines only), for a dump's copy of the maps.
  const char* Text() const { return buffer_; }
  size_t Length() const { return length_; }

  // Parses the line that starts at `*pos` into `*mapping` and moves `*pos` to
  // the next line; a line that is no mapping (no "start-end", no room for the
  // perms) is skipped. False once the text is used up. Start at 0.
  bool Next(size_t* pos, Mapping* mapping) const;

 private:
  char* buffer_;
  size_t capacity_;
  size_t length_ = 0;
};

}  // namespace zor::platform
