#include "packages/trust_boundary.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "files/filesystem.h"
#include "packages/crash_package.h"
#include "platform/process_priority.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::TPath;
using zor::test::ScopedTempDir;
using zor::test::WriteFile;

class TrustBoundaryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteFile(dumps_.Sub("a.dmp"), "dump");
    WriteFile(dumps_.Sub("own.manifest"), "{}");
    std::filesystem::create_directory(dumps_.Sub("sub"));
    WriteFile(dumps_.Sub("sub/b.dmp"), "dump");
    std::filesystem::create_directory_symlink(dumps_.Sub("sub"), dumps_.Sub("inner-dir"));
    WriteFile(outside_.Sub("secret"), "secret");
    std::filesystem::create_directory_symlink(outside_.path(), dumps_.Sub("out"));
    std::filesystem::create_directory_symlink("/etc", dumps_.Sub("etc"));
    std::filesystem::create_symlink(dumps_.Sub("a.dmp"), dumps_.Sub("inner-link"));
    WriteFile(dumps_.Sub("twice.dmp"), "dump");
    std::filesystem::create_hard_link(dumps_.Sub("twice.dmp"), dumps_.Sub("twice-too.dmp"));
    ASSERT_EQ(::mkfifo(dumps_.Sub("fifo").c_str(), 0600), 0);
  }
  void TearDown() override { zor::platform::DirectoryHandle::ForceComponentWalkForTest(false); }
  TPath Dump(const std::string& relative) const { return TPath(dumps_.Sub(relative)); }

  ScopedTempDir dumps_;
  ScopedTempDir outside_;
  // A symbolic link as the configured directory is resolved like any other.
  TrustBoundary boundary_{{TPath(dumps_.path())}};
};

