#include "log/log_file_channel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <csignal>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/error_of_for_test.h"
#include "log/log_test_helpers.h"
#include "support/temp_dir.h"

namespace zor::platform::TLog {
namespace {

using zor::platform::test_support::Keys;
using zor::platform::test_support::ParseLine;
using zor::platform::test_support::ReadLines;
using zor::platform::test_support::StringMember;
using zor::platform::test_support::ValueMember;
using zor::test::ErrorOf;
using zor::test::ReadFile;
using zor::test::ScopedTempDir;
using zor::test::WriteFile;
namespace fs = std::filesystem;

Event Text(const char* key, const char* text) { return Event{key, Literal::String(text), {}}; }

class FileChannelTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
  std::string path_ = dir_.Sub("app.txt");
};

TEST_F(FileChannelTest, WritesOpenAndCloseEventsAroundTheLines) {
  {
    FileChannel channel{TPath(path_)};
    channel.Append(Info, Text("dropped", "not open yet"));
    channel.Open();
    channel.Open();  // already open: no second open-log
    channel.Append(Warn, Text("cat", "hello"));
    channel.Flush();
    EXPECT_EQ(Keys(path_), (std::vector<std::string>{"open-log", "cat"}));
    channel.Close();
    EXPECT_FALSE(channel.IsOpen());
    channel.Append(Info, Text("dropped", "closed"));
    channel.Close();
  }
  // A second run appends (to a file an earlier version left readable by
  // others, which it narrows: the log names upload URLs); destruction closes
  // like Close().
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write);
  fs::permissions(path_, fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
  { FileChannel{TPath(path_)}.Open(); }
  EXPECT_EQ(fs::status(path_).permissions(), fs::perms::owner_read | fs::perms::owner_write);

  EXPECT_EQ(Keys(path_),
            (std::vector<std::string>{"open-log", "cat", "close-log", "open-log", "close-log"}));
  for (const auto& line : ReadLines(path_)) {
    const auto doc = ParseLine(line);
    EXPECT_EQ(ValueMember(doc, "path"), StringMember(doc, "k") == "cat" ? "" : path_) << line;
  }
}

// A write that fails (the file size limit stands in for a full disk) is said
// once on standard error, and neither a torn line it leaves nor one an
// earlier run left has the next line joined onto it.
TEST_F(FileChannelTest, AFailedWriteIsSaidOnceAndLeavesNoLineJoinedToATornOne) {
  WriteFile(path_, R"({"k":"torn by a kill)");
  FileChannel channel{TPath(path_)};
  channel.Open();
  channel.Flush();
  const uint64_t limit = fs::file_size(path_) + 10;
  const auto lines = [&] {
    channel.Append(Info, Text("cat", std::string(100, 'x').c_str()));
    channel.Flush();
  };
  rlimit previous{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
  const auto signalBefore = ::signal(SIGXFSZ, SIG_IGN);
  const rlimit small{limit, previous.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  ::testing::internal::CaptureStderr();
  lines();
  lines();
  const std::string said = ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &previous), 0);
  ::signal(SIGXFSZ, signalBefore);
  EXPECT_EQ(said, "zorcrashreporter: cannot write the log file '" + path_ +
                      "': " + std::strerror(EFBIG) + "; its lines are lost\n");

  lines();
  channel.Close();
  const std::vector<std::string> all = ReadLines(path_);
  ASSERT_EQ(all.size(), 5u);
  EXPECT_EQ(all[0], R"({"k":"torn by a kill)");
  EXPECT_EQ(StringMember(ParseLine(all[1]), "k"), "open-log");
  EXPECT_EQ(all[2].size(), 10u);  // what the limit let through of the first
  EXPECT_EQ(StringMember(ParseLine(all[3]), "k"), "cat");
  EXPECT_EQ(StringMember(ParseLine(all[4]), "k"), "close-log");
}

// A relative path is recorded as absolute.
TEST_F(FileChannelTest, OpenCreatesMissingDirectoriesAndNamesThePathOnFailure) {
  const auto previous = fs::current_path();
  fs::current_path(dir_.path());
  FileChannel created{TPath("a/b/app.txt")};
  fs::current_path(previous);
  EXPECT_EQ(created.GetPath().NativeString(), dir_.Sub("a/b/app.txt"));
  created.Open();
  EXPECT_TRUE(created.IsOpen());
  EXPECT_TRUE(fs::is_regular_file(dir_.Sub("a/b/app.txt")));

  // Not below a file, nor through a link at its name, nor in a folder others
  // may write.
  WriteFile(dir_.Sub("file"), "x");
  WriteFile(dir_.Sub("victim.sh"), "kept");
  fs::create_symlink(dir_.Sub("victim.sh"), dir_.Sub("link.txt"));
  const std::string open = dir_.Sub("open");
  fs::create_directories(open);
  fs::permissions(open, fs::perms::all);
  // Root's group, with no one else in it, may write the folder above; an
  // ACL lets another user write it too (the group bits are its mask).
  const std::string acl = dir_.Sub("acl");
  fs::create_directories(acl + "/logs");
  const uint16_t kRwx = 7;
  const uint32_t kNone = 0xffffffff;
  struct __attribute__((packed)) Entry {
    uint16_t tag, perm;
    uint32_t id;
  };
  const struct __attribute__((packed)) {
    uint32_t version = 2;
    Entry entries[5] = {{0x01, kRwx, kNone},
                        {0x02, kRwx, 65534},
                        {0x04, 5, kNone},
                        {0x10, kRwx, kNone},
                        {0x20, 5, kNone}};
  } xattr;
  const bool aclSet =
      ::setxattr(acl.c_str(), "system.posix_acl_access", &xattr, sizeof xattr, 0) == 0;
  // A FIFO would block the run at its first lines.
  ASSERT_EQ(::mkfifo(dir_.Sub("fifo.txt").c_str(), 0600), 0);
  std::vector<std::pair<std::string, std::string>> refusals = {
      {dir_.Sub("file/app.txt"), std::strerror(ENOTDIR)},
      {dir_.Sub("link.txt"), "it is a symbolic link"},
      {dir_.Sub("fifo.txt"), "it is a FIFO"},
      {open + "/app.txt", "'" + open + "' is writable by group or others"},
  };
  if (aclSet) refusals.push_back({acl + "/logs/app.txt", "'" + acl + "', is writable by group"});
  for (const auto& [path, cause] : refusals) {
    FileChannel refused{TPath(path)};
    EXPECT_THAT(ErrorOf([&] { refused.Open(); }),
                ::testing::AllOf(::testing::HasSubstr(path), ::testing::HasSubstr(cause)));
    EXPECT_FALSE(refused.IsOpen());
  }
  EXPECT_FALSE(fs::exists(dir_.Sub("open/app.txt")));
  EXPECT_EQ(ReadFile(dir_.Sub("victim.sh")), "kept");
}

TEST(TruncateFileChannelTest, MovesALargeFileAsideAtOpen) {
  constexpr uintmax_t kLimit = 9 * 1024 * 1024;
  struct Case {
    const char* name;
    uintmax_t size;  // of the log file before Open
    int keepFiles;
    bool hadOlder;  // "<stem>.1<ext>" existed before
  };
  const Case cases[] = {
      {"at the limit", kLimit, 1, false},
      {"one byte over", kLimit + 1, 1, false},
      {"replaces the older file", kLimit + 1, 1, true},
      {"shifts the older file", kLimit + 1, 2, true},
      {"keeps none", kLimit + 1, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir dir;
    const std::string log = dir.Sub("app.log.txt");
    const std::string older1 = dir.Sub("app.log.1.txt");
    const std::string older2 = dir.Sub("app.log.2.txt");
    WriteFile(log, "");
    fs::resize_file(log, c.size);
    if (c.hadOlder) WriteFile(older1, "older run\n");

    TruncateFileChannel channel(TPath(log), 9, c.keepFiles);
    channel.Open();
    channel.Flush();

    if (c.size <= kLimit) {
      EXPECT_GT(fs::file_size(log), c.size);  // appended to
      EXPECT_FALSE(fs::exists(older1));
      continue;
    }
    EXPECT_EQ(Keys(log), std::vector<std::string>{"open-log"});
    if (c.keepFiles == 0) {
      EXPECT_EQ(ReadFile(older1), "older run\n");
      continue;
    }
    EXPECT_EQ(fs::file_size(older1), c.size);
    EXPECT_EQ(fs::exists(older2), c.keepFiles >= 2);
    EXPECT_EQ(ReadFile(older2), c.keepFiles >= 2 ? "older run\n" : "");
  }
  // A folder at the older name refuses the move; the message names both.
  ScopedTempDir dir;
  WriteFile(dir.Sub("app.txt"), "");
  fs::resize_file(dir.Sub("app.txt"), kLimit + 1);
  fs::create_directories(dir.Sub("app.1.txt/kept"));
  TruncateFileChannel channel(TPath(dir.Sub("app.txt")), 9, 1);
  EXPECT_THAT(ErrorOf([&] { channel.Open(); }),
              ::testing::HasSubstr(dir.Sub("app.txt") + " to " + dir.Sub("app.1.txt") + ": "));
}

}  // namespace
}  // namespace zor::platform::TLog
