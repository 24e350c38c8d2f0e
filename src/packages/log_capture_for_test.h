// Test helper: collects the text of everything logged while it lives, whether
// the log functions print to standard output (logging not set up) or hand
// events to the process logger's channels.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>

#include "platform/tlog.h"

namespace ZorErrorReporting::testing {

class LogCapture {
 public:
  LogCapture() : channel_(std::make_shared<Channel>()) {
    zor::platform::TLog::Logger::Get().AddChannel(channel_);
    ::testing::internal::CaptureStdout();
  }
  ~LogCapture() {
    if (!stdoutTaken_) ::testing::internal::GetCapturedStdout();
    zor::platform::TLog::Logger::Get().RemoveChannel(channel_);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything logged so far; ends the capture of standard output.
  std::string Text() {
    if (!stdoutTaken_) {
      stdout_ = ::testing::internal::GetCapturedStdout();
      stdoutTaken_ = true;
    }
    std::lock_guard<std::mutex> lock(channel_->mutex);
    return stdout_ + channel_->text;
  }

 private:
  struct Channel : zor::platform::TLog::Channel {
    void Append(zor::platform::TLog::Severity, const zor::platform::TLog::Event& event) override {
      std::lock_guard<std::mutex> lock(mutex);
      text += event.value.Text().toStdString() + "\n";
    }
    void Flush() override {}
    std::mutex mutex;
    std::string text;
  };

  std::shared_ptr<Channel> channel_;
  bool stdoutTaken_ = false;
  std::string stdout_;
};

}  // namespace ZorErrorReporting::testing
