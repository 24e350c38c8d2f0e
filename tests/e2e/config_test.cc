// The program with a configuration file: where its log goes, and how a bad
// setting ends the run before logging is set up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>

#include "support/local_crash_server.h"
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

// The default file of the working directory, with CRLF line ends and an
// environment reference in a quoted value, puts the log where it says; a
// dump directory it names that is not there hides every crash meant to be in
// it, which each run says.
TEST_F(ConfigFileTest, DefaultFilePutsTheLogWhereItSaysAndAMissingDumpDirectoryIsWarnedOf) {
  LocalCrashServer server;
  const std::string logs = dir_.Sub("from-env/my logs");
  const std::string missing = dir_.Sub("not-mounted");
  WriteFile(dir_.Sub("zorcrashreporter.yml"),
            "# test\r\nservercrashupload.log.dir: '<%=ENV[ZOR_TEST_LOGS]%>/my logs'\r\n"
            "servercrashupload.data.dir: data\r\nservercrashupload.upload_endpoint: " +
                server.BaseUrl() + "\r\nservercrashupload.rsa_endpoint: " + server.BaseUrl() +
                "/crash/key\r\nservercrashupload.dump.dirs: [" + missing + "]\r\n");
  ProcessOptions options;
  options.environment["ZOR_TEST_LOGS"] = dir_.Sub("from-env");
  for (int run = 0; run < 2; ++run) {
    const ProcessResult r = Run({"--command", "send-crashes"}, options);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_THAT(r.out, HasSubstr("Log file located at " + logs + "/zorcrashreporter.txt\n"));
    EXPECT_THAT(r.out, HasSubstr("The dump directory '" + missing + "' cannot be read (No such "
                                 "file or directory): no crash is looked for in it."));
  }
  EXPECT_THAT(ReadFile(logs + "/zorcrashreporter.txt"), HasSubstr("\"k\":\"crashes-upload\""));
  EXPECT_FALSE(fs::exists(dir_.Sub("logs")));
}

// Mistakes an operator makes, each caught before any package is made: the
// crash waiting in the dump directory is not packaged. The messages are the
// parser's and the loader's (config_parser_test.cc, config_test.cc); a bad
// value the log settings need ends the run before any log directory exists.
TEST_F(ConfigFileTest, MistakesAreNamedBeforeAnythingChanges) {
  const std::string conf = dir_.Sub("conf.yml");
  const std::string base = "servercrashupload.data.dir: " + dir_.Sub("data") +
                           "\nservercrashupload.dump.dirs: [" + dir_.Sub("dumps") + "]\n" +
                           "servercrashupload.upload_endpoint: http://127.0.0.1:9\n";
  const struct {
    std::string file;  // empty: no file at all
    int status;
    std::string message;
    bool logs = true;  // false: no log directory is made
    // The file another user could rewrite: writable by others, or theirs.
    bool othersMayWrite = false;
    uid_t owner = 0;  // 0: the file stays this user's
    std::vector<std::string> options = {};  // on the command line besides the file
  } cases[] = {
      {"", -3, "could not find or move file, directory, or link"},
      {"missing folder", -3, "cannot be read, nor can its folder '" + dir_.Sub("none") + "'"},
      {"servercrashupload.log.dir: <%=ENV[ZOR_TEST_UNSET]%>\n", -1,
       "invalid environment variable(s), in config file '" + conf + "'\n", false},
      {"servercrashupload.http_put_timeout_in_minutes: 0\n", -1,
       "Setting 'servercrashupload.http_put_timeout_in_minutes' is '0' in config file '" + conf +
           "': a time-out must be a number of minutes of at least a millisecond (0.0000167)\n",
       false},
      {base, -1,
       "Config file '" + conf + "' is not used: the file '" + conf +
           "' is writable by group or others, so another user could choose",
       false, true},
      {base, -1, "is not used: the file '" + conf + "' belongs to user 65534", false, false, 65534},
      {base + "servercrashupload.upload_part_size_in_bytes: 50MB\n", -1,
       "The setting 'servercrashupload.upload_part_size_in_bytes' has the value '50MB' in "
       "config file '" +
           conf + "', which is not a whole number from 1 to 4294967295."},
      {base + "servercrashupload.max_upload_per_hour: 2\n"
              "servercrashupload.retention.max_total_mb: 0\n",
       -1,
       "Line 4 of config file '" + conf +
           "' names the unknown setting "
           "'servercrashupload.max_upload_per_hour', which is ignored. Did you mean "
           "'servercrashupload.max_uploads_per_hour'?"},
      // An option that stands in for a setting is held to its rule.
      {base,
       -1,
       "Command option 'crash-dump-directories' has the value '[/d,,/e]', which holds an empty "
       "entry",
       true,
       false,
       0,
       {"--crash-dump-directories", "[/d,,/e]"}},
  };
  WriteFile(dir_.Sub("dumps/app.1.dmp"), "MDMP");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    fs::remove(conf);
    const bool missingFolder = c.file == "missing folder";
    if (!c.file.empty() && !missingFolder) WriteFile(conf, c.file);
    if (c.othersMayWrite) fs::permissions(conf, fs::perms::others_write, fs::perm_options::add);
    if (c.owner != 0 && (::geteuid() != 0 || ::chown(conf.c_str(), c.owner, 0) != 0)) continue;
    ProcessOptions options;
    options.unsetEnvironment = {"ZOR_TEST_UNSET"};
    const std::string file = missingFolder ? dir_.Sub("none") + "/conf.yml" : conf;
    std::vector<std::string> args = {"--command", "send-crashes", "--config-file", file};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const ProcessResult r = Run(args, options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_THAT(r.out + r.err, HasSubstr(c.message));
    if (c.status == -3) {
      EXPECT_THAT(r.out, HasSubstr(file));
    }
    EXPECT_TRUE(!fs::exists(dir_.Sub("data")) || fs::is_empty(dir_.Sub("data")));
    if (!c.logs) {
      EXPECT_FALSE(fs::exists(dir_.Sub("logs")));
    }
  }
}

}  // namespace
}  // namespace zor::test
