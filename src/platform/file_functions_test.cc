#include "platform/file_functions.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/error_of_for_test.h"
#include "platform/file_identity.h"
#include "support/temp_dir.h"

namespace zor::platform {
namespace {

using zor::test::ErrorOf;
using zor::test::ReadFile;
using zor::test::ScopedTempDir;
using zor::test::WriteFile;
namespace fs = std::filesystem;

using Names = std::vector<TString>;

class FileFunctionsTest : public ::testing::Test {
 protected:
  std::string Sub(const std::string& relative) const { return dir_.Sub(relative); }
  ScopedTempDir dir_;
};

TEST_F(FileFunctionsTest, CreateDirectoryMakesParentsAndReportsTheOutcome) {
  EXPECT_TRUE(CreateDirectory(Sub("a/b/c")));
  EXPECT_TRUE(fs::is_directory(Sub("a/b/c")));
  EXPECT_TRUE(CreateDirectory(Sub("a/b/c")));  // already there
  // Owner only at every level, whatever the umask would let through.
  for (const char* level : {"a", "a/b", "a/b/c"}) {
    EXPECT_EQ(fs::status(Sub(level)).permissions(), fs::perms::owner_all) << level;
  }

  WriteFile(Sub("file"), "x");
  EXPECT_FALSE(CreateDirectory(Sub("file")));
  EXPECT_FALSE(CreateDirectory(Sub("file/sub")));
  EXPECT_FALSE(CreateDirectory(TPath()));
}

TEST_F(FileFunctionsTest, ExistenceByKindOfEntryAndRemovalSucceedsIffNothingIsLeft) {
  WriteFile(Sub("file"), "x");
  fs::create_directory(Sub("empty"));
  WriteFile(Sub("full/inner/f"), "x");
  WriteFile(Sub("target/keep"), "x");
  fs::create_symlink(Sub("target"), Sub("link"));
  fs::create_symlink(Sub("file"), Sub("link-to-file"));
  fs::create_symlink(Sub("gone"), Sub("dangling"));
  const struct {
    const char* name;
    bool path, file, directory;
  } kinds[] = {
      {"file", true, true, false},         {"empty", true, false, true},
      {"link-to-file", true, true, false}, {"link", true, false, true},
      {"dangling", true, false, false},    {"missing", false, false, false},
  };
  for (const auto& c : kinds) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(PathExists(Sub(c.name)), c.path);
    EXPECT_EQ(FileExists(Sub(c.name)), c.file);
    EXPECT_EQ(DirectoryExists(Sub(c.name)), c.directory);
  }

