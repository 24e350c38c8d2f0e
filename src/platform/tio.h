// I/O device interfaces: TIO (open, close, errors), TSequentialIO (a byte
// stream: Read, Write, ReadAll) and TRandomIO (a seekable device: Seek, Pos,
// Size, AtEnd, Peek).
//
// Failure policy: Open reports failure by returning false; every other
// operation that meets an OS error throws TPath::Exception whose message names
// the device's class and its path, then the cause. The text of the last
// failure stays readable through ErrorString. Devices retry EINTR and short
// transfers themselves, so callers never loop for those.
//
// Thread-safety: a device is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/tstring.h"

namespace zor::platform {

// How a device is opened. The values are bit-compatible with the numeric
// open-mode flags that callers pass around (1 read, 2 write).
enum class OpenMode : int {
  Read = 1,       // read only; the file must exist.
  Write = 2,      // write only; created when missing, truncated when present.
  ReadWrite = 3,  // read and write; created when missing, never truncated.
  Append = 4,     // write only at the end; created when missing.
};

class TIO {
 public:
  TIO() = default;
  TIO(const TIO&) = delete;
  TIO& operator=(const TIO&) = delete;
  virtual ~TIO() = default;

  // Opens the device. Returns true on success; on failure returns false, the
  // device stays closed and ErrorString says why. An open device is not
  // reopened: the call fails.
  virtual bool Open(OpenMode mode) = 0;
  virtual bool IsOpen() const = 0;
  // Releases the device. Closing a closed device does nothing. Never throws.
  virtual void Close() = 0;
  // Hands buffered output to the OS. Returns false when the device is closed.
  virtual bool Flush() = 0;
  // The message of the last failure, empty when nothing has failed.
  virtual TString ErrorString() const { return errorString_; }

 protected:
  void SetErrorString(const TString& message) const { errorString_ = message; }

 private:
  mutable TString errorString_;
};

class TSequentialIO : public TIO {
 public:
  // Reads up to `maxSize` bytes into `data`. Returns the count read, which is
  // less than `maxSize` only at the end of the data (0 there).
  // REQUIRES: maxSize >= 0. Throws TPath::Exception on an OS error.
  virtual int64_t Read(char* data, int64_t maxSize) = 0;
  // Writes all `size` bytes. Returns `size`. Throws TPath::Exception on an
  // OS error; bytes written before the error stay written.
  virtual int64_t Write(const char* data, int64_t size) = 0;
  int64_t Write(std::string_view bytes) {
    return Write(bytes.data(), static_cast<int64_t>(bytes.size()));
  }
  // Reads until the end of the data and returns the bytes. Throws as Read.
  virtual std::string ReadAll();
};

class TRandomIO : public TSequentialIO {
 public:
  // Moves the read/write position to `pos` bytes from the start; a position
  // past the end is allowed (a later write fills the gap with zeros).
  // Throws TPath::Exception for a negative position or a closed device.
  virtual void Seek(int64_t pos) = 0;
  // The current position in bytes from the start. Throws on a closed device.
  virtual int64_t Pos() const = 0;
  // The size of the data in bytes. Throws on a closed device.
  virtual int64_t Size() const = 0;
  // True iff Pos() >= Size().
  virtual bool AtEnd() const { return Pos() >= Size(); }
  // Reads up to `maxSize` bytes from the current position without moving it.
  // Returns the count read, as Read does.
  virtual int64_t Peek(char* data, int64_t maxSize);
  // Reads from Pos() up to Size() (as both are at the call) and returns the
  // bytes; fewer when the data ends sooner.
  std::string ReadAll() override;
};

}  // namespace zor::platform
