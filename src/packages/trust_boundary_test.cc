#include "packages/trust_boundary.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

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
    WriteFile(outside_.Sub("secret"), "secret");
    std::filesystem::create_directory_symlink(outside_.path(), dumps_.Sub("out"));
    std::filesystem::create_directory_symlink("/etc", dumps_.Sub("etc"));
    std::filesystem::create_symlink(dumps_.Sub("a.dmp"), dumps_.Sub("inner-link"));
  }
  TPath Dump(const std::string& relative) const { return TPath(dumps_.Sub(relative)); }

  ScopedTempDir dumps_;
  ScopedTempDir outside_;
  // A symbolic link as the configured directory is resolved like any other.
  TrustBoundary boundary_{{TPath(dumps_.path())}};
};

// Read: only regular files that resolve inside. Delete: only entries strictly
// inside; a link goes, never what it points at.
TEST_F(TrustBoundaryTest, ReadsAndDeletesOnlyInside) {
  struct Case {
    std::string path;
    bool read, deleted;
  };
  const Case cases[] = {
      {dumps_.Sub("a.dmp"), true, true},
      {dumps_.Sub("inner-link"), true, true},
      {dumps_.Sub("etc/passwd"), false, false},
      {dumps_.Sub("out"), false, true},
      {dumps_.Sub("out/secret"), false, false},
      {outside_.Sub("secret"), false, false},
      {dumps_.Sub("sub/../../") + TPath(outside_.path()).Filename().toStdString() + "/secret",
       false, false},
      {dumps_.Sub("sub"), false, true},
      {dumps_.path(), false, false},
      {dumps_.Sub("missing.dmp"), false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(boundary_.WhyNotRead(TPath(c.path), Dump("own.manifest")).isEmpty(), c.read);
    EXPECT_EQ(boundary_.WhyNotDeleted(TPath(c.path), Dump("own.manifest")).isEmpty(), c.deleted);
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
  EXPECT_FALSE(boundary_.WhyNotDeleted(Dump("a.dmp"), namer).isEmpty());
  // The program's own record may name any user's file inside.
  EXPECT_TRUE(boundary_.WhyNotRead(Dump("nobody.dmp"), Dump("own.manifest")).isEmpty());
}

}  // namespace
}  // namespace ZorErrorReporting