// Read: only regular files that resolve inside, never a FIFO (whose open
// must not block either), and on the program's own word only as named, not
// through a link inside, and not a file with a second name (a hard link). Delete: only entries strictly inside, in a folder
// reached as named; a link goes, never what it points at. The same with
// openat2 and with the walk that stands in for it.
TEST_F(TrustBoundaryTest, ReadsAndDeletesOnlyInside) {
  struct Case {
    std::string path;
    bool read, deleted;
  };
  const Case cases[] = {
      {dumps_.Sub("a.dmp"), true, true},
      {dumps_.Sub("inner-link"), false, true},
      {dumps_.Sub("sub/b.dmp"), true, true},
      {dumps_.Sub("sub/../sub/./b.dmp"), true, true},
      {dumps_.Sub("inner-dir/b.dmp"), false, false},
      {dumps_.Sub("twice.dmp"), false, true},
      {dumps_.Sub("etc/passwd"), false, false},
      {dumps_.Sub("out"), false, true},
      {dumps_.Sub("out/secret"), false, false},
      {outside_.Sub("secret"), false, false},
      {dumps_.Sub("sub/../../") + TPath(outside_.path()).Filename().toStdString() + "/secret",
       false, false},
      {dumps_.Sub("sub"), false, true},
      {dumps_.path(), false, false},
      {dumps_.Sub("missing.dmp"), false, true},
      {dumps_.Sub("fifo"), false, true},
  };
  for (const bool walk : {false, true}) {
    zor::platform::DirectoryHandle::ForceComponentWalkForTest(walk);
    for (const Case& c : cases) {
      SCOPED_TRACE(c.path + (walk ? " (walk)" : ""));
      EXPECT_EQ(boundary_.WhyNotRead(TPath(c.path), Dump("own.manifest")).isEmpty(), c.read);
      EXPECT_EQ(boundary_.WhyNotDeleted(TPath(c.path), Dump("own.manifest")).isEmpty(),
                c.deleted);
    }
  }
  // A configured directory is opened by name each time, but used only while
  // it is still the one the boundary was made with.
  const TrustBoundary pinned({Dump("sub")});
  std::filesystem::rename(dumps_.Sub("sub"), dumps_.Sub("sub.old"));
  std::filesystem::create_directory(dumps_.Sub("sub"));
  WriteFile(dumps_.Sub("sub/b.dmp"), "another folder's");
  EXPECT_FALSE(pinned.WhyNotRead(Dump("sub/b.dmp"), TPath()).isEmpty());
  EXPECT_FALSE(pinned.WhyNotDeleted(Dump("sub/b.dmp"), TPath()).isEmpty());
  // A ".." after a link climbs from the link's target, away from the folder
  // that the name's letters say: such a directory is left out, with why.
  const TrustBoundary climbing({Dump("out/.."), Dump("sub/..")});
  EXPECT_EQ(climbing.GetRoots().size(), 1u);
  EXPECT_TRUE(climbing.WhyLeftOut(Dump("out/..")).contains("spell it without '..'"))
      << climbing.WhyLeftOut(Dump("out/.."));
  EXPECT_TRUE(climbing.WhyLeftOut(Dump("sub/..")).isEmpty());

  // A file under another's lease is busy until the kernel breaks the lease:
  // that says nothing of it (the lease holder here is the test itself, which
  // ignores the kernel's signal to give it up).
  const auto previous = ::signal(SIGIO, SIG_IGN);
  const int leased = ::open(dumps_.Sub("a.dmp").c_str(), O_RDONLY);
  ASSERT_EQ(::fcntl(leased, F_SETLEASE, F_WRLCK), 0) << std::strerror(errno);
  zor::platform::TString refusal;
  EXPECT_THROW(boundary_.OpenForReading(Dump("a.dmp"), Dump("own.manifest"), &refusal),
               ShortOfResources);
  // Unless its owner is not the namer's: then it is refused, busy or not.
  if (::geteuid() == 0) {
    WriteFile(dumps_.Sub("nobody.manifest"), "{}");
    ASSERT_EQ(::chown(dumps_.Sub("nobody.manifest").c_str(), 65534, 65534), 0);
    EXPECT_FALSE(boundary_.OpenForReading(Dump("a.dmp"), Dump("nobody.manifest"), &refusal));
    EXPECT_TRUE(refusal.contains("belongs to user")) << refusal;
  }
  ::close(leased);
  ::signal(SIGIO, previous);

  // Out of descriptors, a deletion has failed, not been refused: the
  // package keeps its record of the file for a later run.
  rlimit before{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  rlimit none = before;
  none.rlim_cur = before.rlim_cur - zor::platform::OpenFilesLeft();
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const RemovalResult starved = boundary_.Delete(Dump("a.dmp"), Dump("own.manifest"), &refusal);
  ::setrlimit(RLIMIT_NOFILE, &before);
  EXPECT_EQ(starved, RemovalResult::kFailed);
  EXPECT_TRUE(refusal.contains("Too many open files")) << refusal;
  EXPECT_TRUE(std::filesystem::exists(dumps_.Sub("a.dmp")));
}

// Another thread swaps a name between a real entry and a link that leads out
// of the dump directory, as fast as it can, while the boundary opens or
// deletes by that name: whatever the interleaving, the outside file is never
// read and never deleted.
class TrustBoundaryRaceTest : public TrustBoundaryTest {
 protected:
  // Exchanges dumps/<name> and dumps/.<name> until the test ends.
  void StartSwapping(const std::string& name) {
    swapper_ = std::thread([this, name] {
      const std::string a = dumps_.Sub(name);
      const std::string b = dumps_.Sub("." + name);
      while (!stop_) ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
    });
  }
  void TearDown() override {
    stop_ = true;
    if (swapper_.joinable()) swapper_.join();
    TrustBoundaryTest::TearDown();
  }

  static constexpr int kTries = 2000;
  std::atomic<bool> stop_{false};
  std::thread swapper_;
};

TEST_F(TrustBoundaryRaceTest, FileSwappedForALinkIsNeverRead) {
  WriteFile(dumps_.Sub("app.1.log"), "log");
  std::filesystem::create_symlink(outside_.Sub("secret"), dumps_.Sub(".app.1.log"));
  StartSwapping("app.1.log");
  for (const bool walk : {false, true}) {
    zor::platform::DirectoryHandle::ForceComponentWalkForTest(walk);
    for (int i = 0; i < kTries; ++i) {
      zor::platform::TString refusal;
      if (auto file = boundary_.OpenForReading(Dump("app.1.log"), Dump("own.manifest"), &refusal)) {
        char bytes[16] = {};
        file->ReadAt(bytes, sizeof bytes - 1, 0);
        ASSERT_EQ(std::string(bytes), "log") << "try " << i;
      }
    }
  }
}

TEST_F(TrustBoundaryRaceTest, FolderSwappedForALinkNeverLeadsTheDeletionOut) {
  std::filesystem::create_directory(dumps_.Sub("crash"));
  std::filesystem::create_directory_symlink(outside_.path(), dumps_.Sub(".crash"));
  WriteFile(outside_.Sub("victim"), "root's");
  // The real folder, wherever the swapper has put it, to put the file back in.
  const int real = ::open(dumps_.Sub("crash").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(real, 0);
  StartSwapping("crash");
  // Besides the thread, one more exchange right after each look at the entry,
  // the moment a check-then-act deletion would lose.
  class SwapAfterTheCheck : public Filesystem {
   public:
    SwapAfterTheCheck(std::string a, std::string b) : a_(std::move(a)), b_(std::move(b)) {
      Filesystem::SetTestInstance(this);
    }
    ~SwapAfterTheCheck() override { Filesystem::SetTestInstance(nullptr); }
    std::optional<zor::platform::FileIdentity> IdentifyEntryAt(
        const zor::platform::DirectoryHandle& parent, const zor::platform::TString& name) override {
      auto identity = Filesystem::IdentifyEntryAt(parent, name);
      ::renameat2(AT_FDCWD, a_.c_str(), AT_FDCWD, b_.c_str(), RENAME_EXCHANGE);
      return identity;
    }

   private:
    std::string a_, b_;
  };
  SwapAfterTheCheck swapping(dumps_.Sub("crash"), dumps_.Sub(".crash"));
  for (const bool walk : {false, true}) {
    zor::platform::DirectoryHandle::ForceComponentWalkForTest(walk);
    for (int i = 0; i < kTries; ++i) {
      const int fd = ::openat(real, "victim", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      ASSERT_GE(fd, 0);
      ::close(fd);
      zor::platform::TString refusal;
      boundary_.Delete(Dump("crash/victim"), TPath(), &refusal);
      ASSERT_TRUE(std::filesystem::exists(outside_.Sub("victim"))) << "try " << i;
    }
  }
  stop_ = true;
  swapper_.join();
  Filesystem::SetTestInstance(nullptr);
  // Still, with the folder where it belongs, the entry itself goes.
  if (std::filesystem::is_symlink(dumps_.Sub("crash"))) {
    ASSERT_EQ(::renameat2(AT_FDCWD, dumps_.Sub("crash").c_str(), AT_FDCWD,
                          dumps_.Sub(".crash").c_str(), RENAME_EXCHANGE), 0);
  }
  // The last try may have removed it already.
  ::close(::openat(real, "victim", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
  zor::platform::TString refusal;
  EXPECT_EQ(boundary_.Delete(Dump("crash/victim"), TPath(), &refusal), RemovalResult::kRemoved);
  EXPECT_EQ(boundary_.Delete(Dump("crash/victim"), TPath(), &refusal), RemovalResult::kAbsent);
  EXPECT_FALSE(::faccessat(real, "victim", F_OK, 0) == 0);
  ::close(real);
}

// A crash's log and manifest swapped for FIFOs between any two steps: an
// open that blocks would hold the run past every signal, so each is opened
// once, by the boundary, and read through that descriptor.
TEST_F(TrustBoundaryRaceTest, CrashFilesSwappedForFifosNeverBlockThePackage) {
  ScopedTempDir data;
  const std::string log = dumps_.Sub("crash/app.1.log");
  for (const std::string folder : {"crash", ".crash"}) {
    std::filesystem::create_directory(dumps_.Sub(folder));
    WriteFile(dumps_.Sub(folder + "/app.1.dmp"), "dump");
  }
  WriteFile(log, "{\"k\":\"open-log\",\"v\":{\"path\":\"" + log + "\"}}\n");
  WriteFile(dumps_.Sub("crash/app.1.manifest"), "{}");
  ASSERT_EQ(::mkfifo(dumps_.Sub(".crash/app.1.log").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(dumps_.Sub(".crash/app.1.manifest").c_str(), 0600), 0);
  StartSwapping("crash");
  for (int i = 0; i < kTries / 10; ++i) {
    const std::string name = "app.1-" + std::to_string(i);
    try {
      CrashPackage package(name, {Dump("crash/app.1.dmp"), TPath(log), Dump("crash/app.1.manifest")},
                           true, {}, TPath(data.path()), boundary_);
    } catch (const std::exception&) {
      // The dump may be gone for a moment: only a block fails the test.
    }
  }
}

TEST_F(TrustBoundaryTest, AnotherUsersFileNamesOnlyThatUsersFiles) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files to another user";
  constexpr uid_t kNobody = 65534;
  WriteFile(dumps_.Sub("nobody.manifest"), "{}");
  WriteFile(dumps_.Sub("nobody.dmp"), "dump");
  ASSERT_EQ(::chown(dumps_.Sub("nobody.manifest").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(::chown(dumps_.Sub("nobody.dmp").c_str(), kNobody, kNobody), 0);
  const TPath namer = Dump("nobody.manifest");

  EXPECT_TRUE(boundary_.WhyNotRead(Dump("nobody.dmp"), namer).isEmpty());
  EXPECT_TRUE(boundary_.WhyNotDeleted(Dump("nobody.dmp"), namer).isEmpty());
  EXPECT_FALSE(boundary_.WhyNotRead(Dump("a.dmp"), namer).isEmpty());
  zor::platform::TString refusal;
  EXPECT_EQ(boundary_.Delete(Dump("a.dmp"), namer, &refusal), RemovalResult::kRefused);
  EXPECT_FALSE(refusal.isEmpty());
  EXPECT_TRUE(std::filesystem::exists(dumps_.Sub("a.dmp")));
  // The program's own record may name any user's file inside, but only the
  // entry it named: a link there now may have been made by that user, to
  // another user's file. A user's own manifest may name its own links.
  std::filesystem::create_symlink(dumps_.Sub("nobody.dmp"), dumps_.Sub("nobody-link"));
  EXPECT_TRUE(boundary_.WhyNotRead(Dump("nobody.dmp"), Dump("own.manifest")).isEmpty());
  EXPECT_FALSE(boundary_.WhyNotRead(Dump("nobody-link"), Dump("own.manifest")).isEmpty());
  EXPECT_TRUE(boundary_.WhyNotRead(Dump("nobody-link"), namer).isEmpty());
  const TrustBoundary following({TPath(dumps_.path())}, true);
  EXPECT_TRUE(following.WhyNotRead(Dump("nobody-link"), Dump("own.manifest")).isEmpty());
  // With links followed, a user's link leads the record only to that user's
  // files: not to root's, and not through the user's folder link either.
  for (const auto& [link, target] :
       {std::pair{"own-link", "nobody.dmp"}, std::pair{"aimed-link", "a.dmp"},
        std::pair{"folder-link", "."}}) {
    std::filesystem::create_symlink(dumps_.Sub(target), dumps_.Sub(link));
    ASSERT_EQ(::lchown(dumps_.Sub(link).c_str(), kNobody, kNobody), 0);
  }
  EXPECT_TRUE(following.WhyNotRead(Dump("own-link"), Dump("own.manifest")).isEmpty());
  EXPECT_THAT(following.WhyNotRead(Dump("aimed-link"), Dump("own.manifest")).toStdString(),
              ::testing::HasSubstr("belongs to user 65534, and the file it leads to to user 0"));
  EXPECT_FALSE(following.WhyNotRead(Dump("folder-link/a.dmp"), Dump("own.manifest")).isEmpty());
  EXPECT_THAT(
      following.WhyNotDeleted(Dump("folder-link/a.dmp"), Dump("own.manifest")).toStdString(),
      ::testing::HasSubstr("belongs to user 65534, and the entry to user 0"));
  EXPECT_TRUE(following.WhyNotDeleted(Dump("a.dmp"), Dump("own.manifest")).isEmpty());
  // Nor does a user's file gain root's word while its folder is swapped for
  // the user's link to a folder, inside or out, where root has a file of that
  // name, whether links are followed or not.
  std::filesystem::create_directory(dumps_.Sub("roots"));
  WriteFile(dumps_.Sub("roots/nobody.manifest"), "{}");
  WriteFile(outside_.Sub("nobody.manifest"), "{}");
  for (const auto& [link, target] :
       {std::pair<std::string, std::string>{"swapped", dumps_.Sub("roots")},
        {"swapped-out", outside_.path()}}) {
    std::filesystem::create_directory_symlink(target, dumps_.Sub(link));
    ASSERT_EQ(::lchown(dumps_.Sub(link).c_str(), kNobody, kNobody), 0);
    const TPath swapped = Dump(link + "/nobody.manifest");
    for (const TrustBoundary* boundary : {&std::as_const(boundary_), &following}) {
      SCOPED_TRACE(link + (boundary == &following ? " (following)" : ""));
      EXPECT_TRUE(boundary->WhyNotRead(Dump("nobody.dmp"), namer).isEmpty());
      EXPECT_FALSE(boundary->WhyNotRead(Dump("a.dmp"), swapped).isEmpty());
      EXPECT_FALSE(boundary->WhyNotDeleted(Dump("a.dmp"), swapped).isEmpty());
    }
  }
  // A configured directory reached through a user's link is the user's to
  // aim anywhere: it is left out, however many hops lead there.
  std::filesystem::create_directory_symlink(outside_.path(), dumps_.Sub("aimed"));
  ASSERT_EQ(::lchown(dumps_.Sub("aimed").c_str(), kNobody, kNobody), 0);
  std::filesystem::create_directory_symlink(dumps_.Sub("aimed"), dumps_.Sub("via"));
  EXPECT_TRUE(TrustBoundary({Dump("via")}).GetRoots().empty());
  EXPECT_EQ(TrustBoundary({Dump("inner-dir")}).GetRoots().size(), 1u);
}

}  // namespace
}  // namespace ZorErrorReporting
