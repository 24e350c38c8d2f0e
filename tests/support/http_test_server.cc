#include "support/http_test_server.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

namespace zor::test {

HttpTestServer::HttpTestServer(bool tls) : tls_(tls) {
  int pipeFds[2];
  if (pipe(pipeFds) != 0) throw std::runtime_error("HttpTestServer: pipe failed");
  const std::string script = std::string(ZOR_SOURCE_DIR) + "/tests/support/http_test_server.py";
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("HttpTestServer: fork failed");
  if (pid_ == 0) {
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execlp("python3", "python3", script.c_str(), tls_ ? "--tls" : "--plain",
           static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[1]);
  std::string line;
  char c = 0;
  while (read(pipeFds[0], &c, 1) == 1 && c != '\n') line.push_back(c);
  close(pipeFds[0]);
  if (line.rfind("PORT ", 0) != 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    throw std::runtime_error("HttpTestServer: " + script + " did not start: '" + line + "'");
  }
  port_ = std::stoi(line.substr(5));
}

HttpTestServer::~HttpTestServer() {
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
}

std::string HttpTestServer::Url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

int UnusedLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), size);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  close(fd);
  return ntohs(address.sin_port);
}

}  // namespace zor::test
