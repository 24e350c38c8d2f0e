#include "net/tchunk_file.h"

#include <algorithm>
#include <cerrno>
#include <limits>

#include "files/filesystem.h"
#include "platform/path_error.h"
#include "platform/tformat_string.h"

namespace ZorErrorReporting {

using zor::platform::TFile;
using zor::platform::TFormatString;
using zor::platform::ThrowPathError;
using zor::platform::TPath;

TChunkFile::TChunkFile(const TPath& path, int64_t chunkStart, int64_t requestedLength)
    : TFile(Filesystem::GetInstance().OpenFileForReading(path)),
      chunkStart_(chunkStart) {
  const int64_t fileSize = TFile::Size();
  if (chunkStart < 0 || requestedLength < 0 || chunkStart > fileSize) {
    ThrowPathError(TFormatString("TChunkFile: cannot take %1 bytes from offset %2 of '%3' "
                                 "(%4 bytes)")
                       .arg(requestedLength)
                       .arg(chunkStart)
                       .arg(path.ToString())
                       .arg(fileSize),
                   EINVAL);
  }
  // Compared as a remainder, since start plus length may not fit in 64 bits.
  chunkLength_ = std::min(requestedLength, fileSize - chunkStart);
  TFile::Seek(chunkStart);
}

TChunkFile::~TChunkFile() = default;

int64_t TChunkFile::Read(char* data, int64_t maxSize) {
  const int64_t count = Clamp(maxSize);
  return count == 0 ? 0 : TFile::Read(data, count);
}

void TChunkFile::Seek(int64_t pos) {
  if (pos < 0 || pos > std::numeric_limits<int64_t>::max() - chunkStart_) {
    ThrowPathError(TFormatString("TChunkFile: cannot seek to %1 in the chunk of '%2'")
                       .arg(pos)
                       .arg(GetPath().ToString()),
                   EINVAL);
  }
  TFile::Seek(chunkStart_ + pos);
}

int64_t TChunkFile::Pos() const { return TFile::Pos() - chunkStart_; }

int64_t TChunkFile::Size() const { return chunkLength_; }

int64_t TChunkFile::Peek(char* data, int64_t maxSize) {
  const int64_t count = Clamp(maxSize);
  if (count == 0) return 0;
  // TFile::Peek takes its offset from the virtual Pos(), which here is
  // chunk-relative; reading and seeking back keeps to file offsets.
  const int64_t start = TFile::Pos();
  const int64_t got = TFile::Read(data, count);
  TFile::Seek(start);
  return got;
}

int64_t TChunkFile::Clamp(int64_t maxSize) const {
  return std::clamp<int64_t>(chunkLength_ - Pos(), 0, std::max<int64_t>(maxSize, 0));
}

}  // namespace ZorErrorReporting
