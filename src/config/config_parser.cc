#include "config/config_parser.h"

#include <cmath>
#include <limits>

#include "platform/tformat_string.h"
#include "platform/tregex.h"
#include "platform/tsystem.h"
#include "platform/turl.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TRegex;
using zor::platform::TString;
using zor::platform::ZorvaneException;

namespace {

constexpr int kMaxSubstitutionPasses = 10;

// The greedy leading ".*" makes the captured name the last reference of the
// value, which is the order the passes resolve them in.
const TRegex& EnvironmentReference() {
  static const TRegex regex(
      ".*" + TRegex::Escape("<%=ENV[") + "([\\w]*)" + TRegex::Escape("]%>") + ".*",
      TRegex::Case::Sensitive, TRegex::Dot::MatchesNewline);
  return regex;
}

}  // namespace

std::vector<ConfigLine> ReadConfigLines(const TString& text) {
  std::vector<ConfigLine> lines;
  int number = 0;
  for (const TString& raw : text.split("\n")) {
    ++number;
    // An indented comment is still a comment, not a nested value.
    if (raw.startsWith("---") || raw.trim().startsWith("#") || raw.trim().isEmpty()) continue;
    ConfigLine line;
    line.number = number;
    line.text = raw.endsWith("\r") ? raw.left(raw.size() - 1) : raw;
    if (raw.at(0) == u' ' || raw.at(0) == u'\t') {
      line.kind = ConfigLine::Kind::kIndented;
    } else if (const std::vector<TString> parts = raw.split(": "); parts.size() == 2) {
      line.kind = ConfigLine::Kind::kSetting;
      line.key = parts[0].trim();
      line.value = parts[1].trim();
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

TString TrimConfigQuotes(const TString& value) { return value.trim("'").trim("\""); }

TString SubstituteEnvironment(const TString& key, const TString& value, const TPath& filePath) {
  // A password's literal part must not reach the terminal or the log, nor
  // the credentials written into an endpoint's or a proxy's URL.
  const bool url = key.endsWith("endpoint", false) || key.endsWith("proxy_server_host", false);
  const TString shown = key.endsWith("password", false) ? TString("(hidden)")
                        : url                           ? zor::platform::UrlTextForLog(value)
                                                        : value;
  const TRegex& regex = EnvironmentReference();
  TString result = value;
  int passes = 0;
  for (auto match = regex.Match(result); match && passes < kMaxSubstitutionPasses;
       match = regex.Match(result)) {
    const TString name = match->Captured(1);
    const TString variable = zor::platform::TSystem::EnvironmentString(name);
    if (variable.isEmpty()) {
      throw ZorvaneException(TFormatString("Config setting '%1' value '%2' contains invalid "
                                           "environment variable(s), in config file '%3'")
                                 .arg(key)
                                 .arg(shown)
                                 .arg(TString(filePath.NativeString())));
    }
    result.replace("<%=ENV[" + name + "]%>", variable);
    ++passes;
  }
  if (passes == kMaxSubstitutionPasses) {
    throw ZorvaneException(TFormatString("Config setting '%1' value '%2' contains too many "
                                         "environment variable, in config file '%3'")
                               .arg(key)
                               .arg(shown)
                               .arg(TString(filePath.NativeString())));
  }
  return result;
}

bool ConfigTextToBool(const TString& text) { return text.EqualsNoCase("true"); }

int64_t ConfigMinutesToMs(const TString& text) {
  const double ms = text.toDouble() * 60 * 1000;
  // The cast is undefined outside the range, so "nan" counts as unparsable and
  // huge values saturate.
  if (std::isnan(ms)) return 0;
  if (ms >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (ms <= -9.2e18) return std::numeric_limits<int64_t>::min();
  // Whole milliseconds, but for the binary's error: 0.03 minutes comes out
  // 1799.9999999999998 ms, and is 1800.
  return static_cast<int64_t>(std::floor(ms + 1e-6));
}

TPath ConfigTextToPath(const TString& text) {
  TString path = text;
  return TPath(path.replace("'", "").trim("\"").trim());
}

std::vector<TPath> ConfigTextToPathList(const TString& text) {
  int64_t begin = 0;
  int64_t end = text.size();
  while (begin < end && text.at(begin) == u'[') ++begin;
  while (end > begin && text.at(end - 1) == u']') --end;
  std::vector<TPath> paths;
  for (const TString& part : text.mid(begin, end - begin).split(",")) {
    paths.push_back(ConfigTextToPath(part));
  }
  return paths;
}

}  // namespace ZorErrorReporting
