#include "platform/tlock_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>

#include "platform/tfile.h"
#include "support/temp_dir.h"

namespace zor::platform {
namespace {

using zor::test::ScopedTempDir;

// The message of the TPath::Exception that locking `path` throws, or "" when
// the lock was taken (and held while `whileHeld` ran).
std::string LockFailure(const std::string& path, const std::function<void()>& whileHeld = {}) {
  try {
    TLockFile lock(path);
    if (whileHeld) whileHeld();
    return "";
  } catch (const TPath::Exception& e) {
    return e.what();
  }
}

TEST(TLockFileTest, LockHeldByAnotherProcessThrowsUntilItExits) {
  ScopedTempDir dir;
  const std::string path = dir.Sub("zorcrashreporter.lock");
  int ready[2];
  int release[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(release), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // Locks, says so, and holds the lock until the parent closes its end of
    // `release`; a child that cannot lock says nothing.
    ::close(ready[0]);
    ::close(release[1]);
    LockFailure(path, [&] {
      (void)!::write(ready[1], "L", 1);
      char ignored;
      (void)!::read(release[0], &ignored, 1);
    });
    ::_exit(0);
  }
  ::close(ready[1]);
  ::close(release[0]);
  char status = 0;
  ASSERT_EQ(::read(ready[0], &status, 1), 1) << "the child did not take the lock";
  ::close(ready[0]);

  const std::string message = LockFailure(path);
  EXPECT_EQ(message.rfind("TLockFile: ", 0), 0u) << message;
  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find("another process"), std::string::npos) << message;

  ::close(release[1]);
  int exitStatus = 0;
  ASSERT_EQ(::waitpid(child, &exitStatus, 0), child);
  EXPECT_EQ(LockFailure(path), "");
}

TEST(TLockFileTest, HeldWhileTheObjectLivesAndFollowsMoves) {
  ScopedTempDir dir;
  const std::string path = dir.Sub("app.lock");
  {
    TLockFile first(path);
    EXPECT_NE(LockFailure(path), "");  // a second holder in this process fails too
    TLockFile moved(std::move(first));
    EXPECT_FALSE(first.IsLocked());
    EXPECT_TRUE(moved.IsLocked());
    {
      TLockFile gone(std::move(first));  // destroying a moved-from object releases nothing
    }
    EXPECT_NE(LockFailure(path), "");
  }
  EXPECT_EQ(LockFailure(path), "");
  EXPECT_TRUE(std::filesystem::exists(path));  // the file stays for the next holder
}

TEST(TLockFileTest, UnopenablePathNamesPathAndCause) {
  ScopedTempDir dir;
  const std::string path = dir.Sub("no-such-dir/app.lock");
  EXPECT_EQ(LockFailure(path), "TLockFile: cannot open '" + path + "': No such file or directory");
}

TEST(TLockFileTest, LockAndFileDescriptorsAreNotInheritedByExec) {
  ScopedTempDir dir;
  TLockFile lock(dir.Sub("app.lock"));
  TFile file(dir.Sub("data.txt"), OpenMode::Write);
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (target != dir.Sub("app.lock") && target != dir.Sub("data.txt")) continue;
    ++checked;
    EXPECT_TRUE(::fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC)
        << target;
  }
  EXPECT_EQ(checked, 2);
}

}  // namespace
}  // namespace zor::platform
