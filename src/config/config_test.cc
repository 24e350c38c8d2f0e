#include "config/config.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <tuple>

#include "config/overrides.h"
#include "platform/app_config.h"
#include "platform/error_of_for_test.h"
#include "platform/zorvane_exception.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using test::ScopedEnv;
using zor::platform::AppConfig;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
using zor::test::ErrorOf;

class ConfigTest : public ::testing::Test {
 protected:
  ConfigTest() { ConfigOverrides::SetTestInstance(&overrides_); }
  ~ConfigTest() override { ConfigOverrides::SetTestInstance(nullptr); }

  // Writes `content` to a new file of the temp dir and loads it (loading the
  // same path again would keep the settings read before).
  std::string Load(const std::string& content) {
    const std::string path = dir_.Sub(std::to_string(++loads_) + ".yml");
    zor::test::WriteFile(path, content);
    config_.Load(TPath(path));
    return path;
  }
  zor::test::ScopedTempDir dir_;
  int loads_ = 0;
  ConfigOverrides overrides_;
  Config config_;
  ScopedEnv upload_{"zorcrashreporter_upload_endpoint", std::nullopt};
  ScopedEnv rsa_{"zorcrashreporter_rsa_endpoint", std::nullopt};
  ScopedEnv channel_{"zorcrashreporter_channel", std::nullopt};
  ScopedEnv cert_{"zorcrashreporter_disable_cert_validation", std::nullopt};
  ScopedEnv localAppData_{"LOCALAPPDATA", dir_.Sub("local")};
  ScopedEnv stateHome_{"XDG_STATE_HOME", dir_.Sub("state")};
};

// Where the data directory goes is LocalDataFolderChoice's.
TEST_F(ConfigTest, DefaultsWithoutFile) {
  EXPECT_TRUE(TString(config_.GetUploadEndpoint()).startsWith("https://"));
  EXPECT_EQ(TString(config_.GetRsaEndpoint()), TString(config_.GetUploadEndpoint()) + "/crash/key");
  EXPECT_EQ(config_.GetChannel(), "External");
  EXPECT_EQ(config_.GetDumpDirectories(), std::vector<TPath>{AppConfig::LogGetDefaultDir()});
  // Certificate check, symlinks, deletion, preserving packages.
  EXPECT_EQ(std::tuple(config_.GetDisableCertValidation(), config_.GetFollowSymlinks(),
                       config_.GetDeleteCompletedDumps(), config_.GetPreserveUploadPackages()),
            std::tuple(false, false, true, false));
  EXPECT_EQ(std::tuple(config_.GetHttpGetTimeout(), config_.GetHttpPutTimeout(),
                       config_.GetUploadPartSize()),
            std::tuple(int64_t{60000}, int64_t{600000}, uint32_t{52428800}));
  EXPECT_TRUE(config_.GetLogDirectory().IsEmpty());
  // Without a file no setting is missing, whatever the mode.
  for (auto mode :
       {Config::Mode::kOptional, Config::Mode::kPresent, Config::Mode::kPresentWithValue}) {
    EXPECT_TRUE(config_.GetValue("servercrashupload.data.dir", mode).isEmpty());
  }
}

TEST_F(ConfigTest, ModesNameKeyAndFile) {
  const std::string path = Load("empty: \nfull: x\n");
  // Absent from a file, the fleet's limits are off.
  EXPECT_FALSE(config_.GetRetentionMaxAgeDays());
  EXPECT_FALSE(config_.GetRetentionMaxTotalMb());
  EXPECT_FALSE(config_.GetMaxUploadsPerHour());
  EXPECT_TRUE(config_.GetMetricsFile().IsEmpty());
  using M = Config::Mode;
  EXPECT_TRUE(config_.GetValue("absent", M::kOptional).isEmpty());
  EXPECT_TRUE(config_.GetValue("empty", M::kPresent).isEmpty());
  EXPECT_EQ(config_.GetValue("full", M::kPresentWithValue), "x");
  const std::string missing =
      "Mandatory config setting 'absent' is missing from config file '" + path + "'";
  EXPECT_EQ(ErrorOf([&] { config_.GetValue("absent", M::kPresent); }), missing);
  EXPECT_EQ(ErrorOf([&] { config_.GetValue("absent", M::kPresentWithValue); }), missing);
  EXPECT_EQ(ErrorOf([&] { config_.GetValue("empty", M::kPresentWithValue); }),
            "Mandatory config setting 'empty' is missing a value from config file '" + path + "'");
}

