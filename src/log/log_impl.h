// LogImpl: the process's log file. It owns the one file channel that the
// process logs to (the "log file"), filters what reaches it by severity, and
// on first use installs the process logger derived from TLog::Logger, which
// tells the rest of the program that logging has been set up
// (typeid(TLog::Logger::Get()) != typeid(TLog::Logger) from then on).
//
// Lifecycle: Open(channel) makes `channel` the log file (opening it when it
// is not open yet) -> events at or above the minimal severity reach it ->
// Close() writes close-log and lets the channel go. The installed logger
// and every other channel stay.
//
// Thread-safety: all operations may be called from any thread; they are
// serialised by LogImpl's own lock. LogImpl lives for the whole process.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>

#include "log/log_file_channel.h"
#include "log/tlog.h"
#include "platform/tpath.h"

namespace zor::platform {

class LogImpl {
 public:
  static LogImpl& Get();

  LogImpl(const LogImpl&) = delete;
  LogImpl& operator=(const LogImpl&) = delete;

  // Makes `channel` the log file: opens it when it is not open yet (throws
  // TPath::Exception when that fails, and nothing changes then), and adds it
  // to the process logger behind the severity filter. A different channel
  // that was the log file before is closed and removed. Installs the derived
  // process logger the first time. A null channel throws ZorvaneException.
  void Open(std::shared_ptr<TLog::FileChannel> channel);
  // Closes the log file channel (close-log written) and removes it from the
  // logger; the logger stays installed. No-op when there is none.
  void Close();
  // The file the log file channel currently writes in; empty when there is
  // no log file.
  TPath GetPath() const;
  // Events below `severity` are not written to the log file; other channels
  // decide for themselves. Info until changed.
  void SetMinimalAcceptedSeverity(TLog::Severity severity);

 private:
  LogImpl() = default;

  mutable std::mutex mutex_;
  std::shared_ptr<TLog::FileChannel> file_;
  std::shared_ptr<TLog::Channel> filter_;  // what the logger holds for file_
  std::atomic<int> minimalSeverity_{TLog::Info};
};

}  // namespace zor::platform
