#include "config/config_parser.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/error_of_for_test.h"
#include "platform/zorvane_exception.h"
#include "support/scoped_env.h"

namespace ZorErrorReporting {
namespace {

using test::ScopedEnv;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
using zor::test::ErrorOf;

// Each line that is not skipped as "<number> <kind> <key>=<value>" (setting)
// or "<number> <kind> <text>", kinds S, I (indented) and M (malformed).
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> result;
  for (const ConfigLine& line : ReadConfigLines(TString(text))) {
    const std::string number = std::to_string(line.number);
    switch (line.kind) {
      case ConfigLine::Kind::kSetting:
        result.push_back(number + " S " + line.key.toStdString() + "=" + line.value.toStdString());
        break;
      case ConfigLine::Kind::kIndented:
        result.push_back(number + " I " + line.text.toStdString());
        break;
      case ConfigLine::Kind::kMalformed:
        result.push_back(number + " M " + line.text.toStdString());
        break;
    }
  }
  return result;
}

TEST(ReadConfigLines, LineRules) {
  const struct {
    const char* text;
    std::vector<std::string> expected;
  } cases[] = {
      {"", {}},
      {"k: https://host:8443/a", {"1 S k=https://host:8443/a"}},
      {"a: b: c\nkey:value\nk:", {"1 M a: b: c", "2 M key:value", "3 M k:"}},
      {"k: v # remark", {"1 S k=v # remark"}},
      {"# c: x\n---\n--- k: v\n\n \t\r\n", {}},
      {"k: 1\r\nj:  2 \r\n", {"1 S k=1", "2 S j=2"}},
      {"k: \nj: ''", {"1 S k=", "2 S j=''"}},
      {"servercrashupload:\n  upload_endpoint: x\r",
       {"1 M servercrashupload:", "2 I   upload_endpoint: x"}},
      // An indented comment is no nested value.
      {"\tk: v\n  # note: x", {"1 I \tk: v"}},
      {"k\t: v", {"1 S k=v"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Lines(c.text), c.expected) << "text: " << c.text;
  }
}

TEST(TrimConfigQuotes, SingleThenDouble) {
  EXPECT_EQ(TrimConfigQuotes("'x'"), "x");
  EXPECT_EQ(TrimConfigQuotes("'\"x\"'"), "x");
  EXPECT_EQ(TrimConfigQuotes("\"'x'\""), "'x'");
  EXPECT_EQ(TrimConfigQuotes("a'b\"c"), "a'b\"c");
}

class SubstituteEnvironmentTest : public ::testing::Test {
 protected:
  TString Substitute(const std::string& value) {
    return SubstituteEnvironment("some.key", TString(value), TPath("/etc/z.yml"));
  }
  static std::string Message(const std::string& value, const std::string& problem) {
    return "Config setting 'some.key' value '" + value + "' contains " + problem +
           ", in config file '/etc/z.yml'";
  }
  // Sets ZCT_0 .. ZCT_<n-1> and returns a value that names each once.
  std::string NameVariables(int n) {
    std::string value;
    for (int i = 0; i < n; ++i) {
      const std::string name = "ZCT_" + std::to_string(i);
      envs_.emplace_back(name, "v" + std::to_string(i));
      value += "<%=ENV[" + name + "]%>,";
    }
    return value;
  }

  ScopedEnv a_{"ZCT_A", "alpha"};
  ScopedEnv nested_{"ZCT_NESTED", "<%=ENV[ZCT_A]%>/x"};
  ScopedEnv self_{"ZCT_SELF", "<%=ENV[ZCT_SELF]%>"};
  ScopedEnv empty_{"ZCT_EMPTY", ""};
  ScopedEnv unset_{"ZCT_UNSET", std::nullopt};
  std::deque<ScopedEnv> envs_;
};

TEST_F(SubstituteEnvironmentTest, ReplacesReferences) {
  const struct {
    std::string value;
    std::string expected;
  } cases[] = {
      {"<%=ENV[ZCT_A]%>", "alpha"},
      {"a<%=ENV[ZCT_A]%>b<%=ENV[ZCT_NESTED]%>c", "aalphabalpha/xc"},
      {"<%=ENV[ZCT_A]", "<%=ENV[ZCT_A]"},
      {"<%=ENV[ZCT-A]%>", "<%=ENV[ZCT-A]%>"},
      {"plain", "plain"},
  };
  for (const auto& c : cases) EXPECT_EQ(Substitute(c.value), c.expected) << c.value;

  // Repeats of one name are one pass, so they never count as too many.
  std::string repeated;
  for (int i = 0; i < 12; ++i) repeated += "<%=ENV[ZCT_A]%>";
  EXPECT_EQ(Substitute(repeated).size(), 12 * 5);
}

TEST_F(SubstituteEnvironmentTest, NineDistinctNamesAreTheLimit) {
  EXPECT_EQ(Substitute(NameVariables(9)), "v0,v1,v2,v3,v4,v5,v6,v7,v8,");
  const std::string ten = NameVariables(10);
  EXPECT_EQ(ErrorOf([&] { Substitute(ten); }), Message(ten, "too many environment variable"));
  EXPECT_THROW(Substitute("<%=ENV[ZCT_SELF]%>"), ZorvaneException);
}

TEST_F(SubstituteEnvironmentTest, APasswordIsNotShownInTheRefusal) {
  const std::string message = ErrorOf(
      [] { SubstituteEnvironment("k.proxy_server_password", "hunter<%=ENV[ZCT_UNSET]%>", "f"); });
  EXPECT_NE(message.find("value '(hidden)'"), std::string::npos) << message;
  EXPECT_EQ(message.find("hunter"), std::string::npos) << message;
  // Nor credentials in a URL.
  for (const char* key : {"k.upload_endpoint", "k.rsa_endpoint", "k.proxy_server_host"}) {
    const std::string url =
        ErrorOf([&] { SubstituteEnvironment(key, "http://u:hunter@h:1<%=ENV[ZCT_UNSET]%>", "f"); });
    EXPECT_EQ(url.find("hunter"), std::string::npos) << url;
  }
}

TEST_F(SubstituteEnvironmentTest, UnsetOrEmptyVariablesAreInvalid) {
  for (const std::string value :
       {"<%=ENV[ZCT_UNSET]%>", "<%=ENV[ZCT_EMPTY]%>", "<%=ENV[]%>", "<%=ENV[ZCT_A]%><%=ENV[]%>"}) {
    EXPECT_EQ(ErrorOf([&] { Substitute(value); }),
              Message(value, "invalid environment variable(s)"));
  }
}

// How whole-number settings are read and refused, and the true of "true" in
// any case, are config_test.cc's.
TEST(ConfigConversions, NumbersAndBools) {
  EXPECT_EQ(ConfigMinutesToMs("2.75"), 165000);
  EXPECT_EQ(ConfigMinutesToMs("0.00002"), 1);  // 1.2 ms
  EXPECT_EQ(ConfigMinutesToMs("0.03"), 1800);
  EXPECT_EQ(ConfigMinutesToMs("abc"), 0);
  EXPECT_EQ(ConfigMinutesToMs("nan"), 0);
  EXPECT_EQ(ConfigMinutesToMs("1e300"), INT64_MAX);
  for (const char* text : {"yes", "1", "", "true "}) EXPECT_FALSE(ConfigTextToBool(text)) << text;
}

TEST(ConfigConversions, PathLists) {
  const struct {
    const char* text;
    std::vector<TPath> expected;
  } cases[] = {
      {"[C:\\a, 'C:\\b']", {TPath("C:\\a"), TPath("C:\\b")}},
      {"[[/a]]", {TPath("/a")}},
      {"/a,,\"/b\"", {TPath("/a"), TPath(), TPath("/b")}},
      // The blank shields the opening double quote from the quote trim.
      {"[/a, \"/b\"]", {TPath("/a"), TPath("\"/b")}},
      {"[' /it''s ']", {TPath("/its")}},
  };
  for (const auto& c : cases) EXPECT_EQ(ConfigTextToPathList(c.text), c.expected) << c.text;
}

}  // namespace
}  // namespace ZorErrorReporting