TEST_F(ConfigTest, FileValuesAndEnvironmentFallbacks) {
  ScopedEnv rsa{"zorcrashreporter_rsa_endpoint", "https://env/key"};
  ScopedEnv channel{"zorcrashreporter_channel", "FromEnv"};
  ScopedEnv cert{"zorcrashreporter_disable_cert_validation", "True"};
  ScopedEnv ch{"ZCT_CH", "Beta"};
  Load(
      "servercrashupload.upload_endpoint: https://host:8443/up//\n"
      "servercrashupload.channel: '<%=ENV[ZCT_CH]%>'\n"
      "servercrashupload.data.dir: \"'/srv/da'ta'\"\n"
      "servercrashupload.log.dir: '/var/lo'g'\n"
      "servercrashupload.http_get_timeout_in_minutes: '2'\n"
      "servercrashupload.http_put_timeout_in_minutes: 0.5\n"
      "servercrashupload.upload_part_size_in_bytes: 1024\n"
      "servercrashupload.upload_bandwidth_limit_in_bytes: 5000000000\n"
      "servercrashupload.proxy_server_host: proxy.local\n"
      "servercrashupload.proxy_server_port: 3128\n"
      "servercrashupload.proxy_server_username: u\n"
      "servercrashupload.proxy_server_password: p: w\n"
      "servercrashupload.dump.dirs.follow_symlinks: TRUE\n"
      "servercrashupload.retention.max_age_days: 365\n"
      "servercrashupload.retention.max_total_mb: '128'\n"
      "servercrashupload.max_uploads_per_hour: 4294967295\n"
      "servercrashupload.metrics.file: '/m/z.prom'\n");
  EXPECT_EQ(TString(config_.GetUploadEndpoint()), "https://host:8443/up");
  EXPECT_EQ(TString(config_.GetRsaEndpoint()), "https://env/key");
  {
    ScopedEnv noRsa{"zorcrashreporter_rsa_endpoint", std::nullopt};
    EXPECT_EQ(TString(config_.GetRsaEndpoint()), "https://host:8443/up/crash/key");
  }
  EXPECT_EQ(config_.GetChannel(), "Beta");
  EXPECT_TRUE(config_.GetDisableCertValidation());
  EXPECT_EQ(config_.GetDataDirectory(), TPath("/srv/data"));
  EXPECT_EQ(config_.GetLogDirectory(), TPath("/var/lo'g"));
  EXPECT_EQ(std::tuple(config_.GetHttpGetTimeout(), config_.GetHttpPostTimeout(),
                       config_.GetHttpPutTimeout()),
            std::tuple(int64_t{120000}, int64_t{60000}, int64_t{30000}));
  EXPECT_EQ(std::pair(config_.GetUploadPartSize(), config_.GetUploadBandwidthLimit()),
            std::pair(uint32_t{1024}, uint64_t{5000000000}));
  // A value holding ": " drops the line: no password.
  const ProxySettings proxy = config_.GetProxySettings();
  EXPECT_EQ(std::tuple(proxy.host, proxy.port, proxy.username, proxy.password),
            std::tuple(TString("proxy.local"), 3128, TString("u"), TString()));
  EXPECT_TRUE(config_.GetFollowSymlinks());
  EXPECT_EQ(std::tuple(config_.GetRetentionMaxAgeDays(), config_.GetRetentionMaxTotalMb(),
                       config_.GetMaxUploadsPerHour(), config_.GetMetricsFile()),
            std::tuple(365u, 128u, 4294967295u, TPath("/m/z.prom")));
}

