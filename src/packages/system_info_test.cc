#include "packages/system_info.h"

#include <gtest/gtest.h>

#include <string>

#include "support/subprocess.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::TString;

// What uname prints for `flag`, without the line break.
std::string Uname(const char* flag) {
  const zor::test::ProcessResult result = zor::test::RunProcess("/usr/bin/uname", {flag});
  EXPECT_EQ(result.status, 0) << result.err;
  return result.out.substr(0, result.out.find('\n'));
}

TEST(SystemInfoTest, FactsAgreeWithUname) {
  const SystemInfo& system = SystemInfo::Get();
  EXPECT_EQ(system.GetComputerName(), TString(Uname("-n")));
  // "6.1.0-18-amd64" reports as "6.1.0".
  const std::string release = Uname("-r");
  const TString version = system.GetOsVersion();
  EXPECT_EQ(release.rfind(version.toStdString(), 0), 0u) << release << " vs " << version;
  EXPECT_EQ(version.split(".").size(), 3u);
  EXPECT_EQ(system.GetProcessorArchitecture(), Uname("-m") == "x86_64" ? "x86_64" : "x86");
  EXPECT_EQ(system.GetOsName(), TString(Uname("-s")));
}

}  // namespace
}  // namespace ZorErrorReporting
