// TChunkFile: one part of a file as a readable device, so that a part of a
// package file can be sent straight from disk without copying it into memory.
//
// Positions are relative to the chunk: Pos() is 0 at the chunk's first byte,
// Size() is the chunk's length, Seek takes a chunk position. Read, Peek and
// ReadAll stop at the chunk's end and AtEnd is true there, so a consumer that
// rewinds or reads ahead never gets bytes of the next part. The file is
// opened for reading only, through the file-system facade.
//
// Ownership: owns its descriptor (closed on destruction). Thread-safety: one
// thread at a time.
#pragma once

#include <cstdint>

#include "platform/tfile.h"
#include "platform/tpath.h"

namespace ZorErrorReporting {

class TChunkFile : public zor::platform::TFile {
 public:
  // Opens `path` for reading and positions it at `chunkStart`. The chunk is
  // `requestedLength` bytes long, cut at the end of the file (the last part of
  // a file is usually shorter). Throws TPath::Exception when the file cannot
  // be opened, or when `chunkStart` is negative or beyond the end of the file
  // or `requestedLength` is negative.
  TChunkFile(const zor::platform::TPath& path, int64_t chunkStart, int64_t requestedLength);
  ~TChunkFile() override;


  // TSequentialIO:
  // Reads up to `maxSize` bytes, never past the chunk's end (0 there).
  int64_t Read(char* data, int64_t maxSize) override;

  // TRandomIO:
  // Moves to chunk position `pos`; a position past the chunk's end is allowed
  // (reads there return 0). Throws TPath::Exception for a negative position.
  void Seek(int64_t pos) override;
  // The position relative to the chunk's start.
  int64_t Pos() const override;
  // The chunk's length.
  int64_t Size() const override;
  int64_t Peek(char* data, int64_t maxSize) override;

 private:
  // The bytes between the position and the chunk's end, at most `maxSize`.
  int64_t Clamp(int64_t maxSize) const;

  int64_t chunkStart_;
  int64_t chunkLength_ = 0;
};

}  // namespace ZorErrorReporting