// A slip in a key would otherwise pass in silence: the setting keeps its
// default and nothing says why. Which key is suggested is
// known_settings_test.cc's.
TEST_F(ConfigTest, UnknownKeysAndMalformedLinesAreNamedWithTheirLine) {
  const test::ScopedEnv quoted("ZCT_QUOTED", "o'b");
  overrides_.Set({"", "[/c/o'b]", ""});
  const std::string path = Load(
      "servercrashupload.data.dir: d\n"
      "# servercrashupload.nothing: x\n"
      "servercrashupload.metrics_file: /m\n"
      "servercrashupload.future_setting_of_a_newer_version: 1\n"
      "servercrashupload.channel:x\n"
      "other.program.key: 1\n"
      "servercrashupload.data.dir: e\n"
      "  # an indented note\n"
      "SERVERCRASHUPLOAD.CHANNEL: beta\n"
      "servercrashupload.proxy_server_password: hunter2 # the test ring\n"
      "servercrashupload.dump.dirs: ['/d/a', /d/o'b]\n"
      "servercrashupload.log.dir: '/var/log/zor'\n"
      "servercrashupload.metrics.file: /m/<%=ENV[ZCT_QUOTED]%>\n"
      "- servercrashupload.delete_completed_dumps: false\n");
  const std::string at = " of config file '" + path + "'";
  EXPECT_EQ(config_.GetSettingWarnings(),
            (std::vector<TString>{
                "Line 3" + at +
                    " names the unknown setting 'servercrashupload.metrics_file', "
                    "which is ignored. Did you mean 'servercrashupload.metrics.file'?",
                "Line 4" + at +
                    " names the unknown setting 'servercrashupload.future_setting_"
                    "of_a_newer_version', which is ignored.",
                "Line 5" + at +
                    " ('servercrashupload.channel\u2026') is ignored: a setting is "
                    "written 'key: value', with one blank after the colon.",
                "Line 7" + at +
                    " sets 'servercrashupload.data.dir' again (line 1 set it "
                    "first): the last line counts.",
                "Line 9" + at +
                    " names the unknown setting 'SERVERCRASHUPLOAD.CHANNEL', which is ignored. "
                    "Did you mean 'servercrashupload.channel'?",
                "Line 10" + at +
                    " sets 'servercrashupload.proxy_server_password' to a value holding ' #': "
                    "a '#' after the value starts no comment, it is part of the value.",
                "Line 11" + at +
                    " sets 'servercrashupload.dump.dirs' to '['/d/a', /d/o'b]': a single quote is "
                    "removed from a path wherever it stands, so the program uses '/d/a', '/d/ob'.",
                "Line 13" + at +
                    " sets 'servercrashupload.metrics.file' to '/m/o'b': a single quote is "
                    "removed from a path wherever it stands, so the program uses '/m/ob'.",
                "Line 14" + at +
                    " names the unknown setting '- servercrashupload.delete_completed_dumps', "
                    "which is ignored. Did you mean 'servercrashupload.delete_completed_dumps'?",
                "The option '--crash-dump-directories' sets 'servercrashupload.dump.dirs' to "
                "'[/c/o'b]': a single quote is removed from a path wherever it stands, so the "
                "program uses '/c/ob'.",
            }));

  // Nested YAML is refused as a whole, naming the first indented line.
  const std::string nested = dir_.Sub("nested.yml");
  zor::test::WriteFile(nested, "servercrashupload:\n  data.dir: /d\n");
  EXPECT_EQ(ErrorOf([&] { config_.Load(TPath(nested)); }),
            "Line 2 of config file '" + nested +
                "' is indented ('  data.dir\u2026'): the file is a "
                "flat list of 'key: value' lines, such as 'servercrashupload.data.dir: "
                "/var/lib/zorcrashreporter', without sections or indentation.");
  EXPECT_EQ(config_.GetFilePath(), TPath(path));

  // What a line that is no setting holds after its key may be a password.
  const std::string key = "servercrashupload.proxy_server_password";
  for (const std::string& line :
       {key + "=SECRET", key + " SECRET", key + "=SE:CRET", key + "SECRET", "  " + key + ": SECRET",
        "\t" + key + ": SECRET", key + ": |\n  SECRET8pw", key + ":SECRET with: colon"}) {
    zor::test::WriteFile(nested, line + "\n");
    std::string shown;
    try {
      config_.Load(TPath(nested));
    } catch (const ZorvaneException& e) {
      shown = e.GetConcatenatedMessages().toStdString();
    }
    for (const TString& warning : config_.GetSettingWarnings()) shown += warning.toStdString();
    EXPECT_THAT(shown, ::testing::Not(::testing::HasSubstr("SE"))) << line;
    // A block's body names no key; the key of each other line is named.
    if (line.find('|') == std::string::npos) {
      EXPECT_THAT(shown, ::testing::HasSubstr(key)) << line;
    }
  }
}

