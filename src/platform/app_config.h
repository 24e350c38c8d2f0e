// AppConfig: application-wide settings of the platform: build version and
// edition, the default log and crash-dump folders and the application
// options store.
//
// One instance per process (GetInstance), created on first use. Setters are
// called by the driver on the main thread before any worker exists.
#pragma once

#include <map>

#include "platform/tpath.h"
#include "platform/tstring.h"

namespace zor::platform {

namespace AppOptions {
// The application options ("LogDir", "CrashDumpsDir", ...) read from the
// settings store's section "AppOptions".
class Map {
 public:
  Map() = default;
  explicit Map(std::map<TString, TString> values) : values_(std::move(values)) {}
  // The option's value, or `defaultValue` when the option is unset or empty.
  TString GetOptionValue(const TString& name, const TString& defaultValue = {}) const;

 private:
  std::map<TString, TString> values_;
};
}  // namespace AppOptions

class AppConfig {
 public:
  static AppConfig& GetInstance();

  // The product build version (the project version of the build).
  TString GetBuildVersion() const;
  void SetBuildType(int type) { buildType_ = type; }
  int GetBuildType() const { return buildType_; }
  void SetProductEdition(int edition) { productEdition_ = edition; }
  int GetProductEdition() const { return productEdition_; }
  void SetUserRepositoryDir(const TPath& dir) { userRepositoryDir_ = dir; }
  TPath GetUserRepositoryDir() const { return userRepositoryDir_; }
  void SetRepositoryLanguage(const TString& language) { repositoryLanguage_ = language; }
  TString GetRepositoryLanguage() const { return repositoryLanguage_; }

  // $XDG_STATE_HOME/zorvane/logs (default ~/.local/state/zorvane/logs).
  static TPath LogGetDefaultDir();
  // LogGetDefaultDir() / "crashdumps".
  static TPath GetCrashDumpsDefaultDir();
  // True only in a build configured as a beta trial.
  static bool IsBetaTrial();
  // The section "AppOptions" of the user's settings store.
  static AppOptions::Map GetAppOptions();

 private:
  int buildType_ = 0;
  int productEdition_ = 0;
  TPath userRepositoryDir_;
  TString repositoryLanguage_;
};

namespace ZorvaneRepository {
// The folder name of the repository for directory identifier `id` (0: the
// repository itself) in `language`; "Zorvane Repository" for 0.
TString GetDirectoryName(int id, const TString& language);
}  // namespace ZorvaneRepository

}  // namespace zor::platform
