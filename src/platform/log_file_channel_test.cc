#include "platform/log_file_channel.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/log_test_helpers.h"
#include "support/temp_dir.h"

namespace zor::platform::TLog {
namespace {

using zor::platform::testing::KeyOf;
using zor::platform::testing::Keys;
using zor::platform::testing::ParseLine;
using zor::platform::testing::ReadLines;
using zor::platform::testing::ValueMember;
using zor::test::ScopedTempDir;

constexpr off_t kMiB = 1024 * 1024;

void MakeSparseFile(const std::string& path, off_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
}

off_t SizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class FileChannelTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
  std::string path_ = dir_.Sub("app.txt");
};

TEST_F(FileChannelTest, WritesOpenAndCloseEventsAroundTheLines) {
  {
    FileChannel channel{TPath(path_)};
    EXPECT_FALSE(channel.IsOpen());
    channel.Append(Info, Event{"dropped", Literal::String("not open yet"), {}});
    channel.Open();
    channel.Open();  // already open: no second open-log
    EXPECT_TRUE(channel.IsOpen());
    channel.Append(Warn, Event{"cat", Literal::String("hello"), {}});
    channel.Close();
    EXPECT_FALSE(channel.IsOpen());
    channel.Append(Info, Event{"dropped", Literal::String("closed"), {}});
    channel.Close();
  }
  // A second run appends; destruction closes like Close().
  {
    FileChannel channel{TPath(path_)};
    channel.Open();
  }

  EXPECT_EQ(Keys(path_),
            (std::vector<std::string>{"open-log", "cat", "close-log", "open-log", "close-log"}));
  for (const auto& line : ReadLines(path_)) {
    const auto doc = ParseLine(line);
    if (KeyOf(doc) != "cat") {
      EXPECT_EQ(ValueMember(doc, "path"), path_) << line;
    }
  }
}

TEST_F(FileChannelTest, LinesReachTheFileOnFlush) {
  FileChannel channel{TPath(path_)};
  channel.Open();
  for (int i = 0; i < 3; ++i) {
    channel.Append(Info, Event{"n", Literal::String(TString::Number(i)), {}});
    channel.Flush();
    const auto lines = ReadLines(path_);
    ASSERT_EQ(lines.size(), static_cast<size_t>(i + 2));
    EXPECT_STREQ(ParseLine(lines.back())["v"].GetString(), std::to_string(i).c_str());
  }
}

TEST_F(FileChannelTest, OpenFailureNamesThePathAndTheCause) {
  const std::string missing = dir_.Sub("no-such-dir/app.txt");
  FileChannel channel{TPath(missing)};
  try {
    channel.Open();
    FAIL() << "Open succeeded in a missing directory";
  } catch (const TPath::Exception& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find(missing), std::string::npos) << message;
    EXPECT_NE(message.find(std::strerror(ENOENT)), std::string::npos) << message;
  }
  EXPECT_FALSE(channel.IsOpen());
  EXPECT_FALSE(std::filesystem::exists(dir_.Sub("no-such-dir")));
}

TEST_F(FileChannelTest, FileIsClosedOnExec) {
  FileChannel channel{TPath(path_)};
  channel.Open();
  int found = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec) != path_) continue;
    const int fd = std::stoi(entry.path().filename().string());
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    ++found;
  }
  EXPECT_EQ(found, 1);
}

TEST_F(FileChannelTest, RelativePathIsRecordedAsAbsolute) {
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(dir_.path());
  FileChannel channel{TPath("rel.txt")};
  std::filesystem::current_path(previous);
  EXPECT_EQ(channel.GetPath().NativeString(), dir_.Sub("rel.txt"));
}

TEST_F(FileChannelTest, TruncatingChannelMovesALargeFileAsideAtOpen) {
  struct Case {
    const char* name;
    off_t size;  // of the log file before Open
    int keepFiles;
    bool hadOlder;  // "<stem>.1<ext>" existed before
    bool moved;     // the log file is expected to be moved aside
  };
  const Case cases[] = {
      {"at the limit", 9 * kMiB, 1, false, false},
      {"one byte over", 9 * kMiB + 1, 1, false, true},
      {"replaces the older file", 9 * kMiB + 1, 1, true, true},
      {"shifts the older file", 9 * kMiB + 1, 2, true, true},
      {"keeps none", 9 * kMiB + 1, 0, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir dir;
    const std::string log = dir.Sub("app.log.txt");
    const std::string older1 = dir.Sub("app.log.1.txt");
    const std::string older2 = dir.Sub("app.log.2.txt");
    MakeSparseFile(log, c.size);
    if (c.hadOlder) zor::test::WriteFile(older1, "older run\n");

    TruncateFileChannel channel(TPath(log), 9, c.keepFiles);
    channel.Open();
    channel.Flush();

    if (!c.moved) {
      EXPECT_GT(SizeOf(log), c.size);  // appended to
      EXPECT_FALSE(std::filesystem::exists(older1));
      continue;
    }
    EXPECT_EQ(Keys(log), std::vector<std::string>{"open-log"});
    if (c.keepFiles == 0) {
      EXPECT_EQ(zor::test::ReadFile(older1), "older run\n");
      continue;
    }
    EXPECT_EQ(SizeOf(older1), c.size);
    if (c.keepFiles >= 2) {
      EXPECT_EQ(zor::test::ReadFile(older2), "older run\n");
    } else {
      EXPECT_FALSE(std::filesystem::exists(older2));
    }
  }
}

}  // namespace
}  // namespace zor::platform::TLog
