// Rotating file channels: a log that moves on to a fresh file from time to
// time, leaving a chain of files that a reader can follow backwards from the
// newest one by looking only at each file's first and last 4000 bytes.
//
// Files: the base file (the path given) is opened for appending, like any
// FileChannel. Each rotation starts "<stem>_<n><ext>" beside the base file,
// with the smallest n >= 1 whose file does not exist yet, so files of earlier
// runs are never overwritten.
//
// Events (in addition to open-log / close-log of FileChannel):
//   {"k":"rotate-log","v":{"new-path":"<previous file>","old-path":"<this file>"}}
// written in every file that has a predecessor:
//   - as its second line, right after open-log;
//   - after any appended line that leaves more than kRotateEventSpacing bytes
//     behind the start of the last rotate-log line, so the last rotate-log
//     line and everything after it fit in the reader's 4000-byte tail even
//     when the process dies without closing the file;
//   - as its last line when the channel rotates away from it.
// A file that is rotated away from is closed WITHOUT a close-log event (a
// close-log tells the reader that the chain ends there).
//
// Thread-safety: as FileChannel; Append, DoRotate, Open and Close may be
// called from several threads.
#pragma once

#include <chrono>
#include <cstdint>

#include "log/log_file_channel.h"

namespace zor::platform {
namespace TLog {

class RotateFileChannel : public FileChannel {
 public:
  // Bytes allowed between the start of a rotate-log line and the end of the
  // file before the event is repeated.
  static constexpr uint64_t kRotateEventSpacing = 3000;

  explicit RotateFileChannel(const TPath& basePath);

  // FileChannel: opens the base file for appending (open-log written) and
  // starts the rotation clock. No-op when already open. Throws
  // TPath::Exception.
  void Open() override;
  // Channel: rotates first when ShouldRotate() says so (a failed rotation
  // keeps writing to the current file), then appends, then repeats the
  // rotate-log event when the spacing rule asks for it.
  void Append(Severity severity, const Event& event) override;

  // True when the next Append should start a new file.
  virtual bool ShouldRotate() = 0;
  // Starts the next file now (see the header comment). No-op when closed.
  // Throws TPath::Exception when no new file can be created; the current
  // file stays in use then.
  virtual void DoRotate();


 protected:
  // Called (under the channel's lock) whenever a file is begun: at Open and
  // after each rotation.
  virtual void OnFileBegun() {}

 private:
  void WriteRotateEvent();

  const TPath basePath_;
  TPath predecessor_;  // empty for the base file
  uint64_t lastRotateEventStart_ = 0;
  uint64_t lastRotateEventEnd_ = 0;
  int nextIndex_ = 1;
};

// Rotates once `intervalSeconds` have passed since the current file was
// begun (by a monotonic clock). An interval of 0 never rotates by time
// (DoRotate still works); so does an interval too large to be reached.
class TimeBasedRotateFileChannel : public RotateFileChannel {
 public:
  using Clock = std::chrono::steady_clock;

  TimeBasedRotateFileChannel(const TPath& basePath, uint64_t intervalSeconds);

  // RotateFileChannel:
  bool ShouldRotate() override;

 protected:
  // The clock the interval is measured with; tests override it.
  virtual Clock::time_point Now() const { return Clock::now(); }
  // RotateFileChannel:
  void OnFileBegun() override;

 private:
  const uint64_t intervalSeconds_;
  Clock::time_point begun_{};
};

}  // namespace TLog
}  // namespace zor::platform
