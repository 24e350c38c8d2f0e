#include "log/log_functions.h"

#include <iostream>
#include <memory>
#include <mutex>
#include <typeinfo>
#include <utility>

#include "log/log_channels.h"
#include "platform/display_text.h"
#include "log/log_impl.h"
#include "platform/tsystem.h"

namespace ZorErrorReporting {

namespace TLog = zor::platform::TLog;
using zor::platform::LogImpl;
using zor::platform::TString;

namespace {

struct LogState {
  std::mutex mutex;
  TString category;
  std::shared_ptr<RotateImmediateLogFlushChannel> rotatingChannel;
  uint64_t rotateInterval = 0;
  bool plainOnStandardError = false;
};

LogState& State() {
  static LogState state;
  return state;
}

bool IsPlainLogger() {
  const TLog::Logger& logger = TLog::Logger::Get();
  return typeid(logger) == typeid(TLog::Logger);
}

// Where a plain line of `severity` goes; null when it is dropped.
std::ostream* PlainStream(TLog::Severity severity) {
  if (!State().plainOnStandardError) return &std::cout;
  return severity >= TLog::Warn ? &std::cerr : nullptr;
}

// A plain line goes to a terminal: what it quotes is escaped, but for the
// line breaks of the program's own messages (the help text of an error).
std::string Displayed(const TString& text) {
  return zor::platform::EscapeForDisplay(text.toStdString(), zor::platform::DisplayForm::kLines);
}

}  // namespace

void SetupLogging(const zor::platform::TPath& logFile, uint64_t rotateInterval,
                  std::function<void(const zor::platform::TPath&)> onFileBegun) {
  LogState& state = State();
  if (rotateInterval != 0) {
    auto channel = std::make_shared<RotateImmediateLogFlushChannel>(logFile, rotateInterval,
                                                                    std::move(onFileBegun));
    {
      std::lock_guard<std::mutex> lock(state.mutex);
      state.rotateInterval = rotateInterval;
      state.rotatingChannel = channel;
    }
    LogImpl::Get().Open(channel);
  } else {
    LogImpl::Get().Open(std::make_shared<ImmediateLogFlushChannel>(logFile));
  }
  LogImpl::Get().SetMinimalAcceptedSeverity(TLog::Debug);
  TLog::Logger::Get().AddChannel(std::make_shared<ReadableConsoleChannel>());
}

void UsePlainLogOnStandardError() { State().plainOnStandardError = true; }

void CloseLogging() {
  LogImpl::Get().Close();
  std::lock_guard<std::mutex> lock(State().mutex);
  State().rotatingChannel.reset();
}

void SetLogCategory(const TString& name) {
  std::lock_guard<std::mutex> lock(State().mutex);
  State().category = name;
}

TString GetLogCategory() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().category;
}

void LogText(TLog::Severity severity, const TString& text) {
  if (IsPlainLogger()) {
    if (std::ostream* out = PlainStream(severity)) *out << Displayed(text) << std::endl;
    return;
  }
  TLog::Logger::Get().Log(severity, TLog::Event{GetLogCategory(), TLog::Literal::String(text), {}});
}

void LogTextWithError(TLog::Severity severity, const TString& text,
                      const zor::platform::TError::ErrorInfo& errorInfo) {
  if (IsPlainLogger()) {
    if (std::ostream* out = PlainStream(severity)) *out << Displayed(text) << std::endl;
    return;
  }
  TLog::Logger::Get().Log(severity,
                          TLog::Event{GetLogCategory(), TLog::Literal::String(text), errorInfo});
}

void LogFields(TLog::Severity severity, const TString& name,
               const std::map<TString, TString>& fields) {
  if (IsPlainLogger()) {
    std::string line = name.toStdString() + ": {";
    for (const auto& [key, value] : fields) {
      line += Displayed(key) + ": " + Displayed(value) + ";";
    }
    if (std::ostream* out = PlainStream(severity)) *out << line << "}" << std::endl;
    return;
  }
  std::vector<std::pair<TString, TString>> ordered(fields.begin(), fields.end());
  TLog::Logger::Get().Log(severity, TLog::Event{name, TLog::Object::Make(ordered), {}});
}

void FlushLog() {
  TLog::Logger::Get().Flush();
  zor::platform::TSystem::Sleep(50);
}

void RotateLog() {
  std::shared_ptr<RotateImmediateLogFlushChannel> channel;
  {
    std::lock_guard<std::mutex> lock(State().mutex);
    channel = State().rotatingChannel;
  }
  if (!channel) {
    throw zor::platform::ZorvaneException(
        "Cannot rotate log, because a rotating log channel was not initialized.");
  }
  channel->DoRotate();
}

uint64_t GetRotateInterval() {
  std::lock_guard<std::mutex> lock(State().mutex);
  return State().rotateInterval;
}

}  // namespace ZorErrorReporting
