#include "platform/tlock_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>

#include "support/temp_dir.h"

namespace zor::platform {
namespace {

using zor::test::ScopedTempDir;

// The message of the TPath::Exception that locking `path` throws, or "" when
// the lock was taken.
std::string LockFailure(const std::string& path) {
  try {
    TLockFile lock(path);
    return "";
  } catch (const TPath::Exception& e) {
    return e.what();
  }
}

// A child process that holds a TLockFile on a path until told to let go.
class LockingChild {
 public:
  explicit LockingChild(const std::string& path) {
    int ready[2];
    int release[2];
    if (::pipe(ready) != 0 || ::pipe(release) != 0) {
      ADD_FAILURE() << "pipe failed";
      return;
    }
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(release[1]);
      char status = 'L';
      try {
        TLockFile lock(path);
        (void)!::write(ready[1], &status, 1);
        char ignored;
        (void)!::read(release[0], &ignored, 1);  // returns when the parent closes its end
      } catch (...) {
        status = 'E';
        (void)!::write(ready[1], &status, 1);
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(release[0]);
    releaseFd_ = release[1];
    char status = 0;
    if (::read(ready[0], &status, 1) != 1 || status != 'L') {
      ADD_FAILURE() << "the child did not take the lock";
    }
    ::close(ready[0]);
  }

  ~LockingChild() { Exit(); }

  // Lets the child release the lock and waits until it has exited.
  void Exit() {
    if (releaseFd_ >= 0) ::close(releaseFd_);
    releaseFd_ = -1;
    if (pid_ > 0) {
      int status = 0;
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  int releaseFd_ = -1;
};

TEST(TLockFileTest, LockHeldByAnotherProcessThrowsUntilItExits) {
  ScopedTempDir dir;
  const std::string path = dir.Sub("zorcrashreporter.lock");
  LockingChild child(path);

  const std::string message = LockFailure(path);
  EXPECT_EQ(message.rfind("TLockFile: ", 0), 0u) << message;
  EXPECT_NE(message.find(path), std::string::npos) << message;
  EXPECT_NE(message.find("another process"), std::string::npos) << message;

  child.Exit();
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

TEST(TLockFileTest, DescriptorIsNotInheritedByExec) {
  ScopedTempDir dir;
  const std::string path = dir.Sub("app.lock");
  TLockFile lock(path);
  bool found = false;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) != path) continue;
    found = true;
    EXPECT_TRUE(::fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC);
  }
  EXPECT_TRUE(found);
}

}  // namespace
}  // namespace zor::platform
