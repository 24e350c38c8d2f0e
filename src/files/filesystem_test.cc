#include "files/filesystem.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <random>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/directory_handle.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::TPath;
using zor::test::WriteFile;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

std::set<TPath> Paths(const std::string& base, std::initializer_list<const char*> names) {
  std::set<TPath> paths;
  for (const char* n : names) paths.insert(base.empty() ? TPath(n) : TPath(base + "/" + n));
  return paths;
}

// What `action` writes to standard output.
template <class Action>
std::string StdoutOf(Action action) {
  ::testing::internal::CaptureStdout();
  action();
  return ::testing::internal::GetCapturedStdout();
}

class FilesystemTest : public ::testing::Test {
 protected:
  Filesystem& fs_ = Filesystem::GetInstance();
  zor::test::ScopedTempDir dir_;
  zor::test::ScopedTempDir outside_;
};

// Matching and walking are the platform's (see file_functions_test.cc); what
// is the facade's own is turning its bool flags into the platform's choices.
TEST_F(FilesystemTest, ListingFlagsReachThePlatform) {
  WriteFile(dir_.Sub("dumps/a/deep.dmp"), "x");
  ASSERT_EQ(mkdir(dir_.Sub("dumps/folder.dmp").c_str(), 0755), 0);
  WriteFile(dir_.Sub("elsewhere/linked.dmp"), "x");
  ASSERT_EQ(symlink(dir_.Sub("elsewhere").c_str(), dir_.Sub("dumps/link").c_str()), 0);
  const std::string d = dir_.Sub("dumps");
  EXPECT_EQ(fs_.ListFiles(TPath(d + "/a"), {"DMP"}, false), Paths("", {"deep.dmp"}));
  EXPECT_EQ(fs_.ListFiles(TPath(d + "/a"), {"dmp"}, true), Paths(d, {"a/deep.dmp"}));

  struct Case {
    bool fullPaths, includeDirectories, followSymlinks;
    std::set<TPath> expected;
  };
  const Case cases[] = {
      {false, false, false, Paths("", {"a/deep.dmp"})},
      {true, true, false, Paths(d, {"a/deep.dmp", "folder.dmp"})},
      {true, false, true, Paths(d, {"a/deep.dmp", "link/linked.dmp"})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.fullPaths << c.includeDirectories << c.followSymlinks);
    EXPECT_EQ(fs_.ListFilesRecursively(TPath(d), {"dmp"}, c.fullPaths, c.includeDirectories,
                                       c.followSymlinks),
              c.expected);
  }
}

// On Linux a name is bytes: a backslash is an ordinary character, and a name
// that is not UTF-8 cannot survive the text of a state file.
TEST_F(FilesystemTest, NamesRoundTripFromListingToRemovalOrAreSkippedWithAWarning) {
  const std::string odd = dir_.Sub("we\\ird.8.dmp");
  const std::string undecodable = dir_.Sub("bad\xff.8.dmp");
  WriteFile(odd, "MDMP");
  WriteFile(undecodable, "MDMP");
  WriteFile(dir_.Sub("sub\xfe/inner.dmp"), "MDMP");

  std::set<TPath> listed, recursive;
  const std::string logged = StdoutOf([&] {
    listed = fs_.ListFiles(TPath(dir_.path()), {"dmp"}, true);
    recursive = fs_.ListFilesRecursively(TPath(dir_.path()), {"dmp"}, true, false, false);
  });
  ASSERT_EQ(listed, Paths(dir_.path(), {"we\\ird.8.dmp"}));
  EXPECT_EQ(recursive, listed);
  EXPECT_THAT(logged, ::testing::HasSubstr(dir_.Sub("bad\\xff.8.dmp")));
  EXPECT_THAT(logged, ::testing::HasSubstr(dir_.Sub("sub\\xfe")));

  // Any number of them costs a few lines and a count.
  for (int i = 0; i < 30; ++i) WriteFile(dir_.Sub("many\xff" + std::to_string(i) + ".dmp"), "");
  const std::string many = StdoutOf([&] { fs_.ListFiles(TPath(dir_.path()), {"dmp"}, true); });
  EXPECT_EQ(std::count(many.begin(), many.end(), '\n'), 21) << many;
  EXPECT_THAT(many, ::testing::HasSubstr("skipped 12 more names in '" + dir_.path()));

  // The listed path opens; what a zip entry makes of a backslash is
  // zip_file_test.cc's.
  const TPath path = *listed.begin();
  EXPECT_EQ(fs_.FileSize(path), 4u);
  EXPECT_EQ(fs_.RemovePath(path), RemovalResult::kRemoved);
  EXPECT_FALSE(Exists(odd));

  // The text of an undecodable name names no file; removing it is no success.
  StdoutOf([&] { EXPECT_EQ(fs_.RemovePath(TPath(undecodable)), RemovalResult::kFailed); });
  EXPECT_TRUE(Exists(undecodable));
}

