// The program's own log channels.
//
// ImmediateLogFlushChannel and RotateImmediateLogFlushChannel hand every line
// to the kernel as soon as it is appended, because a simulated crash ends the
// process without unwinding. ReadableConsoleChannel shows a readable digest
// of the two upload commands on the console. Channels are called through the
// platform logger, which serialises the calls.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>

#include "log/log_file_channel.h"
#include "log/log_rotate_channel.h"
#include "log/tlog.h"

namespace ZorErrorReporting {

// A truncating file channel (9 MiB, one older file kept) that flushes each line.
class ImmediateLogFlushChannel : public zor::platform::TLog::TruncateFileChannel {
 public:
  explicit ImmediateLogFlushChannel(const zor::platform::TPath& logFile);
  ~ImmediateLogFlushChannel() override;

  // TLog::Channel:
  void Append(zor::platform::TLog::Severity severity,
              const zor::platform::TLog::Event& event) override;
  void Flush() override;
};

// Told the path of each file a rotating channel begins (the crash handler
// copies the current file into a crash report).
using LogFileListener = std::function<void(const zor::platform::TPath&)>;

// A time-based rotating file channel that flushes each line. It is opened by
// its constructor (throws TPath::Exception when the file cannot be opened).
// `onFileBegun`, when set, is called with each file's path as it begins.
class RotateImmediateLogFlushChannel : public zor::platform::TLog::TimeBasedRotateFileChannel {
 public:
  RotateImmediateLogFlushChannel(const zor::platform::TPath& logFile, uint64_t intervalSeconds,
                                 LogFileListener onFileBegun = {});
  ~RotateImmediateLogFlushChannel() override;

  // TLog::Channel:
  void Append(zor::platform::TLog::Severity severity,
              const zor::platform::TLog::Event& event) override;
  // TLog::RotateFileChannel:
  bool ShouldRotate() override;
  // Starts the next file now.
  void DoRotate() override;

 protected:
  // TLog::TimeBasedRotateFileChannel: also points the crash handler's log
  // copy at the new file, so that a crash copies the file being written.
  void OnFileBegun() override;

 private:
  LogFileListener onFileBegun_;
};

// Whether a progress display keeps a line open on the console's terminal
// (upload/terminal_progress.h). The console channel clears such a line
// before it writes, so that a log line never continues a progress line; the
// display draws it again below. Any thread.
void SetConsoleLineOpen(bool open);

// Writes "[LABEL]: text" and an empty line for Info and above of events
// (a message as its text with control characters and bytes that are not
// UTF-8 escaped, platform/display_text.h; a structured record as compact JSON)
// whose key is "crashes-upload" or "logs-upload" (any case): Error and Fatal
// to `err`, the rest to `out`, after clearing an open progress line on
// `out`. The streams are not owned and must outlive the channel.
class ReadableConsoleChannel : public zor::platform::TLog::Channel {
 public:
  ReadableConsoleChannel();
  ReadableConsoleChannel(std::ostream& out, std::ostream& err);
  ~ReadableConsoleChannel() override;

  // TLog::Channel:
  void Append(zor::platform::TLog::Severity severity,
              const zor::platform::TLog::Event& event) override;
  void Flush() override {}

 private:
  std::ostream& out_;  // weak
  std::ostream& err_;  // weak
};

}  // namespace ZorErrorReporting
