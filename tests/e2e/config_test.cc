// The program with a configuration file: where its log goes, and how a bad
// setting ends the run before logging is set up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace zor::test {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

class ConfigFileTest : public ::testing::Test {
 protected:
  ProcessResult Run(const std::vector<std::string>& args, ProcessOptions options = {}) {
    options.workingDirectory = dir_.path();
    options.environment.emplace("HOME", dir_.Sub("home"));
    return RunProcess(ProgramPath(), args, options);
  }
  ScopedTempDir dir_;
};

TEST_F(ConfigFileTest, LogFileGoesToTheConfiguredDirectory) {
  const std::string logs = dir_.Sub("elsewhere/my logs");
  WriteFile(dir_.Sub("conf.yml"), "# test\nservercrashupload.log.dir: '" + logs + "'\n");
  const ProcessResult r = Run({"--command", "send-crashes", "--config-file", "conf.yml"});
  EXPECT_EQ(r.status, -1);  // no crash server at the default address
  EXPECT_THAT(r.out, HasSubstr("Log file located at " + logs + "/zorcrashreporter.txt\n"));
  EXPECT_THAT(ReadFile(logs + "/zorcrashreporter.txt"), HasSubstr("\"k\":\"crashes-upload\""));
  EXPECT_FALSE(fs::exists(dir_.Sub("logs")));
}

TEST_F(ConfigFileTest, DefaultFileInTheWorkingDirectoryIsRead) {
  WriteFile(dir_.Sub("zorcrashreporter.yml"),
            "servercrashupload.log.dir: <%=ENV[ZOR_TEST_LOGS]%>/sub\r\n");
  ProcessOptions options;
  options.environment["ZOR_TEST_LOGS"] = dir_.Sub("from-env");
  const ProcessResult r = Run({"--command", "send-crashes"}, options);
  EXPECT_TRUE(fs::exists(dir_.Sub("from-env/sub/zorcrashreporter.txt"))) << r.out;
}

// The messages of bad values are the parser's and the loader's (see
// config_parser_test.cc, config_test.cc); here each ends the real run, before
// any log directory exists.
TEST_F(ConfigFileTest, BadSettingEndsTheRunBeforeLogging) {
  const std::string conf = dir_.Sub("conf.yml");
  const struct {
    std::string line;
    std::string message;
  } cases[] = {
      {"servercrashupload.log.dir: <%=ENV[ZOR_TEST_UNSET]%>",
       "invalid environment variable(s), in config file '" + conf + "'\n"},
      {"servercrashupload.http_put_timeout_in_minutes: 0",
       "Setting 'servercrashupload.http_put_timeout_in_minutes' is '0' in config file '" + conf +
           "': a time-out must be a positive number of minutes\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    WriteFile(conf, c.line + "\n");
    ProcessOptions options;
    options.unsetEnvironment = {"ZOR_TEST_UNSET"};
    const ProcessResult r = Run({"--command", "send-crashes", "--config-file", conf}, options);
    EXPECT_EQ(r.status, -1);
    EXPECT_THAT(r.out, HasSubstr(c.message));
    EXPECT_FALSE(fs::exists(dir_.Sub("logs")));
  }
}

TEST_F(ConfigFileTest, MissingConfigurationFileIsReported) {
  const ProcessResult r =
      Run({"--command", "send-crashes", "--config-file", dir_.Sub("absent.yml")});
  EXPECT_EQ(r.status, -4);
  EXPECT_THAT(r.out, HasSubstr(dir_.Sub("absent.yml")));
}

}  // namespace
}  // namespace zor::test
