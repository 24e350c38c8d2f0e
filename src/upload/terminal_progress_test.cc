#include "upload/terminal_progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <string>

namespace ZorErrorReporting {
namespace {

constexpr int64_t kMiB = 1024 * 1024;

std::string Drain(int fd) {
  std::string text;
  char buffer[4096];
  fcntl(fd, F_SETFL, O_NONBLOCK);
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, n);
  return text;
}

TEST(TerminalProgressTest, DrawsOnATerminalOnlyAndEndsEachPartOnce) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  struct Output {
    int writeFd, readFd;
    bool terminal;
  };
  for (const Output& out : {Output{pipeFds[1], pipeFds[0], false}, Output{slave, master, true}}) {
    TerminalProgress progress(out.writeFd);
    EXPECT_EQ(progress.IsActive(), out.terminal);
    progress.Update({1, 2, 0, 2 * kMiB, 3 * kMiB});
    // The transport reports a sent part until the answer comes.
    progress.Update({1, 2, 2 * kMiB, 2 * kMiB, 3 * kMiB});
    progress.Update({1, 2, 2 * kMiB, 2 * kMiB, 3 * kMiB});
    progress.Update({2, 2, kMiB, kMiB, 3 * kMiB, 2 * kMiB});
    const std::string text = Drain(out.readFd);
    if (!out.terminal) {
      EXPECT_EQ(text, "");
      continue;
    }
    EXPECT_NE(text.find("\rUploading part 1 of 2: 0.0 of 2.0 MiB (0%)"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Uploading part 1 of 2: 2.0 of 2.0 MiB (100%)"), std::string::npos);
    EXPECT_NE(text.find("Uploading part 2 of 2: 1.0 of 1.0 MiB (100%)"), std::string::npos);
    EXPECT_NE(text.find("3.0 of 3.0 MiB of the file"), std::string::npos) << text;
    // A pty turns each line end into "\r\n".
    size_t ends = 0;
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; ++at) ++ends;
    EXPECT_EQ(ends, 2u) << text;
  }
  for (int fd : {pipeFds[0], pipeFds[1], master, slave}) close(fd);
}

}  // namespace
}  // namespace ZorErrorReporting
