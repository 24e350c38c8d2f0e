#include "platform/tsettings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
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
    std::function<void(const std::string& folder, const std::string& store)> make;
    const char* expected;
  };
  const auto write = [](const std::string&, const std::string& store) {
    WriteFile(store, "[Group34]\nLanguageCode=de_DE\n");
  };
  const Case cases[] = {
      {"own", write, "de_DE"},
      {"group-writable",
       [&](const std::string& folder, const std::string& store) {
         write(folder, store);
         ::chmod(store.c_str(), 0664);
       },
       ""},
      {"another user's",
       [&](const std::string& folder, const std::string& store) {
         write(folder, store);
         ASSERT_EQ(::chown(store.c_str(), kNobody, kNobody), 0);
       },
       ""},
      {"another user's FIFO",
       [](const std::string&, const std::string& store) {
         ASSERT_EQ(::mkfifo(store.c_str(), 0644), 0);
         ASSERT_EQ(::chown(store.c_str(), kNobody, kNobody), 0);
       },
       ""},
      {"in another user's folder",
       [&](const std::string& folder, const std::string& store) {
         write(folder, store);
         ASSERT_EQ(::chown(folder.c_str(), kNobody, kNobody), 0);
       },
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedTempDir dir;
    const std::string folder = dir.Sub("zorvane");
    fs::create_directories(folder);
    c.make(folder, folder + "/zorvane.ini");
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(TSettings::GetStringValue(34, "LanguageCode", ""), TString(c.expected));
    ::unsetenv("XDG_CONFIG_HOME");
  }
}

}  // namespace
}  // namespace zor::platform
