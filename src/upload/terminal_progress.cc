#include "upload/terminal_progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "log/log_channels.h"
#include "platform/descriptor_io.h"

namespace ZorErrorReporting {

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr double kMiB = 1024.0 * 1024.0;
constexpr int kMinWidth = 20;

// "1:05" or "2:03:07"; "--:--" before anything is known.
std::string Duration(double seconds) {
  if (!(seconds >= 0) || seconds > 99 * 3600) return "--:--";
  const long total = static_cast<long>(seconds + 0.5);
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%ld:%02ld", total / 60, total % 60);
  }
  return text;
}

// Cut to `width` - 1 columns: the last column of some terminals wraps at once.
std::string Fit(std::string line, int width) {
  const size_t columns = static_cast<size_t>(std::max(width, kMinWidth) - 1);
  if (line.size() > columns) line.resize(columns);
  return line;
}

}  // namespace

TerminalProgress::TerminalProgress(int fd) : fd_(fd), active_(isatty(fd) == 1) {}

std::string TerminalProgress::Line(const std::string& what, int64_t done, int64_t total,
                                   double seconds, int width) {
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  const int percent = total > 0 ? static_cast<int>(100 * done / total) : 100;
  const double left = rate > 0 ? static_cast<double>(total - done) / rate : -1;
  char line[256];
  std::snprintf(line, sizeof line, "%s: %3d%% of %.1f MiB, %.1f MiB/s, %s left", what.c_str(),
                percent, static_cast<double>(total) / kMiB, rate / kMiB, Duration(left).c_str());
  return Fit(line, width);
}

std::string TerminalProgress::Format(const PartProgress& p, double seconds, int width) {
  char what[64];
  std::snprintf(what, sizeof what, "Uploading part %llu of %d",
                static_cast<unsigned long long>(p.partNumber), p.partCount);
  return Line(what, p.partOffset + p.partSent, p.fileSize, seconds, width);
}

std::string TerminalProgress::Summary(int64_t bytes, int parts, double seconds, int width) {
  char line[256];
  std::snprintf(line, sizeof line, "Uploaded %.1f MiB in %d part(s) in %s (%.1f MiB/s)",
                static_cast<double>(bytes) / kMiB, parts, Duration(seconds).c_str(),
                seconds > 0 ? static_cast<double>(bytes) / kMiB / seconds : 0.0);
  return Fit(line, width);
}

int TerminalProgress::Width() const {
  struct winsize size {};
  if (ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  if (const char* columns = std::getenv("COLUMNS")) {
    const int value = std::atoi(columns);
    if (value > 0) return value;
  }
  return 80;
}

void TerminalProgress::Update(const PartProgress& progress) {
  if (!active_) return;
  const Clock::time_point now = Clock::now();
  const int64_t sent = progress.partOffset + progress.partSent;
  // A new file, or the same one begun again after a failure.
  if (progress.fileSize != fileSize_ || sent < lastSent_) {
    fileSize_ = progress.fileSize;
    fileStart_ = now;
    lastDraw_ = {};
    finished_ = false;
  }
  lastSent_ = sent;
  // The transport goes on reporting the last part while it waits for the
  // answer; the file's summary is already written.
  if (finished_) return;
  const bool done = sent >= progress.fileSize;
  if (!done && now - lastDraw_ < kRedrawInterval) return;
  const double seconds = std::chrono::duration<double>(now - fileStart_).count();
  finished_ = done;
  Draw(done ? Summary(progress.fileSize, progress.partCount, seconds, Width())
            : Format(progress, seconds, Width()),
       done);
}

void TerminalProgress::UpdatePass(const std::string& phase, uint64_t done, uint64_t total) {
  if (!active_) return;
  const Clock::time_point now = Clock::now();
  if (phase != passPhase_ || done < passDone_) {
    passPhase_ = phase;
    passStart_ = now;
    lastDraw_ = {};
  }
  passDone_ = done;
  const bool end = done >= total;
  if (!end && now - lastDraw_ < kRedrawInterval) return;
  const double seconds = std::chrono::duration<double>(now - passStart_).count();
  // The line stays open: the upload that follows draws over it.
  Draw(Line(phase, static_cast<int64_t>(done), static_cast<int64_t>(total), seconds, Width()),
       false);
}

void TerminalProgress::Draw(const std::string& line, bool endsLine) {
  lastDraw_ = Clock::now();
  // "\033[K" clears what a longer earlier line left on the right.
  std::string text = "\r" + line + "\033[K";
  if (endsLine) text += "\n";
  if (zor::platform::WriteAll(fd_, text.data(), text.size()) != 0) active_ = false;
  SetConsoleLineOpen(active_ && !endsLine);
}

}  // namespace ZorErrorReporting
