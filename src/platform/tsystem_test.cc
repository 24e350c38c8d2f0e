#include "platform/tsystem.h"

#include <gtest/gtest.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <tuple>

#include "support/temp_dir.h"

namespace zor::platform {
namespace {

std::string FirstLineOf(const char* path) {
  const std::string text = zor::test::ReadFile(path);
  return text.substr(0, text.find('\n'));
}

TEST(TSystemTest, KernelReleaseSplitsIntoNumbers) {
  const struct {
    const char* release;
    int major, minor, build;
  } cases[] = {
      {"6.1.0-18-amd64", 6, 1, 0},
      {"5.15.167.4-microsoft-standard-WSL2", 5, 15, 167},
      {"4.19.0rc1", 4, 19, 0},
      {"6.8", 6, 8, 0},
      {"3", 3, 0, 0},
      {"", 0, 0, 0},
      {"custom", 0, 0, 0},
  };
  for (const auto& c : cases) {
    const OSVersionInfo v = TSystem::ParseOSRelease(c.release);
    EXPECT_EQ(std::tuple(v.major, v.minor, v.build), std::tuple(c.major, c.minor, c.build))
        << c.release;
  }
}

// Host name and word size are checked against uname where SystemInfo reports
// them.
TEST(TSystemTest, ReleaseIsTheKernelsAndDomainTheHostNamesTail) {
  EXPECT_EQ(TSystem::OSVersion().release.toStdString(), FirstLineOf("/proc/sys/kernel/osrelease"));
  const TString domain = TSystem::ComputerDNSDomainName();
  EXPECT_FALSE(domain.startsWith(".") || domain.endsWith(".")) << domain;
  const TString host = TSystem::ComputerName();
  if (host.contains(".")) {
    EXPECT_EQ(domain, host.mid(host.Find(".") + 1));
  }
}

TEST(TSystemTest, EnvironmentStringTellsUnsetFromEmpty) {
  const char* name = "ZOR_TSYSTEM_TEST_VARIABLE";
  const std::pair<const char*, TString> cases[] = {
      {nullptr, "fallback"}, {"", ""}, {"Gr\u00fc\u00dfe", TString(QString::fromUtf16(u"Grüße"))}};
  for (const auto& [value, expected] : cases) {
    value ? setenv(name, value, 1) : unsetenv(name);
    EXPECT_EQ(TSystem::EnvironmentString(name, "fallback"), expected) << (value ? value : "unset");
  }
  unsetenv(name);
}

// Runs BeingDebugged in a child, traced by this process when `traced`, and
// returns its answer; nullopt when tracing is not allowed here.
std::optional<bool> BeingDebuggedInChild(bool traced) {
  const pid_t pid = fork();
  if (pid == 0) {
    if (traced && ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(3);
    _exit(TSystem::BeingDebugged() ? 1 : 0);
  }
  int status = 0;
  // A traced child stops at every signal it gets; pass each one on.
  while (waitpid(pid, &status, 0) == pid && WIFSTOPPED(status)) {
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(WSTOPSIG(status)));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) return std::nullopt;
  return WEXITSTATUS(status) == 1;
}

TEST(TSystemTest, BeingDebuggedFollowsTracing) {
  const auto untraced = BeingDebuggedInChild(false);
  ASSERT_TRUE(untraced.has_value());
  EXPECT_FALSE(*untraced);
  const auto traced = BeingDebuggedInChild(true);
  if (!traced.has_value()) GTEST_SKIP() << "ptrace is not permitted here";
  EXPECT_TRUE(*traced);
}

}  // namespace
}  // namespace zor::platform
