#include "log/tlog.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>

namespace zor::platform {
namespace TLog {

const char* SeverityName(Severity severity) {
  switch (severity) {
    case Debug:
      return "debug";
    case Info:
      return "info";
    case Warn:
      return "warn";
    case Error:
      return "error";
    case Fatal:
      return "fatal";
  }
  return "unknown";
}

Value Value::MakeString(TString text) {
  Value v;
  v.text_ = std::move(text);
  return v;
}

Value Value::MakeObject(std::vector<Member> members) {
  Value v;
  v.isObject_ = true;
  v.members_ = std::move(members);
  return v;
}

Value Literal::String(const TString& text) { return Value::MakeString(text); }

Value Object::Make(const std::vector<std::pair<TString, TString>>& fields) {
  std::vector<Value::Member> members;
  members.reserve(fields.size());
  for (const auto& [key, text] : fields) members.emplace_back(key, Value::MakeString(text));
  return Value::MakeObject(std::move(members));
}

Value Object::Make(std::vector<std::pair<TString, Value>> fields) {
  return Value::MakeObject(std::move(fields));
}

namespace {

void AppendQuoted(std::string& out, const std::string& utf8) {
  static const char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : utf8) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (byte < 0x20) {
          out += "\\u00";
          out += kHex[byte >> 4];
          out += kHex[byte & 0xf];
        } else {
          // UTF-8 lead and continuation bytes are all >= 0x80, so multi-byte
          // characters pass through whole.
          out += c;
        }
    }
  }
  out += '"';
}

void AppendValue(std::string& out, const Value& value) {
  if (value.IsString()) {
    AppendQuoted(out, value.Text().toStdString());
    return;
  }
  out += '{';
  bool first = true;
  for (const auto& [key, member] : value.Members()) {
    if (!first) out += ',';
    first = false;
    AppendQuoted(out, key.toStdString());
    out += ':';
    AppendValue(out, member);
  }
  out += '}';
}

// Local time with milliseconds and UTC offset, e.g. 2024-05-01T12:34:56.789+02:00.
std::string LocalTimestamp() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const long offsetMinutes = local.tm_gmtoff / 60;
  const long absOffset = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
  char buffer[128];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03ld%c%02ld:%02ld",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                local.tm_sec, now.tv_nsec / 1000000, offsetMinutes < 0 ? '-' : '+', absOffset / 60,
                absOffset % 60);
  return buffer;
}

}  // namespace

std::string Formatter::Format(const Value& value) {
  std::string out;
  AppendValue(out, value);
  return out;
}

std::string Formatter::FormatLine(Severity severity, const Event& event) {
  std::string line = "{\"ts\":\"" + LocalTimestamp() + "\"";
  line += ",\"pid\":" + std::to_string(getpid());
  line += ",\"tid\":" + std::to_string(gettid());
  line += ",\"sev\":\"";
  line += SeverityName(severity);
  line += "\",\"k\":";
  AppendQuoted(line, event.key.toStdString());
  line += ",\"v\":";
  AppendValue(line, event.value);
  if (event.error) {
    line += ",\"err\":{\"code\":";
    AppendQuoted(line, event.error->code.toStdString());
    line += ",\"message\":";
    AppendQuoted(line, event.error->message.toStdString());
    line += ",\"errno\":" + std::to_string(event.error->systemError);
    line += '}';
  }
  line += '}';
  return line;
}

Channel::~Channel() = default;

namespace {

// The process logger. Replaced loggers are kept (never deleted) because
// callers may still hold the reference that Get() gave them.
std::atomic<Logger*>& CurrentLogger() {
  static std::atomic<Logger*> current{new Logger};
  return current;
}

std::mutex& InstallMutex() {
  static std::mutex* mutex = new std::mutex;
  return *mutex;
}

std::vector<Logger*>& RetiredLoggers() {
  static auto* retired = new std::vector<Logger*>;
  return *retired;
}

}  // namespace

Logger& Logger::Get() { return *CurrentLogger().load(std::memory_order_acquire); }

Logger::~Logger() = default;

void Logger::Log(Severity severity, const Event& event) {
  std::lock_guard lock(mutex_);
  for (const auto& channel : channels_) {
    try {
      channel->Append(severity, event);
    } catch (const std::exception&) {
      // Logging must never end the caller's work; the event is lost for this
      // channel only.
    }
  }
}

void Logger::AddChannel(std::shared_ptr<Channel> channel) {
  if (!channel) return;
  std::lock_guard lock(mutex_);
  channels_.push_back(std::move(channel));
}

void Logger::RemoveChannel(const std::shared_ptr<Channel>& channel) {
  std::lock_guard lock(mutex_);
  std::erase(channels_, channel);
}

void Logger::Flush() {
  std::lock_guard lock(mutex_);
  for (const auto& channel : channels_) {
    try {
      channel->Flush();
    } catch (const std::exception&) {
    }
  }
}

void Logger::Install(std::unique_ptr<Logger> logger) {
  std::lock_guard installLock(InstallMutex());
  Logger* previous = CurrentLogger().load(std::memory_order_acquire);
  {
    std::scoped_lock locks(previous->mutex_, logger->mutex_);
    for (auto& channel : previous->channels_) logger->channels_.push_back(std::move(channel));
    previous->channels_.clear();
  }
  RetiredLoggers().push_back(previous);
  CurrentLogger().store(logger.release(), std::memory_order_release);
}

}  // namespace TLog
}  // namespace zor::platform
