// Folder log/: the logging framework and the program's channels; it uses
// only platform/.
//
// TLog: the logging framework. A process-wide Logger hands each Event (a key
// and a JSON value, optionally with an error record) to a list of Channels;
// each channel decides what to do with it (file channels write one JSON object
// per line, see Formatter::FormatLine).
//
// Ownership: the logger holds its channels by shared pointer; a caller may
// keep its own reference to a channel it added. The process logger lives for
// the whole process (it is never destroyed, so code that logs during static
// destruction stays safe).
//
// Thread-safety: Value, Event and Formatter are plain values / stateless.
// Logger::Log, AddChannel, RemoveChannel and Flush may be called from any
// thread; the logger serialises every call into its channels.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/tstring.h"
#include "platform/zorvane_exception.h"

namespace zor::platform {
namespace TLog {

enum Severity { Debug = 1, Info = 2, Warn = 3, Error = 4, Fatal = 5 };

// "debug", "info", "warn", "error", "fatal"; "unknown" for any other value.
const char* SeverityName(Severity severity);

// A JSON value as the log writes it: either a string literal or an object
// whose members keep their order and may repeat a key. A default-constructed
// Value is the empty string literal. Build values with Literal::String and
// Object::Make.
class Value {
 public:
  using Member = std::pair<TString, Value>;

  Value() = default;

  static Value MakeString(TString text);
  static Value MakeObject(std::vector<Member> members);

  bool IsString() const { return !isObject_; }
  bool IsObject() const { return isObject_; }
  // The literal's text; empty for an object.
  const TString& Text() const { return text_; }
  // The object's members in order; empty for a literal.
  const std::vector<Member>& Members() const { return members_; }

 private:
  bool isObject_ = false;
  TString text_;
  std::vector<Member> members_;
};

namespace Literal {
Value String(const TString& text);
}  // namespace Literal

namespace Object {
// An object whose members are string literals, in the given order.
Value Make(const std::vector<std::pair<TString, TString>>& fields);
// An object of arbitrary member values, in the given order.
Value Make(std::vector<std::pair<TString, Value>> fields);
}  // namespace Object

// One log event: `key` names the category or record, `value` is the payload.
struct Event {
  TString key;
  Value value;
  std::optional<TError::ErrorInfo> error = std::nullopt;
};

// Turns values and events into the text the file channels write.
//
// A line is one compact JSON object:
//   {"ts":"2024-05-01T12:34:56.789+02:00","pid":N,"tid":N,"sev":"info","k":"<key>","v":<value>}
// followed, when the event carries an error record, by
//   ,"err":{"code":"..","message":"..","errno":N}
// before the closing brace. "ts" is the local time with milliseconds and the
// UTC offset. Strings escape only '"', '\' and control characters (below
// U+0020, as \n, \t, ... or \u00XX); any other text, non-ASCII included, is
// written as raw UTF-8, so that a path in a line is byte for byte the file's
// real name.
class Formatter {
 public:
  // Compact JSON text of `value`: "\"text\"" for a literal, {"k":"v",...}
  // for an object.
  static std::string Format(const Value& value);
  // One whole line for `event` at `severity`, stamped with the current time,
  // process and thread; without the trailing '\n'.
  static std::string FormatLine(Severity severity, const Event& event);
};

// A destination of events. The logger serialises calls into a channel that
// it holds; a channel that is also used directly (outside the logger) states
// its own thread-safety.
class Channel {
 public:
  virtual ~Channel();
  // Takes one event. Must not throw for ordinary I/O failures.
  virtual void Append(Severity severity, const Event& event) = 0;
  // Hands everything appended so far on (to the kernel, for files).
  virtual void Flush() = 0;
};

// Dispatches events to its channels, in the order they were added.
class Logger {
 public:
  // The process logger: a plain Logger until a derived logger is installed
  // (LogImpl::Open does so). The reference stays valid for the life of the
  // process, also after another logger is installed.
  static Logger& Get();

  Logger() = default;
  virtual ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Hands the event to every channel under the logger's lock. A channel that
  // throws loses that one event; the other channels still get it.
  virtual void Log(Severity severity, const Event& event);
  // Adds `channel` at the end of the list; a null channel is ignored.
  void AddChannel(std::shared_ptr<Channel> channel);
  // Removes every occurrence of `channel`; no-op when it is not held.
  void RemoveChannel(const std::shared_ptr<Channel>& channel);
  // Flushes every channel (under the logger's lock).
  void Flush();

 protected:
  // Makes `logger` the process logger. The channels of the logger it
  // replaces move over to it, so nothing added earlier is lost. The replaced
  // logger stays alive (without channels) for callers that still hold it.
  // REQUIRES: `logger` is not null.
  static void Install(std::unique_ptr<Logger> logger);

 private:
  std::recursive_mutex mutex_;
  std::vector<std::shared_ptr<Channel>> channels_;
};

}  // namespace TLog
}  // namespace zor::platform
