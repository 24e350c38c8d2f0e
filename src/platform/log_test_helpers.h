// Helpers shared by the logging tests: read a log file back as lines and
// parse a line as strict JSON (valid UTF-8 required).
#pragma once

#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <rapidjson/error/en.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace zor::platform::testing {

inline std::string ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// The file's lines without their '\n'. A last line without '\n' is kept too.
inline std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadBytes(path));
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
  if (!doc.HasParseError()) {
    EXPECT_TRUE(doc.IsObject()) << line;
  }
  return doc;
}

// The "k" member of a parsed line, or "" when it has none.
inline std::string KeyOf(const rapidjson::Document& doc) {
  if (!doc.IsObject() || !doc.HasMember("k") || !doc["k"].IsString()) return {};
  return doc["k"].GetString();
}

// The member `name` of the line's "v" object, or "" when absent.
inline std::string ValueMember(const rapidjson::Document& doc, const char* name) {
  if (!doc.IsObject() || !doc.HasMember("v") || !doc["v"].IsObject()) return {};
  const auto& v = doc["v"];
  return v.HasMember(name) && v[name].IsString() ? v[name].GetString() : std::string();
}

// The keys of every line of `path`, each line checked to be valid JSON.
inline std::vector<std::string> Keys(const std::string& path) {
  std::vector<std::string> keys;
  for (const auto& line : ReadLines(path)) keys.push_back(KeyOf(ParseLine(line)));
  return keys;
}

}  // namespace zor::platform::testing
