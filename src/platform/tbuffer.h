// TBuffer: an in-memory, readable and writable, seekable device, used as a
// request body built from text.
//
// Open(Write) empties the buffer; ReadWrite and Read keep its bytes; Append
// positions at the end. Operations on a closed buffer throw TPath::Exception
// naming "TBuffer". Thread-safety: one thread at a time.
#pragma once

#include <string>

#include "platform/tio.h"

namespace zor::platform {

class TBuffer : public TRandomIO {
 public:
  TBuffer() = default;
  explicit TBuffer(std::string bytes) : data_(std::move(bytes)) {}

  const std::string& Data() const { return data_; }

  bool Open(OpenMode mode) override;
  bool IsOpen() const override { return open_; }
  void Close() override { open_ = false; }
  bool Flush() override { return open_; }

  int64_t Read(char* data, int64_t maxSize) override;
  int64_t Write(const char* data, int64_t size) override;
  using TSequentialIO::Write;

  void Seek(int64_t pos) override;
  int64_t Pos() const override;
  int64_t Size() const override;

 private:
  void RequireOpen(const char* operation) const;

  std::string data_;
  int64_t pos_ = 0;
  bool open_ = false;
  OpenMode mode_ = OpenMode::Read;
};

}  // namespace zor::platform
