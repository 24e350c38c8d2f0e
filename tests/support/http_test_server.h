// A real HTTP server on loopback for network tests: tests/support's
// http_test_server.py run as a child process (see the script for its routes).
// The constructor returns once the server listens; the destructor kills it.
// A second constructor finds a port on which nobody listens.
#pragma once

#include <sys/types.h>

#include <QJsonArray>
#include <QJsonObject>
#include <optional>
#include <string>

namespace zor::test {

class HttpTestServer {
 public:
  // Throws std::runtime_error when the server does not start. With `tls`
  // the server speaks HTTPS with a self-signed certificate.
  explicit HttpTestServer(bool tls = false);
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  int Port() const { return port_; }
  // "http(s)://127.0.0.1:<port>" followed by `path`.
  std::string Url(const std::string& path) const;

 private:
  bool tls_;
  pid_t pid_ = -1;
  int port_ = 0;
};

// A loopback port that was free a moment ago (bound, then closed), for a
// connection that must be refused.
int UnusedLoopbackPort();

// The value of the first request header `name` (lower case) that the /echo
// route's answer `echo` lists, if any.
inline std::optional<QString> EchoedHeader(const QJsonObject& echo, const QString& name) {
  for (const auto& pair : echo["headers"].toArray()) {
    if (pair.toArray()[0].toString() == name) return pair.toArray()[1].toString();
  }
  return std::nullopt;
}

}  // namespace zor::test
