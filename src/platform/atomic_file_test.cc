#include "platform/atomic_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

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

}  // namespace
}  // namespace zor::platform