// Validate reads what a run would read later, so a bad value is refused
// before any package is touched, naming its setting and value. A number read
// as 0 would disable a limit or fail every package; a URL is shown without
// credentials or a query, which could be secrets.
TEST_F(ConfigTest, ValidateRefusesTheFirstBadValueNamingSettingAndValue) {
  Load(
      "servercrashupload.data.dir: d\nservercrashupload.retention.max_total_mb: 128\n"
      "servercrashupload.preserve_upload_packages: FALSE\n");
  EXPECT_NO_THROW(config_.Validate());
  constexpr char kCount[] = "1 to 4294967295";
  const struct {
    const char* key;
    const char* range;
    std::vector<std::string> values;
  } numbers[] = {
      {"retention.max_total_mb", kCount, {"0", "-3", "ten", "1.5", "4294967296"}},
      {"upload_part_size_in_bytes", kCount, {"0", "50MB", "4294967296"}},
      {"upload_bandwidth_limit_in_bytes",
       "0 to 9223372036854775807",
       {"1MB", "9223372036854775808"}},
      {"proxy_server_port", "0 to 65535", {"abc", "65536"}},
  };
  for (const auto& n : numbers) {
    const std::string setting = std::string("servercrashupload.") + n.key;
    for (const std::string& bad : n.values) {
      const std::string path =
          Load("servercrashupload.data.dir: d\n" + setting + ": " + bad + "\n");
      EXPECT_EQ(ErrorOf([&] { config_.Validate(); }),
                "The setting '" + setting + "' has the value '" + bad + "' in config file '" +
                    path + "', which is not a whole number from " + n.range + ".");
    }
  }
  const std::pair<std::string, std::string> urls[] = {
      {"not a url", "not a url"},
      {"ftp://host/x", "ftp://host/x"},
      {"http://", "http://"},
      {"https://[::1", "https://[::1"},
      {"http://usr:se/cret@127.0.0.1:99999/x?sig=1", "http://127.0.0.1:99999/x"},
  };
  for (const auto& [value, shown] : urls) {
    Load("servercrashupload.data.dir: d\nservercrashupload.upload_endpoint: '" + value + "'\n");
    EXPECT_EQ(ErrorOf([&] { config_.Validate(); }),
              "The URL setting 'servercrashupload.upload_endpoint' has the value '" + shown +
                  "', which is not an http or https URL with a host.");
  }
  // The request paths go after the endpoint: not into its query.
  for (const auto& [value, shown] : {std::pair{"http://127.0.0.1:8/?tok=a", "http://127.0.0.1:8/"},
                                     std::pair{"https://h/base#f", "https://h/base"}}) {
    Load("servercrashupload.data.dir: d\nservercrashupload.upload_endpoint: '" +
         std::string(value) + "'\n");
    EXPECT_EQ(ErrorOf([&] { config_.Validate(); }),
              "The URL setting 'servercrashupload.upload_endpoint' has the value '" +
                  std::string(shown) +
                  "', which has a query or a fragment (after a '?' or '#', not shown): the "
                  "request paths are put after it.");
  }
  // A ".." after a link leads elsewhere than the records' names would say.
  std::filesystem::create_directories(dir_.Sub("elsewhere/sub"));
  std::filesystem::create_directory_symlink(dir_.Sub("elsewhere/sub"), dir_.Sub("link"));
  const std::string real = std::filesystem::canonical(dir_.Sub("elsewhere")).string();
  const std::string read = std::filesystem::canonical(dir_.path()).string();
  for (const std::string key : {"data.dir", "log.dir"}) {
    const std::string path = Load("servercrashupload." + key + ": " + dir_.Sub("link/../d") + "\n");
    EXPECT_EQ(ErrorOf([&] { config_.Validate(); }),
              "The setting 'servercrashupload." + key + "' has the value '" +
                  dir_.Sub("link/../d") + "' in config file '" + path +
                  "', which cannot be used: '" + dir_.Sub("link/..") + "' leads to '" + real +
                  "', not to '" + read + "' as its '..' reads: spell it without '..'");
  }
  Load("servercrashupload.data.dir: " + dir_.Sub("elsewhere/sub/../d") + "\n");
  EXPECT_NO_THROW(config_.Validate());
  // The other getters' refusals, by the words that name the rule.
  const struct {
    const char* text;
    const char* message;
  } cases[] = {
      {"servercrashupload.channel: <%=ENV[ZOR_TEST_UNSET]%>", "invalid environment variable"},
      {"servercrashupload.retention.max_age_days: 0", "not a whole number from 1"},
      {"servercrashupload.retry_delay_minutes: -1", "not a number of minutes"},
      {"servercrashupload.retry_delay_minutes: 1441", "from 0 to 1440 (a day, the longest wait)"},
      {"servercrashupload.delete_completed_dumps: yes", "'yes' in config file"},
      {"servercrashupload.dump.dirs.follow_symlinks: 1", "which is neither true nor false"},
      {"servercrashupload.filename_exclusion_regex: (((", "which is not a regular expression"},
      {"servercrashupload.dump.dirs: [/a, ,/b]", "'[/a, ,/b]' in config file"},
      {"servercrashupload.dump.dirs: []", "which holds an empty entry"},
      {"servercrashupload.channel: x", "'servercrashupload.data.dir' is missing from config file"},
  };
  for (const auto& c : cases) {
    const bool keepDataDir = std::string(c.text).find("channel: x") == std::string::npos;
    Load((keepDataDir ? "servercrashupload.data.dir: d\n" : "") + std::string(c.text) + "\n");
    EXPECT_THAT(ErrorOf([&] { config_.Validate(); }), ::testing::HasSubstr(c.message)) << c.text;
  }
  // The option that stands in for the dump directories, by the same rule.
  for (const char* option : {"[]", "[,]", "[/d,,/e]"}) {
    overrides_.Set({"", option, ""});
    Load("servercrashupload.data.dir: d\n");
    EXPECT_EQ(ErrorOf([&] { config_.Validate(); }),
              "Command option 'crash-dump-directories' has the value '" + std::string(option) +
                  "', which holds an empty entry: list the folders as [dir1,dir2].");
  }
  overrides_.Set({"", "", ""});
  // The key's own endpoint, from the environment, is named as such.
  ScopedEnv rsa{"zorcrashreporter_rsa_endpoint", "key"};
  EXPECT_NE(ErrorOf([&] {
              config_.GetRsaEndpoint();
            }).find("'environment variable zorcrashreporter_rsa_endpoint' has the value 'key'"),
            std::string::npos);
}

