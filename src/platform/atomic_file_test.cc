#include "platform/atomic_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace zor::platform {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using zor::test::ReadFile;
using zor::test::ScopedTempDir;
using zor::test::WriteFile;

TEST(AtomicFileTest, TemporaryFileIsHiddenBesideTheTarget) {
  EXPECT_EQ(AtomicFile::TemporaryPathFor("/d/p.uploaded.parts"), TPath("/d/.p.uploaded.parts.tmp"));
  EXPECT_EQ(AtomicFile::TemporaryPathFor("p.json"), TPath(".p.json.tmp"));
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
      EXPECT_EQ(ReadFile(target), "old");
      EXPECT_EQ(ReadFile(file.GetTemporaryPath().NativeString()), "new content");
      if (commit) file.Commit();
    }
    EXPECT_EQ(ReadFile(target), commit ? "new content" : "old");
    EXPECT_FALSE(std::filesystem::exists(dir.Sub(".state.json.tmp")));
  }
}

TEST(AtomicFileTest, FailureNamesThePathAndCause) {
  ScopedTempDir dir;
  try {
    WriteFileAtomically(dir.Sub("missing/state.json"), "x");
    FAIL() << "wrote into a missing directory";
  } catch (const TPath::Exception& e) {
    EXPECT_THAT(e.what(), AllOf(HasSubstr(dir.Sub("missing/.state.json.tmp")),
                                HasSubstr("No such file or directory")));
    ASSERT_TRUE(e.GetError().has_value());
    EXPECT_EQ(e.GetError()->systemError, ENOENT);
  }
}

}  // namespace
}  // namespace zor::platform
