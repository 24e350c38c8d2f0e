// TerminalProgress: one line on a terminal per package, as curl or rsync
// draw it: the phase (zipping and encrypting, encrypting, the part being
// sent), the percentage and bytes of the whole, the rate and the time left,
// cut to the terminal's width (TIOCGWINSZ, else $COLUMNS, else 80) so that a
// redraw never wraps. It is redrawn in place (carriage return) at most every
// 200 ms and ended, once the whole file is sent, by one summary line, so
// that the log line that follows starts on its own line; a console log line
// written meanwhile first clears the open line (log/log_channels.h). On
// anything that is not a terminal it writes nothing, so piped output and log
// files keep only the log lines.
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
  // Draws a local pass before the upload ("Zipping and encrypting",
  // "Encrypting"): `done` of `total` bytes, the rate and the time left. The
  // line stays open for the upload's line, which replaces it. A new phase, or
  // one begun again (`done` fell), restarts the rate. Never throws.
  void UpdatePass(const std::string& phase, uint64_t done, uint64_t total);

  // The line for `progress`, `seconds` after the file's first byte was
  // sent, cut to `width` columns (at least 20).
  static std::string Format(const PartProgress& progress, double seconds, int width);
  // "<what>: <percent>% of <total> MiB, <rate> MiB/s, <time> left" for `done`
  // of `total` bytes done in `seconds`, cut to `width` columns.
  static std::string Line(const std::string& what, int64_t done, int64_t total, double seconds,
                          int width);
  // The summary line of a file of `bytes` in `parts` parts sent in `seconds`.
  static std::string Summary(int64_t bytes, int parts, double seconds, int width);

 private:
  using Clock = std::chrono::steady_clock;

  // The terminal's width now (it may have been resized).
  int Width() const;
  // Writes `line` over the open line, and a line end when `endsLine`.
  void Draw(const std::string& line, bool endsLine);

  int fd_;
  bool active_;
  bool finished_ = false;  // the current file's summary line is written
  int64_t fileSize_ = -1;
  int64_t lastSent_ = 0;  // bytes of the file sent at the last update
  Clock::time_point fileStart_;
  Clock::time_point lastDraw_;
  std::string passPhase_;  // of the last UpdatePass
  uint64_t passDone_ = 0;
  Clock::time_point passStart_;
};

}  // namespace ZorErrorReporting