// A time-out that is not positive would leave a wait without an end; the
// file is refused as a whole and the settings loaded before stay.
TEST_F(ConfigTest, TimeOutsThatAreNotPositiveRefuseTheFile) {
  Load("servercrashupload.http_put_timeout_in_minutes: 0.5\n");
  const struct {
    const char* key;
    std::string value;
  } cases[] = {
      {"http_put_timeout_in_minutes", "0"},    {"http_put_timeout_in_minutes", "-1"},
      {"http_put_timeout_in_minutes", "abc"},  {"http_put_timeout_in_minutes", ""},
      {"http_put_timeout_in_minutes", "inf"},  {"http_put_timeout_in_minutes", "0.00001"},
      {"http_get_timeout_in_minutes", "-0.5"}, {"http_post_timeout_in_minutes", "nan"},
  };
  for (const auto& c : cases) {
    const std::string key = std::string("servercrashupload.") + c.key;
    SCOPED_TRACE(key + ": " + c.value);
    const std::string path = dir_.Sub(key + c.value + ".yml");
    zor::test::WriteFile(path, key + ": " + c.value + "\n");
    const std::string expected = "Setting '" + key + "' is '" + c.value + "' in config file '" +
                                 path +
                                 "': a time-out must be a number of minutes of at least a "
                                 "millisecond (0.0000167)";
    EXPECT_EQ(ErrorOf([&] { config_.Load(TPath(path)); }), expected);
    EXPECT_EQ(config_.GetHttpPutTimeout(), 30000);
    // Not remembered as loaded: the same file is refused again.
    EXPECT_EQ(ErrorOf([&] { config_.Load(TPath(path)); }), expected);
  }
}

