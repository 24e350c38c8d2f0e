// Test helper: sets or removes one environment variable for the scope of the
// object and puts the previous state back afterwards.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

namespace ZorErrorReporting::test {

class ScopedEnv {
 public:
  // Sets `name` to `value`, or removes it when `value` is nullopt.
  ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) {
      setenv(name_.c_str(), value->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

}  // namespace ZorErrorReporting::test
