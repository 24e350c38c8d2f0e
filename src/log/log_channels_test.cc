#include "log/log_channels.h"

#include <gtest/gtest.h>

#include <sstream>

namespace ZorErrorReporting {
namespace {

namespace TLog = zor::platform::TLog;

// Only the upload categories at Info and above are shown. A message is shown
// as its text, a record as JSON; neither lets a control character from a
// server or a file name reach the terminal (a message's is seen end to end in
// upload_test.cc).
TEST(ReadableConsoleChannel, ShowsUploadCategoriesAtInfoAndAboveWithControlsEscaped) {
  const TLog::Value text = TLog::Literal::String("text");
  struct Case {
    TLog::Severity severity;
    const char* key;
    TLog::Value value;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {TLog::Info, "crashes-upload", text, "[INFO]: text\n\n", ""},
      {TLog::Warn, "crashes-upload", text, "[WARN]: text\n\n", ""},
      {TLog::Error, "logs-upload", text, "", "[ERROR]: text\n\n"},
      {TLog::Fatal, "crashes-upload", text, "", "[FATAL]: text\n\n"},
      {TLog::Warn, "LOGS-Upload", text, "[WARN]: text\n\n", ""},
      {TLog::Debug, "crashes-upload", text, "", ""},
      {TLog::Fatal, "crash-simulation", text, "", ""},
      {TLog::Info, "minidump-write", text, "", ""},
      {TLog::Error, "", text, "", ""},
      {TLog::Info, "crashes-upload", TLog::Object::Make({{"crash-id", "c\x1b[31m"}}),
       "[INFO]: {\"crash-id\":\"c\\u001b[31m\"}\n\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " " + TLog::SeverityName(c.severity) + " " + c.out);
    std::ostringstream out, err;
    ReadableConsoleChannel channel(out, err);
    channel.Append(c.severity, TLog::Event{c.key, c.value, {}});
    EXPECT_EQ(out.str(), c.out);
    EXPECT_EQ(err.str(), c.err);
  }
}

}  // namespace
}  // namespace ZorErrorReporting
