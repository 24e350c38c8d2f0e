#include "upload/terminal_progress.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
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

TEST(TerminalProgressTest, LineShowsTheWholeFileAndFitsTheWidth) {
  // Part 3 of 20 of a 200 MiB file, 50 MiB sent in 10 s: 5 MiB/s, 30 s left.
  const PartProgress p{3, 20, 10 * kMiB, 10 * kMiB, 200 * kMiB, 40 * kMiB};
  EXPECT_EQ(TerminalProgress::Format(p, 10, 160),
            "Uploading part 3 of 20:  25% of 200.0 MiB, 5.0 MiB/s, 0:30 left");
  EXPECT_EQ(TerminalProgress::Format(p, 0, 160),
            "Uploading part 3 of 20:  25% of 200.0 MiB, 0.0 MiB/s, --:-- left");
  EXPECT_EQ(TerminalProgress::Line("Zipping and encrypting", 150 * kMiB, 200 * kMiB, 10, 160),
            "Zipping and encrypting:  75% of 200.0 MiB, 15.0 MiB/s, 0:03 left");
  EXPECT_EQ(TerminalProgress::Format({20, 20, kMiB, kMiB, 200 * kMiB, 199 * kMiB}, 4000, 160),
            "Uploading part 20 of 20: 100% of 200.0 MiB, 0.1 MiB/s, 0:00 left");
  for (const int width : {0, 20, 40, 80}) {
    EXPECT_LE(TerminalProgress::Format(p, 10, width).size(), width < 20 ? 19u : width - 1u);
    EXPECT_LE(TerminalProgress::Summary(200 * kMiB, 20, 7300, width).size(),
              width < 20 ? 19u : width - 1u);
  }
  EXPECT_EQ(TerminalProgress::Summary(200 * kMiB, 20, 7300, 160),
            "Uploaded 200.0 MiB in 20 part(s) in 2:01:40 (0.0 MiB/s)");
}

TEST(TerminalProgressTest, DrawsOnATerminalOnlyAndEndsEachFileOnce) {
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  struct winsize size {};
  size.ws_col = 50;
  ASSERT_EQ(ioctl(slave, TIOCSWINSZ, &size), 0);
  struct Output {
    int writeFd, readFd;
    bool terminal;
  };
  for (const Output& out : {Output{pipeFds[1], pipeFds[0], false}, Output{slave, master, true}}) {
    TerminalProgress progress(out.writeFd);
    EXPECT_EQ(progress.IsActive(), out.terminal);
    for (int file = 0; file < 2; ++file) {
      // The pass before the upload ends no line: the upload draws over it.
      progress.UpdatePass("Zipping and encrypting", 0, 4 * kMiB);
      progress.UpdatePass("Zipping and encrypting", 4 * kMiB, 4 * kMiB);
      progress.Update({1, 2, 0, 2 * kMiB, 3 * kMiB});
      progress.Update({1, 2, 2 * kMiB, 2 * kMiB, 3 * kMiB});
      progress.Update({2, 2, kMiB, kMiB, 3 * kMiB, 2 * kMiB});
      // The transport reports the sent part until the answer comes.
      progress.Update({2, 2, kMiB, kMiB, 3 * kMiB, 2 * kMiB});
    }
    const std::string text = Drain(out.readFd);
    if (!out.terminal) {
      EXPECT_EQ(text, "");
      continue;
    }
    EXPECT_NE(text.find("\rZipping and encrypting:   0% of 4.0 MiB"), std::string::npos) << text;
    EXPECT_NE(text.find("\rZipping and encrypting: 100% of 4.0 MiB"), std::string::npos) << text;
    EXPECT_NE(text.find("\rUploading part 1 of 2:   0% of 3.0 MiB"), std::string::npos) << text;
    EXPECT_NE(text.find("\rUploaded 3.0 MiB in 2 part(s)"), std::string::npos) << text;
    // One summary line per file (a pty turns each line end into "\r\n").
    // That no redraw is wider than the terminal is upload_test.cc's, in tmux.
    size_t ends = 0;
    for (size_t at = 0; (at = text.find('\n', at)) != std::string::npos; ++at) ++ends;
    EXPECT_EQ(ends, 2u) << text;
  }
  for (int fd : {pipeFds[0], pipeFds[1], master, slave}) close(fd);
}

}  // namespace
}  // namespace ZorErrorReporting
