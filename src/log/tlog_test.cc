#include "log/tlog.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QRegularExpression>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "log/log_test_helpers.h"

namespace zor::platform::TLog {
namespace {

using zor::platform::test_support::ParseLine;
using zor::platform::test_support::StringMember;

// Severity names are checked where the log functions write them. An error
// record is the last member, and there only when the event has one.
TEST(FormatterTest, LineIsOneCompactJsonObjectWithMembersInOrder) {
  Event event{"cat", Literal::String("x"),
              ZorvaneError::MakeError("io-error", "disk \"full\"", 28)};
  const auto doc = ParseLine(Formatter::FormatLine(Warn, event));
  ASSERT_TRUE(doc.IsObject());
  std::vector<std::string> names;
  for (const auto& m : doc.GetObject()) names.push_back(m.name.GetString());
  EXPECT_EQ(names, (std::vector<std::string>{"ts", "pid", "tid", "sev", "k", "v", "err"}));
  EXPECT_EQ(doc["pid"].GetInt64(), getpid());
  EXPECT_EQ(doc["tid"].GetInt64(), gettid());
  const QRegularExpression iso(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$)");
  EXPECT_TRUE(iso.match(doc["ts"].GetString()).hasMatch()) << doc["ts"].GetString();
  EXPECT_EQ(StringMember(doc["err"], "code") + "|" + StringMember(doc["err"], "message"),
            "io-error|disk \"full\"");
  ASSERT_TRUE(doc["err"].HasMember("errno"));
  EXPECT_EQ(doc["err"]["errno"].GetInt(), 28);
  event.error.reset();
  const std::string line = Formatter::FormatLine(Warn, event);
  EXPECT_EQ(line.find_first_of("\n "), std::string::npos) << line;
  EXPECT_FALSE(ParseLine(line).HasMember("err"));
}

TEST(FormatterTest, EscapesOnlyQuotesBackslashesAndControlCharacters) {
  struct Case {
    std::string text;
    std::string json;
  };
  const Case cases[] = {
      {"plain /path/x.txt", R"("plain /path/x.txt")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"C:\\dir", R"("C:\\dir")"},
      {"a\nb\tc\rd", R"("a\nb\tc\rd")"},
      {std::string("\x01\x1f", 2), R"("\u0001\u001f")"},
      {"\u00e9t\u00e9 \u65e5\u672c \U0001F600", "\"\u00e9t\u00e9 \u65e5\u672c \U0001F600\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Formatter::Format(Literal::String(TString::fromUtf8(c.text))), c.json);
    // The same text as a key and inside a whole line must read back unchanged.
    const auto doc = ParseLine(Formatter::FormatLine(
        Info, Event{TString::fromUtf8(c.text), Object::Make({{TString::fromUtf8(c.text), "v"}})}));
    ASSERT_TRUE(doc.IsObject());
    EXPECT_EQ(std::string(doc["k"].GetString()), c.text);
    EXPECT_TRUE(doc["v"].HasMember(c.text.c_str()));
  }
}

TEST(FormatterTest, ObjectsKeepOrderAndRepeatedKeysAndNest) {
  const Value value = Object::Make(std::vector<std::pair<TString, Value>>{
      {"b", Literal::String("1")},
      {"a", Object::Make({{"x", "y"}, {"x", "z"}})},
      {"b", Literal::String("2")},
  });
  EXPECT_EQ(Formatter::Format(value), R"({"b":"1","a":{"x":"y","x":"z"},"b":"2"})");
  EXPECT_EQ(Formatter::Format(Object::Make(std::vector<std::pair<TString, TString>>{})), "{}");
  EXPECT_EQ(Formatter::Format(Value()), R"("")");
}

// Records what reaches it; complains when two calls overlap.
class RecordingChannel : public Channel {
 public:
  void Append(Severity severity, const Event& event) override {
    if (inside_.fetch_add(1) != 0) overlapped_ = true;
    keys_.push_back(event.key.toStdString());
    severities_.push_back(severity);
    inside_.fetch_sub(1);
  }
  void Flush() override { ++flushes_; }

  std::vector<std::string> keys_;
  std::vector<Severity> severities_;
  int flushes_ = 0;
  std::atomic<int> inside_{0};
  std::atomic<bool> overlapped_{false};
};

class ThrowingChannel : public Channel {
 public:
  void Append(Severity, const Event&) override { throw std::runtime_error("broken"); }
  void Flush() override { throw std::runtime_error("broken"); }
};

// Calls from several threads reach each channel one at a time.
TEST(LoggerTest, HandsEveryEventToEveryChannelOneAtATimeAndSurvivesABrokenOne) {
  Logger logger;
  auto first = std::make_shared<RecordingChannel>();
  auto second = std::make_shared<RecordingChannel>();
  logger.AddChannel(first);
  logger.AddChannel(std::make_shared<ThrowingChannel>());
  logger.AddChannel(second);
  logger.AddChannel(nullptr);

  logger.Log(Warn, Event{"one", Literal::String("a")});
  logger.Log(Debug, Event{"two", Literal::String("b")});
  logger.Flush();

  for (const auto* channel : {first.get(), second.get()}) {
    EXPECT_EQ(channel->keys_, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(channel->severities_, (std::vector<Severity>{Warn, Debug}));
    EXPECT_EQ(channel->flushes_, 1);
  }

  logger.RemoveChannel(first);
  constexpr int kThreads = 4, kEvents = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&logger] {
      for (int i = 0; i < kEvents; ++i) logger.Log(Info, Event{"k", Literal::String("v")});
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(first->keys_.size(), 2u);
  EXPECT_FALSE(second->overlapped_);
  EXPECT_EQ(second->keys_.size(), static_cast<size_t>(2 + kThreads * kEvents));
}

}  // namespace
}  // namespace zor::platform::TLog
