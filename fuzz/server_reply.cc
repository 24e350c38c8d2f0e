// The crash server's replies, received for real: a loopback server in this
// process answers each request with a status line and body made from the
// input, and the reply goes through the protocol's own checks (CheckReply)
// and JSON readers (HttpRequestor::ReadJsonReply, GetJsonEntry).
//
// Input: two bytes of status code (taken modulo 400, plus 200: informational
// statuses are the transport's business), then the reason phrase up to the first '\n' (line ends and NULs dropped), then the
// body.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "config/config.h"
#include "fuzz_support.h"
#include "net/crash_server_protocol.h"
#include "net/http_requestor.h"
#include "platform/tnetwork_access_manager.h"

using ZorErrorReporting::CrashServerProtocol;
using ZorErrorReporting::HttpRequestor;
using zor::platform::TNetworkReply;

namespace {

// Answers every connection with the current response, then closes it.
class LoopbackServer {
 public:
  LoopbackServer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener_ < 0 || bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(listener_, 16) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      zor::fuzz::Fail("loopback server", "cannot listen");
    }
    port_ = ntohs(address.sin_port);
    std::thread([this] { Serve(); }).detach();
  }

  int Port() const { return port_; }
  void SetResponse(std::string response) {
    std::lock_guard<std::mutex> lock(mutex_);
    response_ = std::move(response);
  }

 private:
  void Serve() {
    for (;;) {
      const int connection = accept(listener_, nullptr, nullptr);
      if (connection < 0) continue;
      // The request ends at its blank line; a GET has no body.
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0) break;
        request.append(buffer, static_cast<size_t>(got));
      }
      std::string response;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        response = response_;
      }
      for (size_t sent = 0; sent < response.size();) {
        const ssize_t put = send(connection, response.data() + sent, response.size() - sent,
                                 MSG_NOSIGNAL);
        if (put <= 0) break;
        sent += static_cast<size_t>(put);
      }
      close(connection);
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::mutex mutex_;
  std::string response_;
};

LoopbackServer* server = nullptr;
HttpRequestor* requestor = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zor::fuzz::Init(argc, argv);
  // Whatever proxy the environment names, the loopback server is reached directly.
  unsetenv("http_proxy");
  unsetenv("HTTP_PROXY");
  unsetenv("all_proxy");
  unsetenv("ALL_PROXY");
  static ZorErrorReporting::Config config;
  requestor = new HttpRequestor(config);
  HttpRequestor::SetTestInstance(requestor);
  server = new LoopbackServer;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int status = 200 + (data[0] << 8 | data[1]) % 400;
  const std::string rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t lineEnd = rest.find('\n');
  std::string reason;
  for (char c : rest.substr(0, lineEnd)) {
    if (c != '\r' && c != '\0') reason.push_back(c);
  }
  const std::string body = lineEnd == std::string::npos ? "" : rest.substr(lineEnd + 1);
  server->SetResponse("HTTP/1.1 " + std::to_string(status) + " " + reason +
                      "\r\nContent-Length: " + std::to_string(body.size()) +
                      "\r\nConnection: close\r\n\r\n" + body);

  const std::string url = "http://127.0.0.1:" + std::to_string(server->Port()) + "/crash/x";
  zor::platform::TNetworkAccessManager manager;
  const auto reply = manager.Get(zor::platform::TNetworkRequest(zor::platform::TUrl(url)),
                                 std::make_shared<zor::platform::TNetworkSession>());
  // As the protocol reads a reply that should carry a location.
  zor::platform::TString location;
  reply->SetReplyCallback([&](TNetworkReply& r, uint64_t bytesReady) {
    if (!TNetworkReply::IsSuccessStatus(r.GetStatusCode())) return;
    const auto document = requestor->ReadJsonReply(r, bytesReady);
    location = requestor->GetJsonEntry(document, "location");
  });
  zor::fuzz::ExpectOnlyOurErrors(
      [&] {
        reply->Open(zor::platform::OpenMode::ReadWrite);
        if (!reply->WaitForFinished(10000)) zor::fuzz::Fail("loopback reply timed out", url);
        CrashServerProtocol::CheckReply(*reply);
      },
      {url, "location"}, zor::fuzz::Allow::kRuntimeError);
  return 0;
}
