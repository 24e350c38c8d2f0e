#include "platform/log_rotate_channel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QRegExp>
#include <filesystem>
#include <set>
#include <thread>

#include "platform/log_test_helpers.h"
#include "support/temp_dir.h"

namespace zor::platform::TLog {
namespace {

using zor::platform::testing::KeyOf;
using zor::platform::testing::ParseLine;
using zor::platform::testing::ReadBytes;
using zor::platform::testing::ReadLines;
using zor::platform::testing::ValueMember;
using zor::test::ScopedTempDir;

// What a reader of rotated logs finds in a piece of text, with the patterns
// such a reader uses (minimal matching, last rotate-log wins).
struct FoundEvents {
  QString openPath;
  QString closePath;
  QString rotateNew;
  QString rotateOld;
};

FoundEvents Scan(const QString& text) {
  auto pattern = [](const char* p) {
    QRegExp re(QString::fromUtf8(p), Qt::CaseInsensitive, QRegExp::RegExp);
    re.setMinimal(true);
    return re;
  };
  QRegExp open = pattern(R"re("open-log".*"path":"(.*)")re");
  QRegExp close = pattern(R"re("close-log".*"path":"(.*)")re");
  QRegExp rotate = pattern(R"re("rotate-log".*"new-path":"(.*)","old-path":"(.*)")re");
  FoundEvents found;
  if (open.indexIn(text) >= 0) found.openPath = open.cap(1);
  if (close.indexIn(text) >= 0) found.closePath = close.cap(1);
  if (rotate.lastIndexIn(text) >= 0) {
    found.rotateNew = rotate.cap(1);
    found.rotateOld = rotate.cap(2);
  }
  return found;
}

constexpr size_t kHeadTail = 4000;

QString Decode(const std::string& bytes) {
  return QString::fromUtf8(bytes.data(), static_cast<int>(bytes.size()));
}

QString Head(const std::string& path) {
  const std::string bytes = ReadBytes(path);
  return Decode(bytes.size() <= 2 * kHeadTail ? bytes : bytes.substr(0, kHeadTail));
}

QString Tail(const std::string& path) {
  const std::string bytes = ReadBytes(path);
  return Decode(bytes.size() <= 2 * kHeadTail ? bytes : bytes.substr(bytes.size() - kHeadTail));
}

// Follows the chain from `newest` back to the first file, looking only at
// each file's head and tail, as a reader of rotated logs does.
std::vector<std::string> FollowChain(const std::string& newest) {
  std::vector<std::string> chain;
  QString current = Scan(Head(newest)).openPath;
  while (!current.isEmpty() && chain.size() < 50) {
    chain.push_back(current.toStdString());
    const FoundEvents tail = Scan(Tail(current.toStdString()));
    const std::filesystem::path cur(current.toStdString()), old(tail.rotateOld.toStdString());
    if (old.filename() != cur.filename() ||
        old.parent_path().filename() != cur.parent_path().filename() || !tail.closePath.isEmpty()) {
      break;
    }
    current = tail.rotateNew;
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

// The files a channel on `base` writes: base, then <stem>_1<ext>, ...
std::string NthFile(const ScopedTempDir& dir, const std::string& stem, int n) {
  return n == 0 ? dir.Sub(stem + ".txt") : dir.Sub(stem + "_" + std::to_string(n) + ".txt");
}

TEST(RotateFileChannelTest, ChainCanBeFollowedBackFromTheNewestFile) {
  struct Case {
    const char* name;
    int files;
    std::vector<size_t> lines;  // message sizes written into each file
  };
  const std::vector<size_t> manyLines(300, 200);
  const Case cases[] = {
      {"small files", 4, {50, 80}},
      {"empty files", 3, {}},
      {"large files", 3, manyLines},
      {"long line just before each rotation", 4, {100, 5000}},
      {"only long lines", 3, {5000, 7000, 5000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir dir;
    DrivenRotateChannel channel{TPath(NthFile(dir, "app", 0))};
    channel.Open();
    for (int f = 0; f < c.files; ++f) {
      // Rotate by Append (before its line is written) where there are lines.
      if (f > 0 && c.lines.empty()) channel.DoRotate();
      for (size_t i = 0; i < c.lines.size(); ++i) {
        channel.rotateNext = f > 0 && i == 0;
        channel.Append(Info, Message(c.lines[i]));
      }
      ASSERT_EQ(channel.GetPath().NativeString(), NthFile(dir, "app", f));
    }
    // No Close: the chain must be followable from a process that died.
    channel.Flush();

    std::vector<std::string> expected;
    for (int f = c.files - 1; f >= 0; --f) expected.push_back(NthFile(dir, "app", f));
    EXPECT_EQ(FollowChain(NthFile(dir, "app", c.files - 1)), expected);

    for (int f = 0; f < c.files; ++f) {
      SCOPED_TRACE(f);
      const auto lines = ReadLines(NthFile(dir, "app", f));
      ASSERT_GE(lines.size(), 1u);
      const auto first = ParseLine(lines[0]);
      EXPECT_EQ(KeyOf(first), "open-log");
      EXPECT_EQ(ValueMember(first, "path"), NthFile(dir, "app", f));
      size_t messages = 0;
      for (const auto& line : lines) {
        const std::string key = KeyOf(ParseLine(line));
        EXPECT_NE(key, "close-log");
        if (f == 0) {
          EXPECT_NE(key, "rotate-log");
        }
        messages += key == "msg";
      }
      EXPECT_EQ(messages, c.lines.size());
      if (f == 0) continue;
      ASSERT_GE(lines.size(), 2u);
      const auto second = ParseLine(lines[1]);
      EXPECT_EQ(KeyOf(second), "rotate-log");
      EXPECT_EQ(ValueMember(second, "new-path"), NthFile(dir, "app", f - 1));
      EXPECT_EQ(ValueMember(second, "old-path"), NthFile(dir, "app", f));
      if (f < c.files - 1) {
        // A file the channel rotated away from ends with the event.
        EXPECT_EQ(KeyOf(ParseLine(lines.back())), "rotate-log");
      }
    }

    channel.Close();
    EXPECT_EQ(KeyOf(ParseLine(ReadLines(NthFile(dir, "app", c.files - 1)).back())), "close-log");
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
    const size_t sizes[] = {10, 500, 2999, 3001, 5000, 100, 40, 2000, 1000, 12000, 3, 2500};
    for (int round = 0; round < 3; ++round) {
      for (size_t size : sizes) {
        SCOPED_TRACE(size);
        channel.Append(Info, Message(size));
        channel.Flush();
        const FoundEvents tail = Scan(Tail(file));
        ASSERT_EQ(tail.rotateNew.toStdString(), base);
        ASSERT_EQ(tail.rotateOld.toStdString(), file);
      }
    }
    // Worst case: stop exactly at the spacing limit, counted from the end of
    // the last rotate-log line, where a repeat is not yet due.
    const size_t overhead = Formatter::FormatLine(Info, Message(0)).size() + 1;
    for (int round = 0; round < 4; ++round) {
      const std::string bytes = ReadBytes(file);
      const size_t lastEvent = bytes.rfind("\"rotate-log\"");
      const size_t gap = bytes.size() - (bytes.find('\n', lastEvent) + 1);
      const size_t spacing = RotateFileChannel::kRotateEventSpacing;
      const size_t want = gap < spacing ? spacing - gap : 0;
      channel.Append(Info, Message(want > overhead ? want - overhead : 1));
      channel.Flush();
      const FoundEvents tail = Scan(Tail(file));
      ASSERT_EQ(tail.rotateNew.toStdString(), base);
      ASSERT_EQ(tail.rotateOld.toStdString(), file);
    }
    // The event is repeated by the spacing rule, not after every line.
    const uint64_t before = std::filesystem::file_size(file);
    for (int i = 0; i < 300; ++i) channel.Append(Info, Message(100));
    channel.Flush();
    size_t repeats = 0;
    const auto lines = ReadLines(file);
    for (size_t i = lines.size() - 300; i < lines.size(); ++i) {
      repeats += KeyOf(ParseLine(lines[i])) == "rotate-log";
    }
    EXPECT_LE(repeats, (std::filesystem::file_size(file) - before) / 2000);
  }
}

TEST(RotateFileChannelTest, NeverOverwritesFilesOfEarlierRuns) {
  ScopedTempDir dir;
  zor::test::WriteFile(NthFile(dir, "app", 1), "earlier run\n");
  zor::test::WriteFile(NthFile(dir, "app", 3), "earlier run\n");
  DrivenRotateChannel channel{TPath(NthFile(dir, "app", 0))};
  channel.Open();
  channel.DoRotate();
  EXPECT_EQ(channel.GetPath().NativeString(), NthFile(dir, "app", 2));
  channel.DoRotate();
  EXPECT_EQ(channel.GetPath().NativeString(), NthFile(dir, "app", 4));
  EXPECT_EQ(zor::test::ReadFile(NthFile(dir, "app", 1)), "earlier run\n");
  EXPECT_EQ(zor::test::ReadFile(NthFile(dir, "app", 3)), "earlier run\n");
  channel.Flush();
  EXPECT_EQ(FollowChain(NthFile(dir, "app", 4)),
            (std::vector<std::string>{NthFile(dir, "app", 4), NthFile(dir, "app", 2),
                                      NthFile(dir, "app", 0)}));
}

TEST(RotateFileChannelTest, NonAsciiDirectoryNamesMatchTheRealFiles) {
  ScopedTempDir root;
  const std::string dirName = "journaux \xc3\xa9t\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac";
  const std::string dir = root.Sub(dirName);
  std::filesystem::create_directory(dir);
  DrivenRotateChannel channel{TPath(dir + "/app-\xc3\xbc.txt")};
  channel.Open();
  for (int i = 0; i < 2; ++i) {
    channel.Append(Info, Message(5000));
    channel.DoRotate();
  }
  channel.Flush();

  std::set<std::string> onDisk;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    onDisk.insert(entry.path().string());
  }
  const auto chain = FollowChain(channel.GetPath().NativeString());
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ(std::set<std::string>(chain.begin(), chain.end()), onDisk);
  EXPECT_EQ(chain.back(), dir + "/app-\xc3\xbc.txt");
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
  EXPECT_EQ(channel.GetPath().NativeString(), dir + "/app.txt");
  channel.rotateNext = true;
  EXPECT_NO_THROW(channel.Append(Info, Message(10)));
  EXPECT_EQ(channel.GetPath().NativeString(), dir + "/app.txt");
}

TEST(RotateFileChannelTest, ConcurrentAppendsAndRotationsKeepLinesWhole) {
  ScopedTempDir dir;
  DrivenRotateChannel channel{TPath(NthFile(dir, "app", 0))};
  channel.Open();
  constexpr int kThreads = 3;
  constexpr int kEvents = 500;
  constexpr int kRotations = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&channel] {
      for (int i = 0; i < kEvents; ++i) channel.Append(Info, Message(300));
    });
  }
  for (int r = 0; r < kRotations; ++r) channel.DoRotate();
  for (auto& thread : threads) thread.join();
  channel.Flush();

  int messages = 0;
  for (int f = 0; f <= kRotations; ++f) {
    for (const auto& line : ReadLines(NthFile(dir, "app", f))) {
      messages += KeyOf(ParseLine(line)) == "msg";
    }
  }
  EXPECT_EQ(messages, kThreads * kEvents);
  EXPECT_EQ(FollowChain(NthFile(dir, "app", kRotations)).size(),
            static_cast<size_t>(kRotations + 1));
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
      {"long after", 60, seconds(100000), true},
      {"zero never rotates", 0, seconds(100000), false},
      {"huge interval never reached", UINT64_MAX, seconds(int64_t{1} << 32), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir dir;
    ManualClockChannel channel(TPath(NthFile(dir, "app", 0)), c.interval);
    channel.Open();
    EXPECT_FALSE(channel.ShouldRotate());
    channel.now += c.advance;
    channel.Append(Info, Message(10));
    EXPECT_EQ(channel.GetPath().NativeString(), NthFile(dir, "app", c.rotates ? 1 : 0));
    // The interval restarts with the new file.
    EXPECT_FALSE(c.rotates && channel.ShouldRotate());
  }
}

}  // namespace
}  // namespace zor::platform::TLog
