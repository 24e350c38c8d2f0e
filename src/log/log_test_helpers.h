// Helpers shared by the logging tests: read a log file back as lines and
// parse a line as strict JSON (valid UTF-8 required).
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace zor::platform::test_support {

// The file's lines without their '\n'. A last line without '\n' is kept too.
inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(zor::test::ReadFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Parses `line`; records a test failure (with the parser's message) when it
// is not one valid JSON object.
inline rapidjson::Document ParseLine(const std::string& line) {
  rapidjson::Document doc;
  doc.Parse<rapidjson::kParseValidateEncodingFlag>(line.c_str(), line.size());
  EXPECT_FALSE(doc.HasParseError()) << rapidjson::GetParseError_En(doc.GetParseError()) << " at "
                                    << doc.GetErrorOffset() << " in: " << line;
  EXPECT_TRUE(doc.HasParseError() || doc.IsObject()) << line;
  return doc;
}

// The string member `name` of `value`, or "" when there is none.
inline std::string StringMember(const rapidjson::Value& value, const char* name) {
  const bool found = value.IsObject() && value.HasMember(name) && value[name].IsString();
  return found ? value[name].GetString() : "";
}

// The member `name` of the line's "v" object, or "" when absent.
inline std::string ValueMember(const rapidjson::Value& doc, const char* name) {
  return doc.IsObject() && doc.HasMember("v") ? StringMember(doc["v"], name) : "";
}

// The key ("k") of every line of `path`, each line checked to be valid JSON.
inline std::vector<std::string> Keys(const std::string& path) {
  std::vector<std::string> keys;
  for (const auto& line : ReadLines(path)) keys.push_back(StringMember(ParseLine(line), "k"));
  return keys;
}

}  // namespace zor::platform::test_support
