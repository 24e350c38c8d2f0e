// Test helpers for Package: a minimal concrete package, a configuration whose
// data directory is a test's own directory, and a file-system facade that
// fails the removal of one chosen path (a failing delete cannot be produced
// for real when the tests run as root).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "config/config.h"
#include "files/filesystem.h"
#include "packages/package.h"
#include "platform/zorvane_exception.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting::testing {

class TestPackage : public Package {
 public:
  using Package::Package;

  static std::shared_ptr<TestPackage> LoadFromFile(const zor::platform::TPath& path) {
    return LoadObjectFromFile<TestPackage>(path);
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

  bool RemovePath(const zor::platform::TPath& path) override {
    if (!(path == failing_)) return Filesystem::RemovePath(path);
    switch (how_) {
      case How::kReturnFalse:
        return false;
      case How::kThrowStd:
        throw std::runtime_error("device on fire");
      case How::kThrowOther:
        throw 42;
    }
    return false;
  }

 private:
  zor::platform::TPath failing_;
  How how_;
};

// The front message of the ZorvaneException that `action` throws, or a
// failure when it throws none.
template <class Action>
std::string ErrorOf(Action action) {
  try {
    action();
  } catch (const zor::platform::ZorvaneException& e) {
    return e.GetMessagesFront().toStdString();
  }
  ADD_FAILURE() << "nothing thrown";
  return {};
}

}  // namespace ZorErrorReporting::testing
