// The log functions every layer calls, and the set-up that chooses the
// channels behind them.
//
// Before SetupLogging the process logger is the framework's plain default and
// these functions write plain text to standard output (control characters
// but line breaks and tabs escaped), so that early errors (command line,
// configuration) are still seen. After it, events go to the
// log file (every line flushed at once) and, for the two upload categories,
// to the console. SetupLogging, SetLogCategory and CloseLogging belong to the
// main thread; the Log* functions may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>

#include "log/tlog.h"
#include "platform/tpath.h"
#include "platform/tstring.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

// Opens `logFile` as the log file: a rotating channel when `rotateInterval`
// (seconds) is not 0, else a truncating one; accepts Debug and above in the
// file and adds the console channel. A rotating channel tells `onFileBegun`
// (when set) each file it begins. Throws TPath::Exception when the file
// cannot be opened.
void SetupLogging(const zor::platform::TPath& logFile, uint64_t rotateInterval,
                  std::function<void(const zor::platform::TPath&)> onFileBegun = {});

// Until SetupLogging: sends the plain lines to standard error instead, Warn
// and above only, so that a command whose standard output is for scripts
// keeps it to itself. Main thread, before any logging.
void UsePlainLogOnStandardError();

// Closes the log file and forgets the rotating channel (the process-exit
// action). Safe to call when logging was never set up.
void CloseLogging();

// The key attached to every text event; empty at start.
void SetLogCategory(const zor::platform::TString& name);
zor::platform::TString GetLogCategory();

void LogText(zor::platform::TLog::Severity severity, const zor::platform::TString& text);
void LogTextWithError(zor::platform::TLog::Severity severity, const zor::platform::TString& text,
                      const zor::platform::TError::ErrorInfo& errorInfo);
// One structured record named `name` whose fields are written in key order.
void LogFields(zor::platform::TLog::Severity severity, const zor::platform::TString& name,
               const std::map<zor::platform::TString, zor::platform::TString>& fields);

// Flushes every channel, then sleeps 50 ms so that a crash right after it
// leaves the lines behind.
void FlushLog();

// Starts the next log file now. Throws ZorvaneException "Cannot rotate log,
// because a rotating log channel was not initialized." without rotation.
void RotateLog();

// The rotation interval in seconds; 0 when rotation is off.
uint64_t GetRotateInterval();

}  // namespace ZorErrorReporting
