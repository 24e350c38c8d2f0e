#include "log/log_channels.h"

#include <atomic>
#include <iostream>
#include <utility>

#include "platform/display_text.h"

namespace ZorErrorReporting {

namespace TLog = zor::platform::TLog;
using zor::platform::TString;

ImmediateLogFlushChannel::ImmediateLogFlushChannel(const zor::platform::TPath& logFile)
    : TLog::TruncateFileChannel(logFile, 9, 1) {}

ImmediateLogFlushChannel::~ImmediateLogFlushChannel() = default;

void ImmediateLogFlushChannel::Append(TLog::Severity severity, const TLog::Event& event) {
  TLog::FileChannel::Append(severity, event);
  TLog::FileChannel::Flush();
}

void ImmediateLogFlushChannel::Flush() { TLog::FileChannel::Flush(); }

RotateImmediateLogFlushChannel::RotateImmediateLogFlushChannel(const zor::platform::TPath& logFile,
                                                               uint64_t intervalSeconds,
                                                               LogFileListener onFileBegun)
    : TLog::TimeBasedRotateFileChannel(logFile, intervalSeconds),
      onFileBegun_(std::move(onFileBegun)) {
  TLog::RotateFileChannel::Open();
}

RotateImmediateLogFlushChannel::~RotateImmediateLogFlushChannel() = default;

void RotateImmediateLogFlushChannel::Append(TLog::Severity severity, const TLog::Event& event) {
  TLog::RotateFileChannel::Append(severity, event);
  TLog::FileChannel::Flush();
}

bool RotateImmediateLogFlushChannel::ShouldRotate() {
  return TLog::TimeBasedRotateFileChannel::ShouldRotate();
}

void RotateImmediateLogFlushChannel::DoRotate() {
  TLog::RotateFileChannel::DoRotate();
  TLog::FileChannel::Flush();
}

void RotateImmediateLogFlushChannel::OnFileBegun() {
  TLog::TimeBasedRotateFileChannel::OnFileBegun();
  if (onFileBegun_) onFileBegun_(GetPath());
}

namespace {

std::atomic<bool> consoleLineOpen{false};

}  // namespace

void SetConsoleLineOpen(bool open) { consoleLineOpen = open; }

ReadableConsoleChannel::ReadableConsoleChannel() : ReadableConsoleChannel(std::cout, std::cerr) {}

ReadableConsoleChannel::ReadableConsoleChannel(std::ostream& out, std::ostream& err)
    : out_(out), err_(err) {}

ReadableConsoleChannel::~ReadableConsoleChannel() = default;

void ReadableConsoleChannel::Append(TLog::Severity severity, const TLog::Event& event) {
  if (severity < TLog::Info) return;
  if (!event.key.EqualsNoCase("crashes-upload") && !event.key.EqualsNoCase("logs-upload")) return;

  const char* label = nullptr;
  switch (severity) {
    case TLog::Info:
      label = "INFO";
      break;
    case TLog::Warn:
      label = "WARN";
      break;
    case TLog::Error:
      label = "ERROR";
      break;
    case TLog::Fatal:
      label = "FATAL";
      break;
    default:
      return;
  }
  // A person reads the console: a message as its text, a record as JSON. A
  // message quotes servers and file names, so its control characters are
  // shown escaped, never sent to the terminal (JSON escapes its own).
  const std::string text = event.value.IsString()
                               ? zor::platform::EscapeForDisplay(event.value.Text().toStdString())
                               : TLog::Formatter::Format(event.value);
  // Back to the start of the progress line, which is then cleared.
  if (consoleLineOpen.exchange(false)) out_ << "\r\033[K" << std::flush;
  std::ostream& stream = severity >= TLog::Error ? err_ : out_;
  stream << "[" << label << "]: " << text << "\n" << std::endl;
}

}  // namespace ZorErrorReporting
