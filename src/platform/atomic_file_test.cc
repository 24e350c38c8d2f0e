#include "platform/atomic_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace zor::platform {
namespace {

using zor::test::ReadFile;
using zor::test::ScopedTempDir;
using zor::test::WriteFile;

TEST(AtomicFileTest, TemporaryFileIsHiddenBesideTheTarget) {
  EXPECT_EQ(AtomicFile::TemporaryPathFor("/d/p.pending"), TPath("/d/.p.pending.tmp"));
  EXPECT_EQ(AtomicFile::TemporaryPathFor("/d/p.uploaded.parts"), TPath("/d/.p.uploaded.parts.tmp"));
  EXPECT_EQ(AtomicFile::TemporaryPathFor("p.json"), TPath(".p.json.tmp"));
}

TEST(AtomicFileTest, TargetChangesOnlyAtCommit) {
  ScopedTempDir dir;
  const std::string target = dir.Sub("state.json");
  WriteFile(target, "old");
  {
    AtomicFile file(target);
    file.Open();
    file.Write("new content");
    EXPECT_EQ(ReadFile(target), "old");
    EXPECT_EQ(ReadFile(file.GetTemporaryPath().NativeString()), "new content");
    file.Commit();
  }
  EXPECT_EQ(ReadFile(target), "new content");
  EXPECT_FALSE(std::filesystem::exists(dir.Sub(".state.json.tmp")));
}

TEST(AtomicFileTest, AbandonedWriteRemovesTemporaryFile) {
  ScopedTempDir dir;
  const std::string target = dir.Sub("state.json");
  WriteFile(target, "old");
  {
    AtomicFile file(target);
    file.Open();
    file.Write("half");
  }
  EXPECT_EQ(ReadFile(target), "old");
  EXPECT_FALSE(std::filesystem::exists(dir.Sub(".state.json.tmp")));
}

TEST(AtomicFileTest, FailureNamesThePathAndCause) {
  ScopedTempDir dir;
  try {
    WriteFileAtomically(dir.Sub("missing/state.json"), "x");
    FAIL() << "wrote into a missing directory";
  } catch (const TPath::Exception& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find(dir.Sub("missing/.state.json.tmp")), std::string::npos) << message;
    EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
    ASSERT_TRUE(e.GetError().has_value());
    EXPECT_EQ(e.GetError()->systemError, ENOENT);
  }
}

}  // namespace
}  // namespace zor::platform