TEST_F(ConfigTest, OverridesWinOverTheFile) {
  ScopedEnv var{"ZCT_DIR", "/from-env"};
  Load(
      "servercrashupload.dump.dirs: [C:\\a, 'C:\\b', <%=ENV[ZCT_DIR]%>]\n"
      "servercrashupload.delete_completed_dumps: true\n");
  // A relative one is taken from the working folder, once and for all.
  const std::string here = std::filesystem::current_path().string() + "/";
  EXPECT_EQ(config_.GetDumpDirectories(),
            (std::vector<TPath>{TPath(here + "C:\\a"), TPath(here + "C:\\b"),
                                TPath("/from-env")}));
  EXPECT_TRUE(config_.GetDeleteCompletedDumps());

  overrides_.Set({"false", "[/x, <%=ENV[ZCT_DIR]%>]", ""});
  EXPECT_EQ(config_.GetDumpDirectories(),
            (std::vector<TPath>{TPath("/x"), TPath(here + "<%=ENV[ZCT_DIR]%>")}));
  EXPECT_FALSE(config_.GetDeleteCompletedDumps());

  // The program's own crash dump directory is added unless a listed one
  // holds it already, also through a link.
  std::filesystem::create_directories(dir_.Sub("logs/crashdumps"));
  std::filesystem::create_directory_symlink(dir_.Sub("logs"), dir_.Sub("link"));
  const struct {
    std::string list;
    std::vector<TPath> expected;
  } cases[] = {
      {"[/x]", {TPath("/x"), TPath(dir_.Sub("logs/crashdumps"))}},
      {"[/x, " + dir_.Sub("logs") + "]", {TPath("/x"), TPath(dir_.Sub("logs"))}},
      {"[" + dir_.Sub("link") + "]", {TPath(dir_.Sub("link"))}},
      {"[" + dir_.Sub("logs/crash") + "]",
       {TPath(dir_.Sub("logs/crash")), TPath(dir_.Sub("logs/crashdumps"))}},
      // One folder spelt four ways is scanned once, by the spelling without a
      // link; of spellings all through links, each; one inside it stays.
      {"[" + dir_.Sub("logs/crashdumps") + ", " + dir_.Sub("link/.") + ", " + dir_.Sub("logs") +
           ", " + dir_.Sub("logs/crashdumps/..") + ", " + dir_.Sub("link") + "]",
       {TPath(dir_.Sub("logs/crashdumps")), TPath(dir_.Sub("logs"))}},
      {"[" + dir_.Sub("link") + ", " + dir_.Sub("link/.") + "]",
       {TPath(dir_.Sub("link")), TPath(dir_.Sub("link/."))}},
  };
  for (const auto& c : cases) {
    overrides_.Set({"", TString(c.list.c_str()), TString(dir_.Sub("logs/crashdumps").c_str())});
    EXPECT_EQ(config_.GetDumpDirectories(), c.expected) << c.list;
  }
}

