#include "log/log_rotate_channel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <thread>

#include "log/log_test_helpers.h"
#include "support/temp_dir.h"

namespace zor::platform::TLog {
namespace {

using zor::platform::test_support::Keys;
using zor::test::ReadFile;
using zor::test::ScopedTempDir;

// A rotating channel whose rotation the test drives.
class DrivenRotateChannel : public RotateFileChannel {
 public:
  using RotateFileChannel::RotateFileChannel;
  bool ShouldRotate() override { return std::exchange(rotateNext, false); }
  bool rotateNext = false;
};

Event Message(size_t bytes) { return Event{"msg", Literal::String(QString(int(bytes), 'x')), {}}; }

// The files a channel on app.txt writes: app.txt, then app_1.txt, ...
std::string NthFile(const ScopedTempDir& dir, int n) {
  return dir.Sub(n == 0 ? "app.txt" : "app_" + std::to_string(n) + ".txt");
}

// Whether a reader can follow the chain is checked with the real reader in
// rotated_logs_set_test.cc; here, which events each file holds.
TEST(RotateFileChannelTest, RotationByAppendFramesEachFileWithTheEvents) {
  ScopedTempDir dir;
  DrivenRotateChannel channel{TPath(NthFile(dir, 0))};
  channel.Open();
  for (int f = 0; f < 3; ++f) {
    // The rotation comes before the line that asked for it is written.
    channel.rotateNext = f > 0;
    channel.Append(Info, Message(50));
    channel.Append(Info, Message(80));
    ASSERT_EQ(channel.GetPath().NativeString(), NthFile(dir, f));
  }
  // No close-log until Close: one would end the chain of a process that died.
  channel.Flush();
  using Names = std::vector<std::string>;
  EXPECT_EQ(Keys(NthFile(dir, 0)), (Names{"open-log", "msg", "msg"}));
  EXPECT_EQ(Keys(NthFile(dir, 1)), (Names{"open-log", "rotate-log", "msg", "msg", "rotate-log"}));
  EXPECT_EQ(Keys(NthFile(dir, 2)), (Names{"open-log", "rotate-log", "msg", "msg"}));
  channel.Close();
  EXPECT_EQ(Keys(NthFile(dir, 2)).back(), "close-log");
}

// Files an earlier run left are skipped, never overwritten; a rotation that
// fails keeps the current file.
TEST(RotateFileChannelTest, RotationSkipsEarlierRunsFilesAndKeepsTheFileWhenItFails) {
  ScopedTempDir dir;
  for (int n : {1, 3}) zor::test::WriteFile(NthFile(dir, n), "earlier run\n");
  DrivenRotateChannel channel{TPath(NthFile(dir, 0))};
  channel.Open();
  for (int n : {2, 4}) {
    channel.DoRotate();
    EXPECT_EQ(channel.GetPath().NativeString(), NthFile(dir, n));
  }
  for (int n : {1, 3}) EXPECT_EQ(ReadFile(NthFile(dir, n)), "earlier run\n");

  std::filesystem::remove_all(dir.path());
  EXPECT_THROW(channel.DoRotate(), TPath::Exception);
  EXPECT_TRUE(channel.IsOpen());
  channel.rotateNext = true;
  EXPECT_NO_THROW(channel.Append(Info, Message(10)));
  EXPECT_EQ(channel.GetPath().NativeString(), NthFile(dir, 4));
}

TEST(RotateFileChannelTest, ConcurrentAppendsAndRotationsKeepLinesWhole) {
  ScopedTempDir dir;
  DrivenRotateChannel channel{TPath(NthFile(dir, 0))};
  channel.Open();
  constexpr int kThreads = 3, kEvents = 500, kRotations = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&channel] {
      for (int i = 0; i < kEvents; ++i) channel.Append(Info, Message(300));
    });
  }
  for (int r = 0; r < kRotations; ++r) channel.DoRotate();
  for (auto& thread : threads) thread.join();
  channel.Flush();

  long messages = 0;
  for (int f = 0; f <= kRotations; ++f) {
    const auto keys = Keys(NthFile(dir, f));
    messages += std::count(keys.begin(), keys.end(), "msg");
    // No line slips in between the events a reader looks for at the head.
    if (f > 0) {
      EXPECT_EQ(keys.at(1), "rotate-log") << f;
    }
  }
  EXPECT_EQ(messages, kThreads * kEvents);
}

// A time-based channel on a clock the test moves.
class ManualClockChannel : public TimeBasedRotateFileChannel {
 public:
  using TimeBasedRotateFileChannel::TimeBasedRotateFileChannel;
  Clock::time_point now = Clock::time_point(std::chrono::hours(1000));

 protected:
  Clock::time_point Now() const override { return now; }
};

TEST(TimeBasedRotateFileChannelTest, RotatesOnceTheIntervalHasPassed) {
  using std::chrono::seconds;
  struct Case {
    const char* name;
    uint64_t interval;
    seconds advance;
    bool rotates;
  };
  const Case cases[] = {
      {"before the interval", 60, seconds(59), false},
      {"at the interval", 60, seconds(60), true},
      {"zero never rotates", 0, seconds(100000), false},
      {"huge interval never reached", UINT64_MAX, seconds(int64_t{1} << 32), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir dir;
    ManualClockChannel channel(TPath(NthFile(dir, 0)), c.interval);
    channel.Open();
    EXPECT_FALSE(channel.ShouldRotate());
    channel.now += c.advance;
    channel.Append(Info, Message(10));
    EXPECT_EQ(channel.GetPath().NativeString(), NthFile(dir, c.rotates ? 1 : 0));
    // The interval restarts with the new file.
    EXPECT_FALSE(c.rotates && channel.ShouldRotate());
  }
}

}  // namespace
}  // namespace zor::platform::TLog
