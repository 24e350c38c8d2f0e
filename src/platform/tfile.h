// TFile: a file on disk as a random-access device, over a POSIX descriptor.
//
// The object owns its descriptor (opened O_CLOEXEC) and closes it when it is
// destroyed. Failures carry messages of the form
// "TFile: cannot <operation> '<path>': <OS error text>", thrown as
// TPath::Exception with the errno in the error record. There is no user-space
// buffer: every Write has reached the OS when it returns.
//
// Thread-safety: one thread at a time per object.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "platform/file_identity.h"
#include "platform/tio.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace zor::platform {

class TFile : public TRandomIO {
 public:
  // A closed file for `path`; Open opens it.
  explicit TFile(const TPath& path);
  // Opens `path` in `mode`. Throws TPath::Exception "TFile: cannot open
  // '<path>': <cause>" when it cannot be opened.
  TFile(const TPath& path, OpenMode mode);
  // Takes ownership of `fd`, an open descriptor for `path` (named in
  // messages only), positioned wherever it is.
  TFile(const TPath& path, int fd) : path_(path), fd_(fd) {}
  // Takes over `other`'s descriptor and position; `other` is left closed.
  TFile(TFile&& other) noexcept;
  ~TFile() override;

  const TPath& GetPath() const { return path_; }

  // Reads the whole file as text. A byte-order mark selects UTF-8, UTF-16 LE/BE
  // or UTF-32 LE/BE and is not part of the result; without one the bytes are
  // decoded as UTF-8 (invalid sequences become U+FFFD). A trailing partial code
  // unit of UTF-16/32 is dropped. Reads the file into memory: meant for
  // configuration and state files. Throws TPath::Exception when the file cannot
  // be opened or read.
  static TString LoadTextFile(const TPath& path);
  // As LoadTextFile, from this open file's position to the size fstat gives.
  TString ReadText();

  // TIO:
  bool Open(OpenMode mode) override;
  bool IsOpen() const override { return fd_ >= 0; }
  void Close() override;
  bool Flush() override { return IsOpen(); }

  // TSequentialIO:
  int64_t Read(char* data, int64_t maxSize) override;
  int64_t Write(const char* data, int64_t size) override;
  using TSequentialIO::Write;

  // TRandomIO:
  void Seek(int64_t pos) override;
  int64_t Pos() const override;
  int64_t Size() const override;
  int64_t Peek(char* data, int64_t maxSize) override;

  // Reads up to `maxSize` bytes from `offset` on (fewer only at the end),
  // leaving the file's position alone; threads may read one file at once.
  // Throws as Read.
  int64_t ReadAt(char* data, int64_t maxSize, int64_t offset) {
    return ReadLoop(data, maxSize, offset);
  }

  // The last write time of the open file (fstat). Throws TPath::Exception
  // "TFile: cannot examine '<path>': <cause>".
  std::chrono::system_clock::time_point LastWriteTime() const;

  // What the open file is (fstat); nullopt when it cannot be examined.
  std::optional<FileIdentity> Identify() const { return IdentifyDescriptor(fd_); }

  // Whether some process, this one included, holds the open file open for
  // writing (the kernel then refuses a read lease); nullopt when it cannot be
  // told: a file system without leases, another user's file without the
  // right to lease one. Holds the lease for no longer than the call, so a
  // writer that opens the file meanwhile is not held up.
  std::optional<bool> IsOpenForWriting() const;

  // Makes the written data durable (fsync). Throws TPath::Exception on failure.
  void Sync();
  // Asks the kernel to start writing `length` bytes from `offset` to the disk
  // now, without waiting, so that a later Sync has less left to wait for.
  // Promises nothing about durability and never throws: a failed write-out
  // is reported by Sync.
  void StartWriteBack(int64_t offset, int64_t length) noexcept;

 private:
  // Opens the descriptor; returns 0 or the errno value, with ErrorString set.
  int OpenDescriptor(OpenMode mode);
  [[noreturn]] void Fail(const char* operation, int error) const;
  // Reads until `maxSize` bytes or the end, retrying EINTR and short reads:
  // from the current offset when `at` is negative (moving it), else from `at`
  // (leaving it). Throws as Read.
  int64_t ReadLoop(char* data, int64_t maxSize, int64_t at);

  TPath path_;
  int fd_ = -1;
};

}  // namespace zor::platform