// A crash deeper than a path can reach is never handled; the listing says
// so instead of passing over it without a word.
TEST_F(FilesystemTest, AFolderBeyondThePathLimitIsReportedNotSilentlySkipped) {
  const std::string component(200, 'd');
  const int depth = PATH_MAX / 201 + 2;
  std::vector<int> fds{::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
  for (int i = 0; i < depth; ++i) {
    ASSERT_EQ(::mkdirat(fds.back(), component.c_str(), 0700), 0);
    fds.push_back(::openat(fds.back(), component.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    ASSERT_GE(fds.back(), 0);
  }
  const int dump = ::openat(fds.back(), "deep.dmp", O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(dump, 0);
  ::close(dump);

  const std::string logged =
      StdoutOf([&] { fs_.ListFilesRecursively(TPath(dir_.path()), {"dmp"}, true, false, false); });
  EXPECT_THAT(logged, ::testing::HasSubstr("cannot be listed: File name too long"));

  // The temporary folder's removal works by path; this chain has to go from
  // its bottom up.
  ::unlinkat(fds.back(), "deep.dmp", 0);
  for (size_t i = fds.size() - 1; i > 0; --i) {
    ::close(fds[i]);
    ::unlinkat(fds[i - 1], component.c_str(), AT_REMOVEDIR);
  }
  ::close(fds[0]);
}

TEST_F(FilesystemTest, ReadFileBytesAppendsOneZeroByte) {
  WriteFile(dir_.Sub("ten.txt"), "0123456789");
  struct Case {
    uint64_t count, offset;
    std::string expected;  // without the extra zero byte
  };
  const Case cases[] = {
      {512, 0, "0123456789"}, {4, 3, "3456"}, {5, 8, "89"}, {5, 1000, ""}, {0, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "count " << c.count << " offset " << c.offset);
    std::vector<char> expected(c.expected.begin(), c.expected.end());
    expected.push_back('\0');
    EXPECT_EQ(fs_.ReadFileBytes(TPath(dir_.Sub("ten.txt")), c.count, c.offset), expected);
  }
  EXPECT_THROW(fs_.ReadFileBytes(TPath(dir_.Sub("missing.txt")), 10, 0), TPath::Exception);
}

// Which removals succeed is the platform's (see file_functions_test.cc); the
// facade picks the directory rule and turns failures into Warn lines.
TEST_F(FilesystemTest, RemovalsPickTheDirectoryRuleAndNeverThrow) {
  WriteFile(dir_.Sub("tree/a/b.txt"), "x");
  EXPECT_EQ(fs_.RemovePath(TPath(dir_.Sub("tree"))), RemovalResult::kFailed);
  EXPECT_TRUE(Exists(dir_.Sub("tree/a/b.txt")));
  {
    zor::platform::DirectoryHandle parent;
    ASSERT_EQ(parent.Open(TPath(dir_.path())), 0);
    // A link inside is removed, never followed.
    std::filesystem::create_directory_symlink(outside_.path(), dir_.Sub("tree/a/out"));
    WriteFile(outside_.Sub("kept.txt"), "x");
    EXPECT_EQ(fs_.RemoveOwnTreeAt(parent, "tree", TPath(dir_.Sub("tree"))),
              RemovalResult::kRemoved);
    EXPECT_TRUE(Exists(outside_.Sub("kept.txt")));
    // Another user's folder or file in the tree is not taken, and the tree stays.
    if (geteuid() == 0) {
      for (const std::string theirs : {"mixed/theirs", "mixed/their.txt"}) {
        SCOPED_TRACE(theirs);
        WriteFile(dir_.Sub("mixed/theirs/file.txt"), "x");
        WriteFile(dir_.Sub("mixed/their.txt"), "x");
        ASSERT_EQ(chown(dir_.Sub(theirs).c_str(), 65534, 65534), 0);
        EXPECT_EQ(fs_.RemoveOwnTreeAt(parent, "mixed", TPath(dir_.Sub("mixed"))),
                  RemovalResult::kRefused);
        EXPECT_TRUE(Exists(dir_.Sub(theirs)));
        ASSERT_EQ(chown(dir_.Sub(theirs).c_str(), 0, 0), 0);
      }
    }
  }
  EXPECT_FALSE(Exists(dir_.Sub("tree")));
  // What is not there is no failure, but nothing was removed either.
  EXPECT_EQ(fs_.RemovePath(TPath(dir_.Sub("tree"))), RemovalResult::kAbsent);

  // Even root may not unlink a file of /proc: a real failure, reported in the
  // log with the path and not thrown.
  ::testing::internal::CaptureStderr();
  const std::string logged = StdoutOf(
      [&] { EXPECT_EQ(fs_.RemovePath(TPath("/proc/self/status")), RemovalResult::kFailed); });
  EXPECT_THAT(logged + ::testing::internal::GetCapturedStderr(),
              ::testing::HasSubstr("cannot remove '/proc/self/status'"));
}

// A state file's rename must be followed by a sync of its directory. The sync
// is seen for real where it cannot be done: a directory that its owner may
// write and search but not read (so not open) takes the rename, not the sync.
TEST_F(FilesystemTest, RenamePathSyncsTheDirectory) {
  const std::string dir = dir_.Sub("data");
  WriteFile(dir + "/a.pending", "{}");
  constexpr uid_t kNobody = 65534;
  const uid_t owner = getuid() == 0 ? kNobody : getuid();
  ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);
  ASSERT_EQ(chown(dir.c_str(), owner, static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0300), 0);
  const auto r = zor::test::RunInChild([&] {
    // Root reads any directory; only its owner is refused.
    if (getuid() == 0 && setuid(kNobody) != 0) return 2;
    fs_.RenamePath(TPath(dir + "/a.pending"), TPath(dir + "/a.started"));
    return 0;
  });
  chmod(dir.c_str(), 0700);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Exists(dir + "/a.started"));
  EXPECT_THAT(r.out, ::testing::HasSubstr("cannot sync the directory: Permission denied"));
  EXPECT_THAT(r.out, ::testing::HasSubstr(dir + "/a.started"));
}

// Whoever may rename an entry of a folder above the data folder, or of one
// the configured path passes through, or owns a link on the way, can put a
// link there between the check and the rename over the target.
TEST_F(FilesystemTest, SavesRefuseAFolderAboveThatAnotherGroupMayWrite) {
  if (getuid() != 0) GTEST_SKIP() << "needs root to give a folder to another group";
  constexpr gid_t kNogroup = 65534;
  constexpr uid_t kNobody = 65534;
  struct Case {
    const char* name;
    mode_t aboveMode;
    gid_t aboveGroup;
    bool throughLink, othersLink, refused;
    gid_t runAs = 0;  // the effective group: "own" group of the run
  };
  const Case cases[] = {
      {"another group may write", 0775, kNogroup, false, false, true},
      {"a link in a folder another group may write", 0775, kNogroup, true, false, true},
      {"root's group may write", 0775, 0, true, false, false},
      {"sticky, another group may write", 01775, kNogroup, false, false, false},
      {"another user's link in a sticky folder", 01777, 0, true, true, true},
      // nobody's primary group: the run's own group, but not the run's alone
      {"own group, another user's too", 0775, kNogroup, false, false, true, kNogroup},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string above = dir_.Sub(c.name);
    std::string data = above + "/data";
    std::filesystem::create_directories(data);
    if (c.throughLink) {
      std::filesystem::rename(data, outside_.Sub(c.name));
      std::filesystem::create_directory_symlink(outside_.Sub(c.name), data);
      if (c.othersLink) {
        ASSERT_EQ(lchown(data.c_str(), kNobody, kNogroup), 0);
      }
    }
    ASSERT_EQ(chown(above.c_str(), 0, c.aboveGroup), 0);
    ASSERT_EQ(chmod(above.c_str(), c.aboveMode), 0);
    std::string error;
    ASSERT_EQ(setegid(c.runAs), 0);
    try {
      fs_.WriteFileAtomically(TPath(data + "/metrics.json"), "{}");
    } catch (const TPath::Exception& e) {
      error = e.what();
    }
    ASSERT_EQ(setegid(0), 0);
    if (c.othersLink) {
      EXPECT_THAT(error, ::testing::HasSubstr("the link '" + data + "' on the way"));
    } else if (c.refused) {
      EXPECT_THAT(error, ::testing::HasSubstr("'" + above + "', is writable by group"));
    } else {
      EXPECT_EQ(error, "");
    }
    EXPECT_EQ(Exists(data + "/metrics.json"), !c.refused);
  }
}
}  // namespace
}  // namespace ZorErrorReporting
