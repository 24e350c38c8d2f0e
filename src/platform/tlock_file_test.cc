#include "platform/tlock_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <utility>

#include "platform/tfile.h"
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

class TLockFileTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
  std::string path_ = dir_.Sub("app.lock");
};

// Another process's holding is seen end to end: a second run is locked out
// (upload_test.cc).
TEST_F(TLockFileTest, HeldWhileTheObjectLivesAndFollowsMoves) {
  {
    TLockFile first(path_);
    EXPECT_NE(LockFailure(path_), "");  // a second holder fails, in this process too
    TLockFile moved(std::move(first));
    EXPECT_FALSE(first.IsLocked());
    { TLockFile gone(std::move(first)); }  // destroying a moved-from object releases nothing
    EXPECT_NE(LockFailure(path_), "");
  }
  EXPECT_EQ(LockFailure(path_), "");
  EXPECT_TRUE(std::filesystem::exists(path_));  // the file stays for the next holder
}

TEST_F(TLockFileTest, TryLockGivesNothingWhileAnotherHolds) {
  EXPECT_FALSE(TLockFile::IsHeldElsewhere(path_));
  EXPECT_FALSE(std::filesystem::exists(path_));  // a look creates nothing
  {
    TLockFile held(path_);
    EXPECT_FALSE(TLockFile::TryLock(path_).has_value());
    EXPECT_TRUE(TLockFile::IsHeldElsewhere(path_));
  }
  EXPECT_FALSE(TLockFile::IsHeldElsewhere(path_));
  std::optional<TLockFile> taken = TLockFile::TryLock(path_);
  ASSERT_TRUE(taken.has_value());
  EXPECT_TRUE(taken->IsLocked());
  EXPECT_NE(LockFailure(path_), "");
  // Only its owner may open it: a lock file that others can open is a lock
  // that others can hold.
  EXPECT_EQ(std::filesystem::status(path_).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST_F(TLockFileTest, UnopenablePathNamesPathAndCause) {
  const std::string missing = dir_.Sub("no-such-dir/app.lock");
  const std::string link = dir_.Sub("link.lock");
  std::filesystem::create_symlink(dir_.Sub("elsewhere"), link);
  const struct {
    std::string path;
    const char* cause;
  } cases[] = {{missing, "No such file or directory"}, {link, "Too many levels of symbolic links"}};
  for (const auto& c : cases) {
    EXPECT_EQ(LockFailure(c.path), "TLockFile: cannot open '" + c.path + "': " + c.cause);
    EXPECT_THROW(TLockFile::TryLock(c.path), TPath::Exception);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.Sub("elsewhere")));  // no file made through a link
}

// Neither a lock nor a file may leak into a program the reporter starts.
TEST_F(TLockFileTest, DescriptorsAreNotInheritedByExec) {
  TLockFile lock(path_);
  TFile file(dir_.Sub("data.txt"), OpenMode::Write);
  std::set<std::string> checked;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(entry.path(), ec);
    if (target.parent_path() != dir_.path()) continue;
    checked.insert(target.filename());
    EXPECT_TRUE(::fcntl(std::stoi(entry.path().filename().string()), F_GETFD) & FD_CLOEXEC)
        << target;
  }
  EXPECT_EQ(checked, (std::set<std::string>{"app.lock", "data.txt"}));
}

}  // namespace
}  // namespace zor::platform
