#include "platform/tbuffer.h"

#include <algorithm>
#include <cstring>

#include "platform/tpath.h"

namespace zor::platform {

bool TBuffer::Open(OpenMode mode) {
  if (open_) {
    SetErrorString("TBuffer: already open");
    return false;
  }
  if (mode == OpenMode::Write) data_.clear();
  pos_ = mode == OpenMode::Append ? static_cast<int64_t>(data_.size()) : 0;
  mode_ = mode;
  open_ = true;
  return true;
}

void TBuffer::RequireOpen(const char* operation) const {
  if (!open_) {
    throw TPath::Exception(TString("TBuffer: ") + TString(operation) + " on a closed buffer");
  }
}

int64_t TBuffer::Read(char* data, int64_t maxSize) {
  RequireOpen("Read");
  const int64_t size = static_cast<int64_t>(data_.size());
  const int64_t count = std::clamp<int64_t>(size - pos_, 0, maxSize);
  if (count > 0) std::memcpy(data, data_.data() + pos_, static_cast<size_t>(count));
  pos_ += count;
  return count;
}

int64_t TBuffer::Write(const char* data, int64_t size) {
  RequireOpen("Write");
  if (mode_ == OpenMode::Read)
    throw TPath::Exception("TBuffer: Write on a buffer opened for reading");
  if (mode_ == OpenMode::Append) pos_ = static_cast<int64_t>(data_.size());
  const auto end = static_cast<size_t>(pos_ + size);
  if (end > data_.size()) data_.resize(end, '\0');
  data_.replace(static_cast<size_t>(pos_), static_cast<size_t>(size), data,
                static_cast<size_t>(size));
  pos_ += size;
  return size;
}

void TBuffer::Seek(int64_t pos) {
  RequireOpen("Seek");
  if (pos < 0) throw TPath::Exception("TBuffer: Seek to negative position " + TString::Number(pos));
  pos_ = pos;
}

int64_t TBuffer::Pos() const {
  RequireOpen("Pos");
  return pos_;
}

int64_t TBuffer::Size() const {
  RequireOpen("Size");
  return static_cast<int64_t>(data_.size());
}

}  // namespace zor::platform
