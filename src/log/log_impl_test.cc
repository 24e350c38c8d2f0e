#include "log/log_impl.h"

#include <gtest/gtest.h>

#include <typeinfo>

#include "log/log_test_helpers.h"
#include "support/temp_dir.h"

namespace zor::platform {
namespace {

using zor::platform::test_support::Keys;
using zor::test::ScopedTempDir;

class CountingChannel : public TLog::Channel {
 public:
  void Append(TLog::Severity, const TLog::Event&) override { ++events; }
  void Flush() override {}
  int events = 0;
};

void LogAt(TLog::Severity severity, const char* key) {
  TLog::Logger::Get().Log(severity, TLog::Event{key, TLog::Literal::String("x"), {}});
}

// LogImpl is process-wide: every test leaves it closed and accepting Info.
class LogImplTest : public ::testing::Test {
 protected:
  void TearDown() override {
    LogImpl::Get().Close();
    LogImpl::Get().SetMinimalAcceptedSeverity(TLog::Info);
  }
  ScopedTempDir dir_;
};

TEST_F(LogImplTest, FiltersTheLogFileBySeverityButNotOtherChannels) {
  const std::string path = dir_.Sub("app.txt");
  LogImpl::Get().Open(std::make_shared<TLog::FileChannel>(TPath(path)));
  auto other = std::make_shared<CountingChannel>();
  TLog::Logger::Get().AddChannel(other);

  LogImpl::Get().SetMinimalAcceptedSeverity(TLog::Warn);
  LogAt(TLog::Info, "info-dropped");
  LogAt(TLog::Warn, "warn-kept");
  LogImpl::Get().SetMinimalAcceptedSeverity(TLog::Debug);
  LogAt(TLog::Debug, "debug-kept");
  TLog::Logger::Get().Flush();
  TLog::Logger::Get().RemoveChannel(other);

  EXPECT_EQ(Keys(path), (std::vector<std::string>{"open-log", "warn-kept", "debug-kept"}));
  EXPECT_EQ(other->events, 3);
}

// A failed open changes nothing: the file open before stays open.
TEST_F(LogImplTest, OpenCloseAndReplaceTheLogFile) {
  const std::string first = dir_.Sub("first.txt");
  const std::string second = dir_.Sub("second.txt");
  LogImpl::Get().Open(std::make_shared<TLog::FileChannel>(TPath(first)));
  EXPECT_THROW(
      LogImpl::Get().Open(std::make_shared<TLog::FileChannel>(TPath(first + "/below-a-file.txt"))),
      TPath::Exception);
  EXPECT_THROW(LogImpl::Get().Open(nullptr), ZorvaneException);
  EXPECT_EQ(LogImpl::Get().GetPath().NativeString(), first);
  LogAt(TLog::Error, "to-first");

  LogImpl::Get().Open(std::make_shared<TLog::FileChannel>(TPath(second)));
  EXPECT_EQ(LogImpl::Get().GetPath().NativeString(), second);
  LogAt(TLog::Error, "to-second");

  LogImpl::Get().Close();
  LogImpl::Get().Close();
  EXPECT_TRUE(LogImpl::Get().GetPath().IsEmpty());
  LogAt(TLog::Error, "after-close");

  EXPECT_EQ(Keys(first), (std::vector<std::string>{"open-log", "to-first", "close-log"}));
  EXPECT_EQ(Keys(second), (std::vector<std::string>{"open-log", "to-second", "close-log"}));
}

// Runs in a fresh process (the death-test child re-runs only this test), so
// the logger is still the plain one when the test starts.
TEST(LogImplInstallTest, InstallingKeepsChannelsAddedBeforehand) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ScopedTempDir dir;
  EXPECT_EXIT(
      {
        TLog::Logger& before = TLog::Logger::Get();
        const bool plainBefore = typeid(before) == typeid(TLog::Logger);
        auto early = std::make_shared<CountingChannel>();
        before.AddChannel(early);
        LogImpl::Get().Open(std::make_shared<TLog::FileChannel>(TPath(dir.Sub("app.txt"))));
        const TLog::Logger& after = TLog::Logger::Get();
        const bool derivedAfter = typeid(after) != typeid(TLog::Logger);
        LogAt(TLog::Info, "k");
        before.Log(TLog::Info, TLog::Event{"k", TLog::Literal::String("old logger"), {}});
        std::exit(plainBefore && derivedAfter && early->events == 1 ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace zor::platform
