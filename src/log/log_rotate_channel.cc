#include "log/log_rotate_channel.h"

namespace zor::platform {
namespace TLog {

RotateFileChannel::RotateFileChannel(const TPath& basePath)
    : FileChannel(basePath), basePath_(Absolute(basePath)) {}

void RotateFileChannel::Open() {
  std::lock_guard lock(mutex());
  if (IsOpen()) return;
  Attach(OpenDescriptor(basePath_, CreateMode::kAppend), basePath_);
  predecessor_ = TPath();
  WritePathEvent("open-log", basePath_);
  OnFileBegun();
}

void RotateFileChannel::Append(Severity severity, const Event& event) {
  std::lock_guard lock(mutex());
  if (!IsOpen()) return;
  if (ShouldRotate()) {
    try {
      DoRotate();
    } catch (const TPath::Exception&) {
      // Keep logging into the current file; try again after another interval
      // rather than on every line.
      OnFileBegun();
    }
  }
  FileChannel::Append(severity, event);
  if (!predecessor_.IsEmpty() && LogicalSize() - lastRotateEventStart_ > kRotateEventSpacing) {
    WriteRotateEvent();
  }
}

void RotateFileChannel::DoRotate() {
  std::lock_guard lock(mutex());
  if (!IsOpen()) return;

  // Create the next file before leaving the current one, so a failure leaves
  // the channel as it was.
  const TPath parent = basePath_.Parent();
  const TString stem = basePath_.Stem();
  const TString extension = basePath_.Extension();
  TPath nextPath;
  Descriptor next;
  while (!next.valid()) {
    nextPath = parent / TPath(stem + "_" + TString::Number(nextIndex_++) + extension);
    next = OpenDescriptor(nextPath, CreateMode::kCreateNew);
  }

  const TPath current = GetPath();
  if (!predecessor_.IsEmpty() && LogicalSize() != lastRotateEventEnd_) WriteRotateEvent();
  CloseFile();

  Attach(std::move(next), nextPath);
  predecessor_ = current;
  WritePathEvent("open-log", nextPath);
  WriteRotateEvent();
  OnFileBegun();
}

void RotateFileChannel::WriteRotateEvent() {
  lastRotateEventStart_ = LogicalSize();
  // Member order matters: readers match "new-path" before "old-path".
  WriteEvent(Info, Event{"rotate-log",
                         Object::Make({{"new-path", predecessor_.ToString()},
                                       {"old-path", GetPath().ToString()}}),
                         std::nullopt});
  lastRotateEventEnd_ = LogicalSize();
}

TimeBasedRotateFileChannel::TimeBasedRotateFileChannel(const TPath& basePath,
                                                       uint64_t intervalSeconds)
    : RotateFileChannel(basePath), intervalSeconds_(intervalSeconds) {}

bool TimeBasedRotateFileChannel::ShouldRotate() {
  if (intervalSeconds_ == 0) return false;
  // Compared as unsigned seconds: a huge interval must not overflow the
  // clock's signed representation into "already passed".
  const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(Now() - begun_).count();
  return elapsed >= 0 && static_cast<uint64_t>(elapsed) >= intervalSeconds_;
}

void TimeBasedRotateFileChannel::OnFileBegun() { begun_ = Now(); }

}  // namespace TLog
}  // namespace zor::platform
