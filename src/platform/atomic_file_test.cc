#include "platform/atomic_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/tlock_file.h"
#include "support/temp_dir.h"

namespace zor::platform {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using zor::test::ReadFile;
using zor::test::ScopedTempDir;
using zor::test::WriteFile;

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

// Two writers of one target (send-logs beside send-crashes) each get a
// temporary file of their own, and the sweep of leftovers can tell whose it is.
TEST(AtomicFileTest, TwoWritersOfOneTargetShareNoTemporaryFile) {
  ScopedTempDir dir;
  const std::string target = dir.Sub("p.uploaded.parts");
  AtomicFile first(target);
  AtomicFile second(target);
  first.Open();
  second.Open();
  first.Write("first");
  second.Write("second");
  EXPECT_NE(first.GetTemporaryPath(), second.GetTemporaryPath());
  for (const AtomicFile* file : {&first, &second}) {
    const TString name = file->GetTemporaryPath().Filename();
    EXPECT_THAT(name.toStdString(),
                StartsWith(".p.uploaded.parts." + std::to_string(getpid()) + "."));
    EXPECT_EQ(AtomicFile::WriterOf(name), std::optional<pid_t>(getpid()));
  }
  first.Commit();
  second.Commit();
  EXPECT_EQ(ReadFile(target), "second");
  EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"p.uploaded.parts"});

  const std::pair<const char*, std::optional<pid_t>> names[] = {
      {".a.json.42.0123abcd.tmp", 42},
      {".a.42.0123abcd.tmp", 42},
      {".a.json.tmp", std::nullopt},  // an older version's fixed name
      {"a.json.42.0123abcd.tmp", std::nullopt},
      {"..42.0123abcd.tmp", std::nullopt},
      {".a.json.4x.0123abcd.tmp", std::nullopt},
      {".a.json.42.0123abcg.tmp", std::nullopt},
      {".a.json.42.0123abc.tmp", std::nullopt},
      {".a.json.42.0123abcd.tmp.enc", std::nullopt},
  };
  for (const auto& [name, writer] : names) EXPECT_EQ(AtomicFile::WriterOf(name), writer) << name;
}

TEST(AtomicFileTest, TargetChangesOnlyAtCommitAndTheTemporaryFileNeverStays) {
  for (bool commit : {true, false}) {
    SCOPED_TRACE(commit);
    ScopedTempDir dir;
    const std::string target = dir.Sub("state.json");
    WriteFile(target, "old");
    {
      AtomicFile file(target);
      file.Open();
      file.Write("new content");
      file.Sync();
      EXPECT_EQ(ReadFile(target), "old");
      EXPECT_EQ(ReadFile(file.GetTemporaryPath().NativeString()), "new content");
      if (commit) file.Commit();
    }
    EXPECT_EQ(ReadFile(target), commit ? "new content" : "old");
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"state.json"});
  }
}

TEST(AtomicFileTest, FailureNamesThePathAndCause) {
  ScopedTempDir dir;
  try {
    WriteFileAtomically(dir.Sub("missing/state.json"), "x");
    FAIL() << "wrote into a missing directory";
  } catch (const TPath::Exception& e) {
    EXPECT_THAT(e.what(),
                AllOf(HasSubstr("AtomicFile: cannot create '" + dir.Sub("missing/.state.json.")),
                      HasSubstr("No such file or directory")));
    ASSERT_TRUE(e.GetError().has_value());
    EXPECT_EQ(e.GetError()->systemError, ENOENT);
  }
}

// Root's saves and locks in a folder: a link planted under a name root might
// use never makes root write elsewhere, and a folder that another user may
// write or owns is refused with its name, before anything is written.
TEST(AtomicFileTest, SavesAndLocksOnlyInFoldersNoOtherUserMayWrite) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a folder to another user";
  constexpr uid_t kNobody = 65534;
  struct Case {
    const char* name;
    mode_t parentMode, folderMode;
    uid_t folderOwner;
    std::string refused;  // the folder named in the refusal; empty when accepted
  };
  const Case cases[] = {
      {"private", 0755, 0700, 0, ""},
      {"metrics-like, readable by all", 0755, 0755, 0, ""},
      {"under a sticky folder", 01777, 0700, 0, ""},
      {"writable by others", 0755, 0777, 0, "p/f"},
      {"writable by group", 0755, 0770, 0, "p/f"},
      {"owned by another user", 0755, 0700, kNobody, "p/f"},
      {"under a folder others may write", 0777, 0700, 0, "p"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir dir;
    const std::string parent = dir.Sub("p");
    const std::string folder = dir.Sub("p/f");
    std::filesystem::create_directories(folder);
    ASSERT_EQ(::chmod(parent.c_str(), c.parentMode), 0);
    ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);
    ASSERT_EQ(::chown(folder.c_str(), c.folderOwner, 0), 0);
    WriteFile(dir.Sub("victim"), "root's");
    // The names an older version would have used, aimed at root's file.
    std::filesystem::create_symlink(dir.Sub("victim"), folder + "/.state.json.tmp");
    std::filesystem::create_symlink(dir.Sub("victim"), folder + "/app.lock");

    const std::string refused = c.refused.empty() ? "" : "'" + dir.Sub(c.refused) + "'";
    std::string saveError;
    try {
      WriteFileAtomically(folder + "/state.json", "new");
    } catch (const TPath::Exception& e) {
      saveError = e.what();
    }
    std::string lockError;
    try {
      TLockFile lock{TPath(folder + "/app.lock")};
    } catch (const TPath::Exception& e) {
      lockError = e.what();
    }
    if (refused.empty()) {
      EXPECT_EQ(saveError, "");
      EXPECT_EQ(ReadFile(folder + "/state.json"), "new");
      EXPECT_THAT(lockError, HasSubstr("Too many levels of symbolic links"));
    } else {
      EXPECT_THAT(saveError, AllOf(HasSubstr(refused), HasSubstr("state.json")));
      EXPECT_THAT(lockError, AllOf(HasSubstr(refused), HasSubstr("app.lock")));
      EXPECT_FALSE(std::filesystem::exists(folder + "/state.json"));
    }
    EXPECT_EQ(ReadFile(dir.Sub("victim")), "root's");
  }
}

}  // namespace
}  // namespace zor::platform
