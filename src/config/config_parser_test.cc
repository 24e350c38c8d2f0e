#include "config/config_parser.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "config/scoped_env_for_test.h"
#include "platform/error_of_for_test.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {
namespace {

using test::ScopedEnv;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
using zor::test::ErrorOf;

std::map<std::string, std::string> Parse(const std::string& text) {
  std::map<std::string, std::string> result;
  for (const auto& [key, value] : ParseConfigText(TString(text))) {
    result[key.toStdString()] = value.toStdString();
  }
  return result;
}

TEST(ParseConfigText, LineRules) {
  const struct {
    const char* text;
    std::map<std::string, std::string> expected;
  } cases[] = {
      {"", {}},
      {"k: https://host:8443/a", {{"k", "https://host:8443/a"}}},
      {"a: b: c\nkey:value\nk:", {}},
      {"k: v # remark", {{"k", "v # remark"}}},
      {"# c: x\n---\n--- k: v\n  # note: x", {{"# note", "x"}}},
      {"k: 1\r\nj:  2 \r\nk: 3\r\n", {{"k", "3"}, {"j", "2"}}},
      {"k: \nj: ''", {{"k", ""}, {"j", "''"}}},
      {"servercrashupload:\n  upload_endpoint: x", {{"upload_endpoint", "x"}}},
      {"\tk\t: v", {{"k", "v"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Parse(c.text), c.expected) << "text: " << c.text;
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

TEST_F(SubstituteEnvironmentTest, UnsetOrEmptyVariablesAreInvalid) {
  for (const std::string value :
       {"<%=ENV[ZCT_UNSET]%>", "<%=ENV[ZCT_EMPTY]%>", "<%=ENV[]%>", "<%=ENV[ZCT_A]%><%=ENV[]%>"}) {
    EXPECT_EQ(ErrorOf([&] { Substitute(value); }),
              Message(value, "invalid environment variable(s)"));
  }
}

TEST(ConfigConversions, NumbersAndBools) {
  EXPECT_EQ(ConfigMinutesToMs("0.5"), 30000);
  EXPECT_EQ(ConfigMinutesToMs("2.75"), 165000);
  EXPECT_EQ(ConfigMinutesToMs("0.00002"), 1);  // 1.2 ms truncated
  EXPECT_EQ(ConfigMinutesToMs("abc"), 0);
  EXPECT_EQ(ConfigMinutesToMs("nan"), 0);
  EXPECT_EQ(ConfigMinutesToMs("1e300"), INT64_MAX);
  EXPECT_EQ(ConfigTextToUInt32("4294967295"), 4294967295u);
  EXPECT_EQ(ConfigTextToUInt32("4294967296"), 0u);
  EXPECT_EQ(ConfigTextToUInt32("-1"), 0u);
  EXPECT_EQ(ConfigTextToUInt32("12abc"), 0u);
  EXPECT_EQ(ConfigTextToUInt64("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(ConfigTextToInt32("-8080"), -8080);
  EXPECT_EQ(ConfigTextToInt32("0x10"), 0);
  EXPECT_TRUE(ConfigTextToBool("TRUE"));
  EXPECT_TRUE(ConfigTextToBool("true"));
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
