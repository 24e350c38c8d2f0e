#include "log/log_impl.h"

namespace zor::platform {

namespace {

// The process logger once logging is set up. It adds nothing to the plain
// logger; its type is what tells callers that set-up has happened.
class ProcessLogger : public TLog::Logger {
 public:
  static void InstallOnce() {
    static std::once_flag once;
    std::call_once(once, [] { Install(std::make_unique<ProcessLogger>()); });
  }
};

// Passes events at or above the log file's minimal severity to the file
// channel.
class SeverityFilterChannel : public TLog::Channel {
 public:
  SeverityFilterChannel(std::shared_ptr<TLog::FileChannel> file,
                        const std::atomic<int>* minimalSeverity)
      : file_(std::move(file)), minimalSeverity_(minimalSeverity) {}

  void Append(TLog::Severity severity, const TLog::Event& event) override {
    if (severity < minimalSeverity_->load(std::memory_order_relaxed)) return;
    file_->Append(severity, event);
  }
  void Flush() override { file_->Flush(); }

 private:
  const std::shared_ptr<TLog::FileChannel> file_;
  const std::atomic<int>* const minimalSeverity_;  // weak; LogImpl is never destroyed
};

}  // namespace

LogImpl& LogImpl::Get() {
  // Never destroyed, so logging at static destruction time stays safe.
  static LogImpl* instance = new LogImpl;
  return *instance;
}

void LogImpl::Open(std::shared_ptr<TLog::FileChannel> channel) {
  if (!channel) ThrowLogicException("LogImpl::Open: no log file channel given");
  std::lock_guard lock(mutex_);
  if (!channel->IsOpen()) channel->Open();
  ProcessLogger::InstallOnce();
  if (channel == file_) return;

  if (file_) {
    TLog::Logger::Get().RemoveChannel(filter_);
    file_->Close();
  }
  file_ = std::move(channel);
  filter_ = std::make_shared<SeverityFilterChannel>(file_, &minimalSeverity_);
  TLog::Logger::Get().AddChannel(filter_);
}

void LogImpl::Close() {
  std::lock_guard lock(mutex_);
  if (!file_) return;
  TLog::Logger::Get().RemoveChannel(filter_);
  file_->Close();
  file_.reset();
  filter_.reset();
}

TPath LogImpl::GetPath() const {
  std::lock_guard lock(mutex_);
  return file_ ? file_->GetPath() : TPath();
}

void LogImpl::SetMinimalAcceptedSeverity(TLog::Severity severity) {
  minimalSeverity_.store(severity, std::memory_order_relaxed);
}

}  // namespace zor::platform