  struct Case {
    const char* name;
    DirectoryRemoval removal;
    bool removed;
  };
  const Case cases[] = {
      {"missing", DirectoryRemoval::OnlyIfEmpty, true},
      {"file", DirectoryRemoval::OnlyIfEmpty, true},
      {"empty", DirectoryRemoval::OnlyIfEmpty, true},
      {"full", DirectoryRemoval::OnlyIfEmpty, false},
      {"dangling", DirectoryRemoval::OnlyIfEmpty, true},
      {"link", DirectoryRemoval::WithContents, true},
      {"full", DirectoryRemoval::WithContents, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RemovePath(Sub(c.name), c.removal), c.removed);
    EXPECT_EQ(PathExists(Sub(c.name)), !c.removed);
    if (!c.removed) {
      EXPECT_EQ(ReadFile(Sub(std::string(c.name) + "/inner/f")), "x");
    }
  }
  // Removing a link to a directory never reaches into the target.
  EXPECT_EQ(ReadFile(Sub("target/keep")), "x");
}

TEST_F(FileFunctionsTest, RenamePathReplacesTargetAndThrowsWithBothPaths) {
  WriteFile(Sub("from"), "new");
  WriteFile(Sub("to"), "old");
  RenamePath(Sub("from"), Sub("to"));
  EXPECT_EQ(ReadFile(Sub("to")), "new");
  EXPECT_FALSE(PathExists(Sub("from")));

  EXPECT_EQ(ErrorOf([&] { RenamePath(Sub("from"), Sub("to")); }),
            "TFilesystem: cannot rename '" + Sub("from") + "' to '" + Sub("to") +
                "': No such file or directory");
  EXPECT_EQ(ReadFile(Sub("to")), "new");
}

TEST_F(FileFunctionsTest, SizeAndLastWriteTime) {
  WriteFile(Sub("file"), std::string(12345, 'x'));
  EXPECT_EQ(FileSize(Sub("file")), 12345u);

  // 2001-09-09T01:46:40.123456789Z, set by the OS, not by the code under test.
  const timespec times[2] = {{1000000000, 0}, {1000000000, 123456789}};
  ASSERT_EQ(::utimensat(AT_FDCWD, Sub("file").c_str(), times, 0), 0);
  const auto expected = std::chrono::system_clock::time_point(std::chrono::seconds(1000000000) +
                                                              std::chrono::nanoseconds(123456789));
  EXPECT_EQ(LastWriteTime(Sub("file")), expected);

  EXPECT_THROW(FileSize(Sub("missing")), TPath::Exception);
  EXPECT_THROW(LastWriteTime(Sub("missing")), TPath::Exception);
}

TEST_F(FileFunctionsTest, ListFilesMatchesExtensionsWithoutRegardToCase) {
  for (const char* name : {"a.pending", "B.PENDING", "c.zipped-logs-package.started", ".pending",
                           "d.txt", "pending", "e.started"}) {
    WriteFile(Sub(std::string("data/") + name), "x");
  }
  fs::create_directory(Sub("data/dir.pending"));
  const TPath data = Sub("data");

  EXPECT_EQ(ListFiles(data, {"Pending", ".zipped-logs-package.started"}),
            (Names{Sub("data/B.PENDING"), Sub("data/a.pending"),
                   Sub("data/c.zipped-logs-package.started")}));
  EXPECT_EQ(ListFiles(data, {"txt"}, PathForm::Relative), Names{"d.txt"});
  // The extension starts after a dot: "-package.started" is no ".package.started".
  EXPECT_TRUE(ListFiles(data, {"package.started", "ending"}).empty());
  EXPECT_EQ(ListFiles(data, {}).size(), 7u);
  // Neither a missing path nor a plain file has anything to list.
  EXPECT_TRUE(ListFiles(Sub("missing"), {}).empty());
  EXPECT_TRUE(ListFiles(Sub("data/d.txt"), {}).empty());
}

// Listing directories and full paths is seen through the facade
// (filesystem_test.cc).
TEST_F(FileFunctionsTest, ListFilesRecursivelyDescendsAndHonoursSymlinkChoice) {
  WriteFile(Sub("dumps/top.dmp"), "x");
  WriteFile(Sub("dumps/sub/deeper/inner.DMP"), "x");
  WriteFile(Sub("dumps/sub/skip.bin"), "x");
  WriteFile(Sub("elsewhere/outside.dmp"), "x");
  fs::create_symlink(Sub("elsewhere"), Sub("dumps/linked-dir"));
  fs::create_symlink(Sub("elsewhere/outside.dmp"), Sub("dumps/linked.dmp"));
  // Loops back to the top; following it must still end.
  fs::create_symlink(Sub("dumps"), Sub("dumps/sub/deeper/loop"));
  const TPath dumps = Sub("dumps");

  EXPECT_EQ(ListFilesRecursively(dumps, {"dmp"}, PathForm::Relative),
            (Names{"sub/deeper/inner.DMP", "top.dmp"}));

  EXPECT_EQ(ListFilesRecursively(dumps, {"dmp"}, PathForm::Relative, ListedDirectories::Exclude,
                                 Symlinks::Follow),
            (Names{"linked-dir/outside.dmp", "linked.dmp", "sub/deeper/inner.DMP", "top.dmp"}));
  // Another user's links are followed only to that user's own.
  if (::geteuid() != 0) return;
  WriteFile(Sub("theirs/their.dmp"), "x");
  ASSERT_EQ(::chown(Sub("theirs").c_str(), 65534, 65534), 0);
  for (const auto& [link, target] :
       {std::pair{"their-link", "theirs"}, std::pair{"aimed-dir", "elsewhere"},
        std::pair{"aimed.dmp", "elsewhere/outside.dmp"}}) {
    fs::create_symlink(Sub(target), Sub(std::string("dumps/") + link));
    ASSERT_EQ(::lchown(Sub(std::string("dumps/") + link).c_str(), 65534, 65534), 0);
  }
  fs::remove(Sub("dumps/sub/deeper/loop"));
  EXPECT_EQ(ListFilesRecursively(dumps, {"dmp"}, PathForm::Relative, ListedDirectories::Exclude,
                                 Symlinks::Follow),
            (Names{"linked-dir/outside.dmp", "linked.dmp", "sub/deeper/inner.DMP",
                   "their-link/their.dmp", "top.dmp"}));
}

// A time past what 64-bit nanoseconds hold (ext4 keeps 2446) is held at the
// end, never wrapped into the past, where it would make a new file old.
TEST(FileIdentityTest, TimesPastTheRangeAreHeldNotWrapped) {
  const std::pair<timespec, int64_t> cases[] = {
      {{1, 5}, 1000000005},
      {{15000000000, 0}, INT64_MAX},
      {{-15000000000, 0}, INT64_MIN},
  };
  for (const auto& [time, ns] : cases) EXPECT_EQ(zor::platform::NsSinceEpoch(time), ns);
}

// A file is known again by what its file system keeps: a disk mounted
// again gets another device number, and its sent crash is no new one.
TEST(FileIdentityTest, SameFileUnchangedWhateverTheDeviceNumber) {
  const FileIdentity seen{
      FileIdentity::Kind::kRegular, 0, 0600, 1792, 13, 1, 30000, 32768, 7, 7, 0, 0, {}};
  const std::pair<std::function<void(FileIdentity&)>, bool> cases[] = {
      {[](FileIdentity& f) { f.device = 1793; }, true},
      {[](FileIdentity& f) { f.inode = 14; }, false},
      {[](FileIdentity& f) { f.size = 30001; }, false},
      {[](FileIdentity& f) { f.modifiedNs = 8; }, false},
      // A file made anew at a freed inode, its size and time copied.
      {[](FileIdentity& f) { f.birthNs = 9; }, false},
  };
  FileIdentity born = seen;
  born.birthNs = 5;
  for (const auto& [change, same] : cases) {
    FileIdentity now = born;
    change(now);
    EXPECT_EQ(IsSameFileUnchanged(born, now), same);
  }
  // A stamp of a file system or version that kept none compares as before,
  // but with a file born after its modification time (its time set back).
  EXPECT_TRUE(IsSameFileUnchanged(seen, born));
  FileIdentity late = born;
  late.birthNs = seen.modifiedNs + 1;
  EXPECT_FALSE(IsSameFileUnchanged(seen, late));
  // Unless it was born before the stamp was taken: a copy that kept its time.
  FileIdentity bounded = seen;
  bounded.bornByNs = late.birthNs;
  EXPECT_TRUE(IsSameFileUnchanged(bounded, late));
  late.birthNs = bounded.bornByNs + 1;
  EXPECT_FALSE(IsSameFileUnchanged(late, bounded));
  // Where neither kept one, the change time tells a file made anew at a
  // freed inode; against a stamp of an older version, which kept none, one
  // changed after its modification time and its bound is another.
  FileIdentity remade = seen;
  remade.changedNs = seen.changedNs + 1;
  EXPECT_FALSE(IsSameFileUnchanged(seen, remade));
  FileIdentity older = seen;
  older.changedNs = 0;
  EXPECT_TRUE(IsSameFileUnchanged(older, seen));
  EXPECT_FALSE(IsSameFileUnchanged(remade, older));
  older.bornByNs = remade.changedNs;
  EXPECT_TRUE(IsSameFileUnchanged(older, remade));
  // Where the file system keeps birth times, the look at a path tells it.
  ScopedTempDir dir;
  WriteFile(dir.Sub("log"), "x");
  const auto made = IdentifyPath(TPath(dir.Sub("log")), LinkHandling::kDoNotFollow);
  ASSERT_TRUE(made);
  if (made->birthNs == 0) GTEST_SKIP() << "this file system keeps no birth times";
  const auto opened = ::open(dir.Sub("log").c_str(), O_RDONLY);
  EXPECT_EQ(IdentifyDescriptor(opened)->birthNs, made->birthNs);
  ::close(opened);
}

TEST(PathTextTest, ComparePathsCleansTextButKeepsCase) {
  struct Case {
    const char* a;
    const char* b;
    int sign;
  };
  const Case cases[] = {
      {"/x/./y/../z", "/x/z", 0}, {"/x/y/", "/x/y", 0}, {"/x//y", "/x/y", 0},
      {"/x/a", "/x/b", -1},       {"/X/a", "/x/a", -1}, {"/x/b", "/x/a", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " vs " + c.b);
    const int order = ComparePaths(c.a, c.b);
    EXPECT_EQ((order > 0) - (order < 0), c.sign);
  }
}

TEST(DetectEncodingTest, MarkFirstThenUtf8ValidityElseLatin1) {
  struct Case {
    const char* name;
    std::string bytes;
    int expected;
  };
  using std::string;
  const std::vector<Case> cases = {
      {"empty", "", TextEncoding::kUtf8},
      {"two- and four-byte characters", "caf\xC3\xA9 \xF0\x9F\x98\x80", TextEncoding::kUtf8},
      {"three-byte character cut by the probe end", "ab\xE2\x82", TextEncoding::kUtf8},
      {"latin-1 e-acute between letters", "caf\xE9s", TextEncoding::kLatin1},
      {"lone continuation byte", "a\x80z", TextEncoding::kLatin1},
      {"overlong slash", "\xC0\xAF", TextEncoding::kLatin1},
      {"encoded surrogate", "\xED\xA0\x80", TextEncoding::kLatin1},
      {"cut sequence already invalid", "ab\xE0\x80", TextEncoding::kLatin1},
      {"utf-8 mark wins over latin-1 body", "\xEF\xBB\xBF\xE9t\xE9", TextEncoding::kUtf8},
      {"utf-16 le mark", string("\xFF\xFEh\0i\0", 6), TextEncoding::kUtf16},
      {"utf-32 le mark", string("\xFF\xFE\0\0h\0\0\0", 8), TextEncoding::kUtf32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(DetectEncoding(c.bytes.data(), c.bytes.size()), c.expected);
  }
}

}  // namespace
}  // namespace zor::platform
