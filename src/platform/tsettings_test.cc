#include "platform/tsettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace zor::platform {
namespace {

using zor::test::ScopedTempDir;
using zor::test::WriteFile;
namespace fs = std::filesystem;

// The store is read only where no other user could have written it: another
// user's file, FIFO or folder there (a root run with that user's HOME) gives
// nothing, and never blocks.
TEST(TSettingsTest, OnlyAPrivateStoreIsRead) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the store to another user";
  constexpr uid_t kNobody = 65534;
  struct Case {
    const char* what;
    bool fifo;
    mode_t mode;
    uid_t fileOwner, folderOwner;
    const char* expected;
  };
  const Case cases[] = {
      {"own", false, 0644, 0, 0, "de_DE"},
      {"group-writable", false, 0664, 0, 0, ""},
      {"another user's", false, 0644, kNobody, 0, ""},
      {"another user's FIFO", true, 0644, kNobody, 0, ""},
      {"in another user's folder", false, 0644, 0, kNobody, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedTempDir dir;
    const std::string folder = dir.Sub("zorvane");
    const std::string store = folder + "/zorvane.ini";
    fs::create_directories(folder);
    if (c.fifo) {
      ASSERT_EQ(::mkfifo(store.c_str(), c.mode), 0);
    } else {
      WriteFile(store, "[Group34]\nLanguageCode=de_DE\n");
    }
    ASSERT_EQ(::chmod(store.c_str(), c.mode), 0);
    ASSERT_EQ(::chown(store.c_str(), c.fileOwner, c.fileOwner), 0);
    ASSERT_EQ(::chown(folder.c_str(), c.folderOwner, c.folderOwner), 0);
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(TSettings::GetStringValue(34, "LanguageCode", ""), TString(c.expected));
    ::unsetenv("XDG_CONFIG_HOME");
  }
}

}  // namespace
}  // namespace zor::platform
