// Test helpers shared by the package tests: a minimal concrete package, a
// configuration whose data directory is a test's own directory, a file-system
// facade that fails the removal of one chosen path (a failing delete cannot be
// produced for real when the tests run as root), and a capture of the log.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "config/config.h"
#include "files/filesystem.h"
#include "log/tlog.h"
#include "packages/json_document.h"
#include "packages/package.h"
#include "packages/trust_boundary.h"
#include "platform/error_of_for_test.h"
#include "platform/zorvane_exception.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting::test_support {

class TestPackage : public Package {
 public:
  using Package::Package;

  static std::shared_ptr<TestPackage> LoadFromFile(const zor::platform::TPath& path,
                                                   const TrustBoundary& boundary) {
    return LoadObjectFromFile<TestPackage>(path, boundary);
  }

  zor::platform::TString GetUploadFileName() const override { return "upload-name"; }
  zor::platform::TString GetIdentityJson() const override {
    return "{\"test-package\":\"" + GetPackageName() + "\"}";
  }
  zor::platform::TString GetProductBuild() const override { return "build"; }
  zor::platform::TString GetEdition() const override { return "edition"; }
  zor::platform::TString GetOs() const override { return "os"; }
  zor::platform::TString GetOsVersion() const override { return "os-version"; }
  zor::platform::TString GetProcessorArchitecture() const override { return "arch"; }
};

// A test with a temporary directory of its own, removed after it, which is
// the one directory of the test's trust boundary.
class TempDirTest : public ::testing::Test {
 protected:
  zor::test::ScopedTempDir dir_;
  TrustBoundary boundary_{{zor::platform::TPath(dir_.path())}};
};

inline bool Exists(const std::string& path) { return std::filesystem::exists(path); }
inline bool Exists(const zor::platform::TPath& path) { return Exists(path.NativeString()); }

// Writes `text` to `path` and loads it as a T (`args` follow the path).
template <class T, class... Args>
std::shared_ptr<T> WriteAndLoad(const std::string& path, const std::string& text,
                                const Args&... args) {
  zor::test::WriteFile(path, text);
  return T::LoadFromFile(zor::platform::TPath(path), args...);
}

// `text` parsed as JSON; a test failure when it does not parse.
inline Json::Document ParseOrFail(const std::string& text) {
  Json::Document document;
  zor::platform::TString error;
  EXPECT_TRUE(Json::Parse(text, &document, &error)) << text << ": " << error;
  return document;
}

// The member names of a JSON object in order, repeated names included.
inline std::vector<std::string> MemberNames(const Json::Value& object) {
  std::vector<std::string> names;
  if (!object.IsObject()) return names;
  for (const auto& member : object.GetObject()) names.emplace_back(member.name.GetString());
  return names;
}

// Installs a Config whose data directory is `dataDirectory` and whose upload
// part size is `partSize`, for the scope of the object.
class ScopedTestConfig {
 public:
  ScopedTestConfig(const zor::test::ScopedTempDir& dir, const std::string& dataDirectory,
                   unsigned partSize) {
    const std::string file = dir.Sub("test-config.yml");
    zor::test::WriteFile(file, "servercrashupload.data.dir: " + dataDirectory +
                                   "\nservercrashupload.upload_part_size_in_bytes: " +
                                   std::to_string(partSize) + "\n");
    config_.Load(zor::platform::TPath(file));
    Config::SetTestInstance(&config_);
  }
  ~ScopedTestConfig() { Config::SetTestInstance(nullptr); }
  ScopedTestConfig(const ScopedTestConfig&) = delete;
  ScopedTestConfig& operator=(const ScopedTestConfig&) = delete;

 private:
  Config config_;
};

// While it lives, RemovePath of `failing` fails as `how` says; every other
// call goes to the real facade.
class FailingRemoveFilesystem : public Filesystem {
 public:
  enum class How { kReturnFalse, kThrowStd, kThrowOther };

  FailingRemoveFilesystem(zor::platform::TPath failing, How how)
      : failing_(std::move(failing)), how_(how) {
    Filesystem::SetTestInstance(this);
  }
  ~FailingRemoveFilesystem() override { Filesystem::SetTestInstance(nullptr); }
  FailingRemoveFilesystem(const FailingRemoveFilesystem&) = delete;
  FailingRemoveFilesystem& operator=(const FailingRemoveFilesystem&) = delete;

  RemovalResult RemovePath(const zor::platform::TPath& path) override {
    if (!(path == failing_)) return Filesystem::RemovePath(path);
    return Fail();
  }
  RemovalResult RemoveEntryAt(const zor::platform::DirectoryHandle& parent,
                              const zor::platform::TString& name,
                              const zor::platform::TPath& path) override {
    if (!(path == failing_)) return Filesystem::RemoveEntryAt(parent, name, path);
    return Fail();
  }

 private:
  RemovalResult Fail() {
    switch (how_) {
      case How::kReturnFalse:
        return RemovalResult::kFailed;
      case How::kThrowStd:
        throw std::runtime_error("device on fire");
      case How::kThrowOther:
        throw 42;
    }
    return RemovalResult::kFailed;
  }

  zor::platform::TPath failing_;
  How how_;
};

using zor::test::ErrorOf;

// Every message of the ZorvaneException that `action` throws, joined.
template <class Action>
std::string AllErrorsOf(Action action) {
  try {
    action();
  } catch (const zor::platform::ZorvaneException& e) {
    return e.GetConcatenatedMessages().toStdString();
  }
  ADD_FAILURE() << "nothing thrown";
  return {};
}

// Collects the text of everything logged while it lives, whether the log
// functions print to standard output (logging not set up) or hand events to
// the process logger's channels.
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

}  // namespace ZorErrorReporting::test_support
