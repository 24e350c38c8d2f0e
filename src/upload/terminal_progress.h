// TerminalProgress: one line on a terminal that follows a part upload:
// part n of N, bytes sent of the part, rate, and bytes sent of the file. It is
// redrawn in place (carriage return) at most every 200 ms and once when a
// part is fully sent, then left with a line end so that the log line that
// follows starts on its own line. On anything that is not a terminal it
// writes nothing, so piped output and log files keep only the log lines.
//
// Thread-safety: one thread (the transfer's caller).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "net/crash_server_protocol.h"

namespace ZorErrorReporting {

class TerminalProgress {
 public:
  // Writes to the descriptor `fd` (not owned) when it is a terminal.
  explicit TerminalProgress(int fd);

  bool IsActive() const { return active_; }
  // Never throws; a failed write is dropped.
  void Update(const PartProgress& progress);

  // The line for `progress` after `seconds` of the current part.
  static std::string Format(const PartProgress& progress, double seconds);

 private:
  using Clock = std::chrono::steady_clock;

  int fd_;
  bool active_;
  uint64_t part_ = 0;          // the part on the line, 0 for none
  uint64_t finishedPart_ = 0;  // the part whose line was ended
  Clock::time_point partStart_;
  Clock::time_point lastDraw_;
};

}  // namespace ZorErrorReporting
