// A real HTTP proxy on loopback for network tests: Debian's tinyproxy, run in
// the foreground as a child process with a configuration of the test's own.
// The constructor returns once the proxy accepts connections; the
// destructor stops it.
#pragma once

#include <sys/types.h>

#include <string>

#include "support/temp_dir.h"

namespace zor::test {

class TinyProxy {
 public:
  // With a user, the proxy demands Basic credentials of that user and
  // password. Throws std::runtime_error when the proxy does not start.
  explicit TinyProxy(const std::string& user = "", const std::string& password = "");
  ~TinyProxy();
  TinyProxy(const TinyProxy&) = delete;
  TinyProxy& operator=(const TinyProxy&) = delete;

  int Port() const { return port_; }

 private:
  ScopedTempDir dir_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace zor::test
