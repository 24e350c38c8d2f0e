#include "support/tiny_proxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "support/http_test_server.h"

namespace zor::test {

namespace {

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

}  // namespace

TinyProxy::TinyProxy(const std::string& user, const std::string& password)
    : port_(UnusedLoopbackPort()) {
  std::string config = "Port " + std::to_string(port_) +
                       "\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\nAllow 127.0.0.1\n"
                       "LogLevel Info\n";
  if (!user.empty()) config += "BasicAuth " + user + " " + password + "\n";
  const std::string configPath = dir_.Sub("tinyproxy.conf");
  WriteFile(configPath, config);
  const std::string logPath = dir_.Sub("tinyproxy.log");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("TinyProxy: fork failed");
  if (pid_ == 0) {
    const int log = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(log, STDOUT_FILENO);
    dup2(log, STDERR_FILENO);
    execlp("tinyproxy", "tinyproxy", "-d", "-c", configPath.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Polls for the listening socket: tinyproxy announces readiness only in
  // its log, whose wording is not a contract.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!Accepts(port_)) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_ || std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      throw std::runtime_error("TinyProxy: tinyproxy did not start; see " + logPath + ": " +
                               ReadFile(logPath));
    }
    poll(nullptr, 0, 20);
  }
}

TinyProxy::~TinyProxy() {
  kill(pid_, SIGTERM);
  waitpid(pid_, nullptr, 0);
}

}  // namespace zor::test
