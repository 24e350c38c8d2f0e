#include "log/log_channels.h"

#include <gtest/gtest.h>

#include <sstream>

namespace ZorErrorReporting {
namespace {

namespace TLog = zor::platform::TLog;

TLog::Event Text(const char* key, const char* text) {
  return TLog::Event{key, TLog::Literal::String(text), {}};
}

TEST(ReadableConsoleChannel, ShowsOnlyUploadCategoriesAtInfoAndAbove) {
  struct Case {
    TLog::Severity severity;
    const char* key;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {TLog::Info, "crashes-upload", "[INFO]: text\n\n", ""},
      {TLog::Warn, "crashes-upload", "[WARN]: text\n\n", ""},
      {TLog::Error, "logs-upload", "", "[ERROR]: text\n\n"},
      {TLog::Fatal, "crashes-upload", "", "[FATAL]: text\n\n"},
      {TLog::Warn, "LOGS-Upload", "[WARN]: text\n\n", ""},
      {TLog::Debug, "crashes-upload", "", ""},
      {TLog::Fatal, "crash-simulation", "", ""},
      {TLog::Info, "minidump-write", "", ""},
      {TLog::Error, "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + TLog::SeverityName(c.severity));
    std::ostringstream out, err;
    ReadableConsoleChannel channel(out, err);
    channel.Append(c.severity, Text(c.key, "text"));
    EXPECT_EQ(out.str(), c.out);
    EXPECT_EQ(err.str(), c.err);
  }
}

// A message is shown as its text, a record as JSON; neither lets a control
// character from a server or a file name reach the terminal.
TEST(ReadableConsoleChannel, ShowsMessagesAsTextAndRecordsAsJsonWithControlsEscaped) {
  struct Case {
    TLog::Value value;
    const char* shown;
  };
  const Case cases[] = {
      {TLog::Literal::String("Key ID = 'kid\x1b[2J'"), "Key ID = 'kid\\x1b[2J'"},
      {TLog::Literal::String("crash 'c1\n[ERROR]: spoofed'"), "crash 'c1\\n[ERROR]: spoofed'"},
      {TLog::Object::Make({{"crash-id", "c\x1b[31m"}}), "{\"crash-id\":\"c\\u001b[31m\"}"},
      {TLog::Object::Make({{"package", "a1"}}), "{\"package\":\"a1\"}"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.shown);
    std::ostringstream out, err;
    ReadableConsoleChannel channel(out, err);
    channel.Append(TLog::Info, TLog::Event{"crashes-upload", c.value, {}});
    EXPECT_EQ(out.str(), std::string("[INFO]: ") + c.shown + "\n\n");
  }
}

}  // namespace
}  // namespace ZorErrorReporting
