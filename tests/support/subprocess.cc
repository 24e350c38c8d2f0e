#include "support/subprocess.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>

namespace zor::test {

namespace {

void Drain(int outFd, int errFd, ProcessResult* result) {
  char buffer[65536];
  while (outFd >= 0 || errFd >= 0) {
    pollfd fds[2];
    int n = 0;
    if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
    if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
    if (poll(fds, n, -1) < 0) continue;
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
      std::string& sink = fds[i].fd == outFd ? result->out : result->err;
      if (r > 0) {
        sink.append(buffer, static_cast<size_t>(r));
      } else {
        close(fds[i].fd);
        (fds[i].fd == outFd ? outFd : errFd) = -1;
      }
    }
  }
}

// Forks a child whose standard input is empty, whose output streams are
// pipes and that runs `child`, which must not return; the parent tells
// `started` the child's id, collects its output and waits for its end.
ProcessResult Forked(const std::function<void()>& child,
                     const std::function<void(int pid)>& started) {
  int out[2], err[2], in[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    child();
    _exit(127);
  }
  close(in[0]);
  close(in[1]);
  close(out[1]);
  close(err[1]);
  if (started) started(pid);
  ProcessResult result;
  Drain(out[0], err[0], &result);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  result.status =
      WIFEXITED(status) ? static_cast<signed char>(WEXITSTATUS(status)) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace

ProcessResult RunProcess(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options) {
  // A child that stops reading must not kill the test with SIGPIPE.
  signal(SIGPIPE, SIG_IGN);
  return Forked(
      [&] {
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0)
          _exit(127);
        if (options.runAsUid >= 0 && getuid() == 0) {
          if (setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(options.runAsUid)) != 0 ||
              setuid(static_cast<uid_t>(options.runAsUid)) != 0) {
            _exit(126);
          }
        }
        if (options.noCoreDump) {
          const rlimit none{0, 0};
          setrlimit(RLIMIT_CORE, &none);
        }
        if (options.addressSpaceLimit != 0) {
          const rlimit limit{options.addressSpaceLimit, options.addressSpaceLimit};
          if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(125);
        }
        for (const auto& name : options.unsetEnvironment) unsetenv(name.c_str());
        for (const auto& [name, value] : options.environment) {
          setenv(name.c_str(), value.c_str(), 1);
        }
        std::vector<char*> argv;
        argv.push_back(const_cast<char*>(program.c_str()));
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
      },
      options.started);
}

ProcessResult RunInChild(const std::function<int()>& body) {
  return Forked(
      [&] {
        int code = 0;
        try {
          code = body();
        } catch (const std::exception& e) {
          fprintf(stderr, "uncaught: %s\n", e.what());
          code = 99;
        }
        fflush(nullptr);
        std::cout.flush();
        std::cerr.flush();
        _exit(code);
      },
      {});
}

std::string ProgramPath() {
  const char* dir = std::getenv("ZOR_BINARY_DIR");
#ifdef ZOR_BINARY_DIR
  if (dir == nullptr) dir = ZOR_BINARY_DIR;
#endif
  return std::string(dir != nullptr ? dir : ".") + "/zorcrashreporter";
}

}  // namespace zor::test
