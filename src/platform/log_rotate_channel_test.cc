#include "platform/log_rotate_channel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QRegExp>
#include <algorithm>
#include <filesystem>
#include <thread>

#include "platform/log_test_helpers.h"
#include "support/temp_dir.h"

namespace zor::platform::TLog {
namespace {

using zor::platform::testing::Keys;
using zor::test::ReadFile;
using zor::test::ScopedTempDir;

// The patterns a reader of rotated logs uses, matched as it matches them:
// minimally and without regard to case.
constexpr char kOpenLog[] = R"re("open-log".*"path":"(.*)")re";
constexpr char kCloseLog[] = R"re("close-log".*"path":"(.*)")re";
constexpr char kRotateLog[] = R"re("rotate-log".*"new-path":"(.*)","old-path":"(.*)")re";

// Capture `n` of the first (or, with `last`, the last) match in `text`.
QString Find(const char* pattern, const QString& text, int n = 1, bool last = false) {
  QRegExp re(QString::fromUtf8(pattern), Qt::CaseInsensitive, QRegExp::RegExp);
  re.setMinimal(true);
  return (last ? re.lastIndexIn(text) : re.indexIn(text)) >= 0 ? re.cap(n) : QString();
}

// The first or last 4000 bytes of a file, or all of it when it is no longer
// than 8000: what a reader looks at.
QString Part(const std::string& path, bool head) {
  constexpr size_t kPart = 4000;
  std::string bytes = ReadFile(path);
  if (bytes.size() > 2 * kPart)
    bytes = head ? bytes.substr(0, kPart) : bytes.substr(bytes.size() - kPart);
  return QString::fromStdString(bytes);
}

// Follows the chain from `newest` back to the first file, looking only at
// each file's head and tail, as a reader of rotated logs does.
std::vector<std::string> FollowChain(const std::string& newest) {
  std::vector<std::string> chain;
  QString current = Find(kOpenLog, Part(newest, true));
  while (!current.isEmpty() && chain.size() < 50) {
    chain.push_back(current.toStdString());
    const QString tail = Part(chain.back(), false);
    const std::filesystem::path cur(chain.back()),
        old(Find(kRotateLog, tail, 2, true).toStdString());
    if (old.filename() != cur.filename() ||
        old.parent_path().filename() != cur.parent_path().filename() ||
        !Find(kCloseLog, tail).isEmpty()) {
      break;
    }
    current = Find(kRotateLog, tail, 1, true);
  }
  return chain;
}

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

long Count(const std::vector<std::string>& keys, const char* key) {
  return std::count(keys.begin(), keys.end(), key);
}

TEST(RotateFileChannelTest, ChainCanBeFollowedBackFromTheNewestFile) {
  struct Case {
    const char* name;
    int files;
    std::vector<size_t> lines;  // message sizes written into each file
  };
  const Case cases[] = {
      {"small files", 4, {50, 80}},
      {"empty files", 3, {}},
      {"large files", 3, std::vector<size_t>(300, 200)},
      {"long line just before each rotation", 4, {100, 5000}},
      {"only long lines", 3, {5000, 7000, 5000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir dir;
    DrivenRotateChannel channel{TPath(NthFile(dir, 0))};
    channel.Open();
    for (int f = 0; f < c.files; ++f) {
      // Rotate by Append (before its line is written) where there are lines.
      if (f > 0 && c.lines.empty()) channel.DoRotate();
      for (size_t i = 0; i < c.lines.size(); ++i) {
        channel.rotateNext = f > 0 && i == 0;
        channel.Append(Info, Message(c.lines[i]));
      }
      ASSERT_EQ(channel.GetPath().NativeString(), NthFile(dir, f));
    }
    // No Close: the chain must be followable from a process that died.
    channel.Flush();

    std::vector<std::string> expected;
    for (int f = c.files - 1; f >= 0; --f) expected.push_back(NthFile(dir, f));
    EXPECT_EQ(FollowChain(expected.front()), expected);

    for (int f = 0; f < c.files; ++f) {
      SCOPED_TRACE(f);
      const auto keys = Keys(NthFile(dir, f));
      ASSERT_GE(keys.size(), 2u - (f == 0));
      EXPECT_EQ(keys[0], "open-log");
      EXPECT_EQ(Count(keys, "msg"), static_cast<long>(c.lines.size()));
      EXPECT_EQ(Count(keys, "close-log"), 0);
      if (f == 0) {
        EXPECT_EQ(Count(keys, "rotate-log"), 0);
        continue;
      }
      EXPECT_EQ(keys[1], "rotate-log");
      // A file the channel rotated away from ends with the event.
      if (f < c.files - 1) {
        EXPECT_EQ(keys.back(), "rotate-log");
      }
    }

    channel.Close();
    EXPECT_EQ(Keys(expected.front()).back(), "close-log");
  }
}

TEST(RotateFileChannelTest, TailNamesThePredecessorAfterEveryLine) {
  // Long paths make the rotate-log line itself long; it must still fit in
  // the tail together with whatever follows it.
  const std::string longName(240, 'd');
  for (const std::string& sub : {std::string("logs"), longName + "/" + longName}) {
    SCOPED_TRACE(sub.size());
    ScopedTempDir root;
    std::filesystem::create_directories(root.Sub(sub));
    const std::string base = root.Sub(sub + "/app.txt");
    const std::string file = root.Sub(sub + "/app_1.txt");
    DrivenRotateChannel channel{TPath(base)};
    channel.Open();
    channel.DoRotate();
    auto appendAndCheckTail = [&](size_t size) {
      channel.Append(Info, Message(size));
      channel.Flush();
      const QString tail = Part(file, false);
      ASSERT_EQ(Find(kRotateLog, tail, 1, true).toStdString(), base) << size;
      ASSERT_EQ(Find(kRotateLog, tail, 2, true).toStdString(), file) << size;
    };
    for (int round = 0; round < 3; ++round) {
      for (size_t size : {10, 500, 2999, 3001, 5000, 100, 40, 2000, 1000, 12000, 3, 2500}) {
        appendAndCheckTail(size);
      }
    }
    // Worst case: stop exactly at the spacing limit, counted from the end of
    // the last rotate-log line, where a repeat is not yet due.
    const size_t overhead = Formatter::FormatLine(Info, Message(0)).size() + 1;
    for (int round = 0; round < 4; ++round) {
      const std::string bytes = ReadFile(file);
      const size_t gap = bytes.size() - (bytes.find('\n', bytes.rfind("\"rotate-log\"")) + 1);
      const size_t spacing = RotateFileChannel::kRotateEventSpacing;
      const size_t want = gap < spacing ? spacing - gap : 0;
      appendAndCheckTail(want > overhead ? want - overhead : 1);
    }
    // The event is repeated by the spacing rule, not after every line.
    const uint64_t before = std::filesystem::file_size(file);
    for (int i = 0; i < 300; ++i) channel.Append(Info, Message(100));
    channel.Flush();
    const auto keys = Keys(file);
    EXPECT_LE(Count(std::vector<std::string>(keys.end() - 300, keys.end()), "rotate-log"),
              static_cast<long>((std::filesystem::file_size(file) - before) / 2000));
  }
}

// The chain names the real files even in a non-ASCII directory, and skips
// (never overwrites) the files an earlier run left.
TEST(RotateFileChannelTest, ChainSkipsEarlierRunsFilesAndMatchesNonAsciiNames) {
  ScopedTempDir root;
  const std::string dir = root.Sub("journaux \xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac");
  std::filesystem::create_directory(dir);
  auto file = [&](int n) {
    return dir + (n == 0 ? "/app-\xc3\xbc.txt" : "/app-\xc3\xbc_" + std::to_string(n) + ".txt");
  };
  zor::test::WriteFile(file(1), "earlier run\n");
  zor::test::WriteFile(file(3), "earlier run\n");
  DrivenRotateChannel channel{TPath(file(0))};
  channel.Open();
  for (int i = 0; i < 2; ++i) {
    channel.Append(Info, Message(5000));
    channel.DoRotate();
  }
  channel.Flush();
  EXPECT_EQ(FollowChain(channel.GetPath().NativeString()),
            (std::vector<std::string>{file(4), file(2), file(0)}));
  EXPECT_EQ(ReadFile(file(1)), "earlier run\n");
  EXPECT_EQ(ReadFile(file(3)), "earlier run\n");
}

TEST(RotateFileChannelTest, FailedRotationKeepsTheCurrentFile) {
  ScopedTempDir root;
  const std::string dir = root.Sub("gone");
  std::filesystem::create_directory(dir);
  DrivenRotateChannel channel{TPath(dir + "/app.txt")};
  channel.Open();
  std::filesystem::remove_all(dir);

  EXPECT_THROW(channel.DoRotate(), TPath::Exception);
  EXPECT_TRUE(channel.IsOpen());
  channel.rotateNext = true;
  EXPECT_NO_THROW(channel.Append(Info, Message(10)));
  EXPECT_EQ(channel.GetPath().NativeString(), dir + "/app.txt");
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
  for (int f = 0; f <= kRotations; ++f) messages += Count(Keys(NthFile(dir, f)), "msg");
  EXPECT_EQ(messages, kThreads * kEvents);
  EXPECT_EQ(FollowChain(NthFile(dir, kRotations)).size(), static_cast<size_t>(kRotations + 1));
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
