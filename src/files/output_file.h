// OutputFile: a new file being written from its start (an encrypted package,
// a zip), made by Filesystem::CreateNewFile.
//
// Lifecycle: (1) CreateNewFile creates or truncates the file, (2) Write puts
// the bytes in, front to back, (3) Commit makes them durable (fsync) and
// closes the file. Destroyed without a successful
// Commit, the object removes its file through the facade: a file cut short by
// a full disk or a failed step is never left for a later run to take whole.
//
// Failure policy: Write and Commit throw TPath::Exception
// "TFile: cannot <operation> '<path>': <OS error text>" with the errno in the
// error record.
//
// Ownership: owns its descriptor. Not copyable; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "files/byte_sink.h"
#include "platform/tfile.h"
#include "platform/tpath.h"

namespace ZorErrorReporting {

class OutputFile : public ByteSink {
 public:
  // Takes over `file`, open for writing on `path`. Use CreateNewFile.
  OutputFile(const zor::platform::TPath& path, zor::platform::TFile file);
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const zor::platform::TPath& GetPath() const { return path_; }

  // ByteSink: writes all `size` bytes at the current position. Every
  // kWriteBackBytes written are handed to the disk at once, so that Commit
  // waits for the last stretch only, not for the whole file.
  // REQUIRES: Commit not called.
  void Write(const char* data, size_t size) override;
  // Syncs and closes the file: a durable change of the facade. On failure the
  // file is removed when the object goes, as if Commit had not been called.
  // REQUIRES: Commit not called.
  void Commit();

 private:
  static constexpr int64_t kWriteBackBytes = int64_t{8} << 20;

  zor::platform::TPath path_;
  zor::platform::TFile file_;
  int64_t written_ = 0;
  int64_t writtenBack_ = 0;  // bytes from the start already handed to the disk
  bool committed_ = false;
};

}  // namespace ZorErrorReporting
