#include "platform/zorvane_exception.h"

#include <atomic>

namespace zor::platform {

TError::ErrorInfo ZorvaneError::MakeError(const TString& code, const TString& message,
                                          int systemError) {
  return TError::ErrorInfo{code, message, systemError};
}

ZorvaneException::ZorvaneException(const TString& message) : messages_{message} { Refresh(); }

ZorvaneException::ZorvaneException(const TString& message, TError::ErrorInfo error)
    : messages_{message}, error_(std::move(error)) {
  Refresh();
}

void ZorvaneException::StackMessageFront(const TString& message) {
  messages_.push_front(message);
  Refresh();
}

TString ZorvaneException::GetMessagesFront() const { return messages_.front(); }

TString ZorvaneException::GetConcatenatedMessages() const {
  TString joined;
  for (const auto& m : messages_) {
    if (!joined.isEmpty()) joined += ": ";
    joined += m;
  }
  return joined;
}

void ZorvaneException::Refresh() { what_ = messages_.front().toStdString(); }

namespace {
std::atomic<LogicFailureHook> g_logicFailureHook{nullptr};
}  // namespace

void SetLogicFailureHook(LogicFailureHook hook) { g_logicFailureHook.store(hook); }

void ThrowLogicException(const TString& message) {
  if (const LogicFailureHook hook = g_logicFailureHook.load()) hook(message);
  throw ZorvaneException(message, ZorvaneError::MakeError("logic-error", message));
}

void ThrowLogicException(const char* file, int line, const char* expression) {
  ThrowLogicException(TFormatString("Logic assertion failed: '%1' at %2:%3")
                          .arg(expression)
                          .arg(file)
                          .arg(line));
}

}  // namespace zor::platform
