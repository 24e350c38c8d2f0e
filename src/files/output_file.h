// OutputFile: a new file being written from its start (an encrypted package,
// a zip), made by Filesystem::CreateNewFile.
//
// Lifecycle: (1) CreateNewFile creates or truncates the file, (2) Write puts
// the bytes in, front to back, (3) Commit closes the file, having made the
// bytes durable (fsync) unless the file was made Sync::kNever: one that its
// owner makes again after a restart, so that a file deleted soon after is
// never written to the disk at all. Destroyed without a successful
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
  // Whether Commit makes the bytes durable.
  enum class Sync { kOnCommit, kNever };

  // Takes over `file`, open for writing on `path`. Use CreateNewFile.
  OutputFile(const zor::platform::TPath& path, zor::platform::TFile file,
             Sync sync = Sync::kOnCommit);
  ~OutputFile() override;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  const zor::platform::TPath& GetPath() const { return path_; }

  // ByteSink: writes all `size` bytes at the current position. Of a file to
  // be synced, every kWriteBackBytes written are handed to the disk at once,
  // so that Commit waits for the last stretch only, not for the whole file.
  // REQUIRES: Commit not called.
  void Write(const char* data, size_t size) override;
  // Syncs (Sync::kOnCommit: a durable change of the facade) and closes the
  // file. On failure the file is removed when the object goes, as if Commit
  // had not been called.
  // REQUIRES: Commit not called.
  void Commit();

 private:
  static constexpr int64_t kWriteBackBytes = int64_t{8} << 20;

  zor::platform::TPath path_;
  zor::platform::TFile file_;
  Sync sync_;
  int64_t written_ = 0;
  int64_t writtenBack_ = 0;  // bytes from the start already handed to the disk
  bool committed_ = false;
};

}  // namespace ZorErrorReporting
