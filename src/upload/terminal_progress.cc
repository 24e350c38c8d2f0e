#include "upload/terminal_progress.h"

#include <unistd.h>

#include <cstdio>

#include "platform/descriptor_io.h"

namespace ZorErrorReporting {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr double kMiB = 1024.0 * 1024.0;

}  // namespace

TerminalProgress::TerminalProgress(int fd) : fd_(fd), active_(isatty(fd) == 1) {}

std::string TerminalProgress::Format(const PartProgress& p, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(p.partSent) / kMiB / seconds : 0;
  const int percent = p.partSize > 0 ? static_cast<int>(100 * p.partSent / p.partSize) : 100;
  char line[200];
  std::snprintf(line, sizeof line,
                "Uploading part %llu of %d: %.1f of %.1f MiB (%d%%), %.1f MiB/s; %.1f of %.1f MiB "
                "of the file",
                static_cast<unsigned long long>(p.partNumber), p.partCount,
                static_cast<double>(p.partSent) / kMiB, static_cast<double>(p.partSize) / kMiB,
                percent, rate, static_cast<double>(p.partOffset + p.partSent) / kMiB,
                static_cast<double>(p.fileSize) / kMiB);
  return line;
}

void TerminalProgress::Update(const PartProgress& progress) {
  if (!active_) return;
  const Clock::time_point now = Clock::now();
  const bool done = progress.partSent >= progress.partSize;
  // The transport goes on reporting a sent part while it waits for the
  // answer; its line is already finished.
  if (done && progress.partNumber == finishedPart_) return;
  if (progress.partNumber != part_) {
    part_ = progress.partNumber;
    finishedPart_ = 0;
    partStart_ = now;
    lastDraw_ = {};
  }
  if (!done && now - lastDraw_ < kRedrawInterval) return;
  lastDraw_ = now;
  const double seconds = std::chrono::duration<double>(now - partStart_).count();
  // "\033[K" clears what a longer earlier line left on the right.
  // Appended, not "\r" + Format(...): GCC 12 at -O2 warns falsely (-Wrestrict) on that.
  std::string text = "\r";
  text += Format(progress, seconds);
  text += "\033[K";
  if (done) {
    text += "\n";
    finishedPart_ = part_;
    part_ = 0;  // the same part number again (the next package) starts anew
  }
  if (zor::platform::WriteAll(fd_, text.data(), text.size()) != 0) active_ = false;
}

}  // namespace ZorErrorReporting
