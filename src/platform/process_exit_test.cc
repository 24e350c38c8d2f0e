#include "platform/process_exit.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace zor::platform {
namespace {

// Runs `child` in a forked process that then exits normally, and returns what
// it wrote to the pipe it was given, up to its exit.
std::string OutputOfExitingChild(void (*child)(int fd)) {
  int fds[2];
  if (pipe(fds) != 0) {
    ADD_FAILURE() << "pipe failed";
    return {};
  }
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    child(fds[1]);
    std::exit(0);
  }
  close(fds[1]);
  std::string out;
  char buffer[64];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  return out;
}

void Put(int fd, const char* text) {
  if (write(fd, text, std::char_traits<char>::length(text)) < 0) std::abort();
}

int g_fd = -1;

struct WritesOnDestruction {
  ~WritesOnDestruction() { Put(g_fd, "S"); }
};

TEST(ProcessExitTest, ActionsRunNewestFirstAndAfterLaterStatics) {
  const std::string out = OutputOfExitingChild([](int fd) {
    g_fd = fd;
    RegisterProcessExitAction([] { Put(g_fd, "1"); });
    // A static made after action 1 is destroyed before action 1 runs, and
    // outlives action 2, which is registered after it.
    static WritesOnDestruction made_between;
    RegisterProcessExitAction([] { Put(g_fd, "2"); });
    RegisterProcessExitAction([] { Put(g_fd, "3"); });
  });
  EXPECT_EQ(out, "32S1");
}

TEST(ProcessExitTest, ThrowingActionLetsOlderOnesRun) {
  const std::string out = OutputOfExitingChild([](int fd) {
    g_fd = fd;
    RegisterProcessExitAction([] { Put(g_fd, "1"); });
    RegisterProcessExitAction([] { throw std::runtime_error("exit action test"); });
    RegisterProcessExitAction([] { Put(g_fd, "3"); });
  });
  EXPECT_EQ(out, "31");
}

}  // namespace
}  // namespace zor::platform
