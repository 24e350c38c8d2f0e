#include "platform/standard_paths.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <iostream>

#include "platform/app_config.h"
#include "platform/tsettings.h"
#include "support/subprocess.h"

namespace zor::platform {
namespace {

// Without HOME every default below the home directory still agrees, on the
// home the user database names (never the working directory or "/").
TEST(StandardPathsTest, DefaultsAgreeOnTheHomeWithOrWithoutHomeSet) {
  const passwd* user = getpwuid(getuid());
  ASSERT_NE(user, nullptr);
  struct Case {
    const char* home;  // nullptr: unset
    std::string expectedHome;
  };
  const Case cases[] = {{nullptr, user->pw_dir}, {"", user->pw_dir}, {"/h", "/h"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.home == nullptr ? "unset" : c.home);
    const auto r = zor::test::RunInChild([&] {
      for (const char* name : {"XDG_STATE_HOME", "XDG_CONFIG_HOME"}) unsetenv(name);
      if (c.home == nullptr) {
        unsetenv("HOME");
      } else {
        setenv("HOME", c.home, 1);
      }
      std::cout << UserHomeDirectory() << "\n"
                << AppConfig::LogGetDefaultDir() << "\n"
                << TSettings::StorePath() << "\n";
      return 0;
    });
    const std::string& home = c.expectedHome;
    EXPECT_EQ(r.out, home + "\n" + home + "/.local/state/zorvane/logs\n" + home +
                         "/.config/zorvane/zorvane.ini\n");
  }
}

}  // namespace
}  // namespace zor::platform
