#include "platform/tlock_file.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <iostream>
#include <set>
#include <string>
#include <utility>

#include "platform/log_file_channel.h"
#include "platform/tfile.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace zor::platform {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
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

class TLockFileTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
  std::string path_ = dir_.Sub("app.lock");
};

TEST_F(TLockFileTest, LockHeldByAnotherProcessThrowsUntilReleased) {
  const auto lockInChild = [&] {
    return zor::test::RunInChild([&] {
             std::cout << LockFailure(path_);
             return 0;
           }).out;
  };
  {
    TLockFile held(path_);
    EXPECT_THAT(lockInChild(),
                AllOf(StartsWith("TLockFile: "), HasSubstr(path_), HasSubstr("another process")));
  }
  EXPECT_EQ(lockInChild(), "");
}

TEST_F(TLockFileTest, HeldWhileTheObjectLivesAndFollowsMoves) {
  {
    TLockFile first(path_);
    EXPECT_NE(LockFailure(path_), "");  // a second holder in this process fails too
    TLockFile moved(std::move(first));
    EXPECT_FALSE(first.IsLocked());
    { TLockFile gone(std::move(first)); }  // destroying a moved-from object releases nothing
    EXPECT_NE(LockFailure(path_), "");
  }
  EXPECT_EQ(LockFailure(path_), "");
  EXPECT_TRUE(std::filesystem::exists(path_));  // the file stays for the next holder
}

TEST_F(TLockFileTest, UnopenablePathNamesPathAndCause) {
  const std::string path = dir_.Sub("no-such-dir/app.lock");
  EXPECT_EQ(LockFailure(path), "TLockFile: cannot open '" + path + "': No such file or directory");
}

// Locks, files and logs are all opened through the same platform layer; none
// may leak into a program the reporter starts.
TEST_F(TLockFileTest, DescriptorsAreNotInheritedByExec) {
  TLockFile lock(path_);
  TFile file(dir_.Sub("data.txt"), OpenMode::Write);
  TLog::FileChannel channel{TPath(dir_.Sub("log.txt"))};
  channel.Open();
  std::set<std::string> checked;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (target.parent_path() != dir_.path()) continue;
    checked.insert(target.filename());
    EXPECT_TRUE(::fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC)
        << target;
  }
  EXPECT_EQ(checked, (std::set<std::string>{"app.lock", "data.txt", "log.txt"}));
}

}  // namespace
}  // namespace zor::platform