TEST_F(ConfigTest, DeleteCompletedDumpsText) {
  // Blanks inside quotes count for nothing, as the start-up check judges them.
  const std::pair<std::string, bool> cases[] = {{"FALSE", false},    {"yes", false},
                                                {"", true},          {"TRUE", true},
                                                {"' false'", false}, {"' '", true}};
  for (const auto& [text, expected] : cases) {
    Load("servercrashupload.delete_completed_dumps: " + text);
    EXPECT_EQ(config_.GetDeleteCompletedDumps(), expected) << text;
  }
}

TEST_F(ConfigTest, LocalDataFolderChoice) {
  std::filesystem::create_directories(dir_.Sub("xdg"));
  std::filesystem::create_directories(dir_.Sub("blocked"));
  zor::test::WriteFile(dir_.Sub("blocked/Zorvane"), "a file where the folder should be");
  const TPath fallback = TPath(dir_.Sub("state/zorvane/logs/zorcrashreporter"));
  const struct {
    std::optional<std::string> localAppData;
    TPath expected;
  } cases[] = {
      {std::nullopt, TPath(dir_.Sub("xdg/Zorvane/zorcrashreporter"))},
      {"  " + dir_.Sub("xdg") + " ", TPath(dir_.Sub("xdg/Zorvane/zorcrashreporter"))},
      {"", fallback},
      {dir_.Sub("missing"), fallback},
      {dir_.Sub("blocked"), fallback},
  };
  ScopedEnv xdg{"XDG_DATA_HOME", dir_.Sub("xdg")};
  for (const auto& c : cases) {
    ScopedEnv local{"LOCALAPPDATA", c.localAppData};
    EXPECT_EQ(config_.GetDataDirectory(), c.expected) << c.localAppData.value_or("(unset)");
  }
  // Choosing it makes nothing: `list` only reads.
  EXPECT_FALSE(std::filesystem::exists(dir_.Sub("xdg/Zorvane")));
}

TEST_F(ConfigTest, LoadRules) {
  const std::string first =
      Load("servercrashupload.channel: one\nservercrashupload.proxy_server_host: h");
  zor::test::WriteFile(first, "servercrashupload.channel: changed");
  config_.Load(TPath(first));
  EXPECT_EQ(config_.GetChannel(), "one");  // the same path is not read again

  // The default file of the current directory, once there is one; a new file
  // replaces every setting.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  config_.Load(TPath());
  EXPECT_EQ(config_.GetChannel(), "one");
  zor::test::WriteFile(dir_.Sub("zorcrashreporter.yml"), "servercrashupload.channel: two");
  config_.Load(TPath());
  std::filesystem::current_path(cwd);
  EXPECT_EQ(config_.GetFilePath(), TPath("zorcrashreporter.yml"));
  EXPECT_EQ(config_.GetChannel(), "two");
  EXPECT_TRUE(config_.GetProxySettings().host.isEmpty());

  EXPECT_THROW(config_.Load(TPath(dir_.Sub("none.yml"))), ZorvaneException);
  // A FIFO would hold the run in its first read.
  ASSERT_EQ(::mkfifo(dir_.Sub("fifo.yml").c_str(), 0600), 0);
  EXPECT_EQ(ErrorOf([&] { config_.Load(TPath(dir_.Sub("fifo.yml"))); }),
            "Config file '" + dir_.Sub("fifo.yml") + "' is not used: it is not a regular file");
  // A value cut at a NUL byte would lead somewhere else than its text reads.
  using std::string_literals::operator""s;
  const std::string nul = dir_.Sub("nul.yml");
  zor::test::WriteFile(nul, "servercrashupload.channel: x\nservercrashupload.data.dir: /da\0ta\n"s);
  EXPECT_EQ(ErrorOf([&] { config_.Load(TPath(nul)); }),
            "Line 2 of config file '" + nul + "' holds a NUL byte: a setting's value is text");
}

}  // namespace
}  // namespace ZorErrorReporting
