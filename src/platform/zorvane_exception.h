// ZorvaneException: the program's failure type. It carries a stack of
// messages (the newest context first) and an optional error record.
//
// what() returns the front message as UTF-8; GetConcatenatedMessages joins
// the stack for logs. Thread-safety: a value type.
#pragma once

#include <deque>
#include <exception>
#include <optional>
#include <string>

#include "platform/tformat_string.h"
#include "platform/tstring.h"

namespace zor::platform {

namespace TError {
// A structured description of a failure, attached to exceptions and to Fatal
// log lines: a short code, the message and, where known, the OS error number.
struct ErrorInfo {
  TString code;
  TString message;
  int systemError = 0;
};
}  // namespace TError

namespace ZorvaneError {
// Builds an error record; `systemError` is an errno value or 0.
TError::ErrorInfo MakeError(const TString& code, const TString& message, int systemError = 0);
}  // namespace ZorvaneError

class ZorvaneException : public std::exception {
 public:
  explicit ZorvaneException(const TString& message);
  ZorvaneException(const TString& message, TError::ErrorInfo error);

  // Adds a message that gives outer context; it becomes the front message.
  void StackMessageFront(const TString& message);
  // The newest (front) message.
  TString GetMessagesFront() const;
  // Every message from front to back, joined by ": ".
  TString GetConcatenatedMessages() const;
  // The error record, or nullopt when none was attached.
  const std::optional<TError::ErrorInfo>& GetError() const { return error_; }

  const char* what() const noexcept override { return what_.c_str(); }

 private:
  void Refresh();

  std::deque<TString> messages_;
  std::optional<TError::ErrorInfo> error_;
  std::string what_;
};

// Throws ZorvaneException for a broken internal assumption (a programming
// error, not bad input). When a logic failure hook is set, it is called
// first with the message; it may end the process.
[[noreturn]] void ThrowLogicException(const TString& message);
// The same for a failed assertion of `expression` at `file`:`line`; the
// message is "Logic assertion failed: '<expression>' at <file>:<line>".
[[noreturn]] void ThrowLogicException(const char* file, int line, const char* expression);

// What ThrowLogicException calls before it throws; null for none (the
// default). See terminate_handling.h for the hook that writes a dump.
using LogicFailureHook = void (*)(const TString& message);
void SetLogicFailureHook(LogicFailureHook hook);

}  // namespace zor::platform
