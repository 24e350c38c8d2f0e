// The text rules of the configuration file: how a file becomes a map of
// settings, and how a raw setting text becomes a value.
//
// The file is a flat list of "key: value" lines, a small subset of YAML:
//   - lines are split at "\n"; a line that begins with "---" (document marker)
//     or "#" (comment), and a line of white space only, is skipped;
//   - a line that begins with white space is indented: the file has no nested
//     sections, so the loader refuses it rather than guess what was meant;
//   - a line is split at every ": " (colon and blank); only a line that gives
//     exactly two parts is a setting, so "a: b: c" and "key:value" are not,
//     while "://" in a URL is kept;
//   - key and value are trimmed of white space (which also drops a trailing
//     carriage return); a later line for a key replaces an earlier one.
// Every function here is pure apart from reading the environment, and safe to
// call from any thread.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

using ConfigSettings = std::unordered_map<zor::platform::TString, zor::platform::TString>;

// One line of a configuration file's text that is not skipped.
struct ConfigLine {
  enum class Kind {
    kSetting,    // a "key: value" line
    kIndented,   // begins with white space
    kMalformed,  // anything else: no ": ", or more than one
  };
  Kind kind = Kind::kMalformed;
  int number = 0;               // 1-based, counted in "\n"
  zor::platform::TString text;  // the whole line, without its "\r"
  zor::platform::TString key;   // kSetting: trimmed; otherwise empty
  zor::platform::TString value;
};

// The lines of `text` by the rules above, in file order.
std::vector<ConfigLine> ReadConfigLines(const zor::platform::TString& text);

// `value` with single quotes trimmed from both ends, then double quotes.
zor::platform::TString TrimConfigQuotes(const zor::platform::TString& value);

// Replaces each "<%=ENV[NAME]%>" of `value` by the environment variable NAME.
// References are resolved from the last one backwards, one name per pass, and
// every occurrence of that name at once; text brought in by a variable takes
// part in later passes. A value without a complete reference is returned
// unchanged. `key` and `filePath` only name the setting in messages.
// Throws ZorvaneException:
//   (for a key ending in "password", '<value>' is "(hidden)"; for one ending
//   in "endpoint" or "proxy_server_host", the value as UrlTextForLog shows it)
//   - "Config setting '<key>' value '<value>' contains invalid environment
//     variable(s), in config file '<file>'" when a named variable is unset or
//     empty, or the name is empty;
//   - "... contains too many environment variable, in config file '<file>'"
//     after the tenth pass, so a value may name at most 9 distinct variables.
zor::platform::TString SubstituteEnvironment(const zor::platform::TString& key,
                                             const zor::platform::TString& value,
                                             const zor::platform::TPath& filePath);

// True iff `text` is "true" in any case; other text, empty included, is false.
bool ConfigTextToBool(const zor::platform::TString& text);

// `text` as decimal minutes, in whole milliseconds (truncated); unparsable
// text counts as 0.
int64_t ConfigMinutesToMs(const zor::platform::TString& text);

// The path of a setting text: every single quote removed, then double quotes
// trimmed from both ends, then white space trimmed. So " \"x\"" keeps its
// opening double quote (the blank shields it).
zor::platform::TPath ConfigTextToPath(const zor::platform::TString& text);

// A list of paths in the form "[a, 'b', c]": leading "[" and trailing "]" are
// removed, the rest is split at "," keeping empty parts, and each part goes
// through ConfigTextToPath. The order of the text is kept.
std::vector<zor::platform::TPath> ConfigTextToPathList(const zor::platform::TString& text);

}  // namespace ZorErrorReporting
