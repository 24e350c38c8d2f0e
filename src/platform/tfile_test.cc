#include "platform/tfile.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QString>
#include <csignal>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace zor::platform {
namespace {

using zor::test::ReadFile;
using zor::test::ScopedTempDir;
using zor::test::WriteFile;

std::string ReadString(TFile& file, int64_t count) {
  std::string bytes(static_cast<size_t>(count), '\0');
  bytes.resize(static_cast<size_t>(file.Read(bytes.data(), count)));
  return bytes;
}

class TFileTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
};

TEST_F(TFileTest, LargeBinaryRoundTripThroughWriteAndReadAll) {
  // Larger than any internal chunk, with every byte value, so that a loop that
  // stops early or a text-mode conversion shows.
  std::string content;
  for (int i = 0; i < 300000; ++i) content.push_back(static_cast<char>(i * 7 % 256));
  const std::string path = dir_.Sub("data.bin");
  {
    TFile out(path, OpenMode::Write);
    EXPECT_EQ(out.Write(content), static_cast<int64_t>(content.size()));
    out.Sync();
  }
  EXPECT_EQ(TFile(path, OpenMode::Read).ReadAll(), content);
}

// The lease that tells a writer is there is broken by every writer that
// opens the file meanwhile, and the kernel signals the holder: however
// often, the holder lives on, and a writer there is seen.
TEST_F(TFileTest, WritersThatBreakTheLeaseEndNothing) {
  const std::string path = dir_.Sub("dump");
  WriteFile(path, "MDMP");
  const pid_t writer = ::fork();
  ASSERT_GE(writer, 0);
  if (writer == 0) {
    for (;;) {
      const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd >= 0) ::close(fd);
    }
  }
  const pid_t asker = ::fork();
  if (asker == 0) {
    TFile file(path, OpenMode::Read);
    int seen = 0;
    for (int i = 0; i < 20000; ++i) seen += file.IsOpenForWriting().value_or(false) ? 1 : 0;
    ::_exit(seen > 0 ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(asker, &status, 0), asker);
  ::kill(writer, SIGKILL);
  ::waitpid(writer, nullptr, 0);
  EXPECT_TRUE(WIFEXITED(status)) << ::strsignal(WTERMSIG(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "no writer was ever seen";
  {
    TFile idle(path, OpenMode::Read);
    EXPECT_EQ(idle.IsOpenForWriting(), std::optional<bool>(false));
  }
}

// Open() itself reports a failure without throwing, and refuses to reopen.
TEST_F(TFileTest, OpenModesTruncateAppendOrKeep) {
  const std::string path = dir_.Sub("modes.txt");
  WriteFile(path, "abcdef");

  { TFile(path, OpenMode::Write).Write("xy"); }
  EXPECT_EQ(ReadFile(path), "xy");

  {
    TFile file(path, OpenMode::Append);
    file.Seek(0);  // appends land at the end whatever the position
    file.Write("z");
  }
  EXPECT_EQ(ReadFile(path), "xyz");

  const std::string created = dir_.Sub("created.txt");
  { TFile(created, OpenMode::ReadWrite).Write("new"); }
  EXPECT_EQ(ReadFile(created), "new");

  const std::string missing = dir_.Sub("missing.txt");
  TFile file(missing);
  EXPECT_FALSE(file.Open(OpenMode::Read));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(file.ErrorString().toStdString(),
            "TFile: cannot open '" + missing + "': No such file or directory");
  ASSERT_TRUE(file.Open(OpenMode::Write));
  EXPECT_FALSE(file.Open(OpenMode::Write));
  EXPECT_TRUE(file.IsOpen());
}

TEST_F(TFileTest, SeekPeekAndShortReadAtEnd) {
  const std::string path = dir_.Sub("digits.txt");
  WriteFile(path, "0123456789");
  TFile file(path, OpenMode::Read);

  file.Seek(3);
  char peeked[4];
  ASSERT_EQ(file.Peek(peeked, 4), 4);
  EXPECT_EQ(std::string(peeked, 4), "3456");
  EXPECT_EQ(file.Pos(), 3);

  EXPECT_EQ(ReadString(file, 4), "3456");
  EXPECT_EQ(ReadString(file, 100), "789");
  EXPECT_TRUE(file.AtEnd());
  EXPECT_EQ(file.Peek(peeked, 4), 0);

  file.Seek(8);
  EXPECT_EQ(file.ReadAll(), "89");
}

TEST_F(TFileTest, FailuresNameClassPathAndCause) {
  const std::string missing = dir_.Sub("missing.txt");
  const std::string readOnly = dir_.Sub("read-only.txt");
  WriteFile(readOnly, "x");

  struct Case {
    const char* name;
    std::function<void()> action;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"open missing for reading", [&] { TFile(missing, OpenMode::Read); },
       "TFile: cannot open '" + missing + "': No such file or directory"},
      {"write to a file opened for reading", [&] { TFile(readOnly, OpenMode::Read).Write("y"); },
       "TFile: cannot write '" + readOnly + "': Bad file descriptor"},
      {"negative seek", [&] { TFile(readOnly, OpenMode::Read).Seek(-1); },
       "TFile: cannot seek in '" + readOnly + "': Invalid argument"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      c.action();
      ADD_FAILURE() << "no exception";
    } catch (const TPath::Exception& e) {
      EXPECT_EQ(std::string(e.what()), c.expected);
      ASSERT_TRUE(e.GetError().has_value());
      EXPECT_NE(e.GetError()->systemError, 0);
    }
  }
}

// `text` as code units of `unitSize` bytes in the given byte order, after the
// byte-order mark `bom`.
std::string Encode(const QString& text, const std::string& bom, int unitSize, bool bigEndian) {
  const QVector<uint> ucs4 = text.toUcs4();
  const std::vector<uint> units = unitSize == 2
                                      ? std::vector<uint>(text.utf16(), text.utf16() + text.size())
                                      : std::vector<uint>(ucs4.begin(), ucs4.end());
  std::string bytes = bom;
  for (uint unit : units) {
    for (int b = 0; b < unitSize; ++b) {
      bytes.push_back(static_cast<char>(unit >> 8 * (bigEndian ? unitSize - 1 - b : b)));
    }
  }
  return bytes;
}

TEST_F(TFileTest, LoadTextFileDecodesByByteOrderMark) {
  // Latin-1, BMP and non-BMP characters, and a CR LF that must survive as is.
  const QString text = QString::fromUtf8("h\xC3\xA9llo \xE2\x82\xAC \xF0\x9D\x84\x9E\r\nend");
  const std::string utf8 = text.toUtf8().toStdString();
  struct Case {
    const char* name;
    std::string bytes;
    QString expected;
  };
  const std::vector<Case> cases = {
      {"utf-8 without mark", utf8, text},
      {"utf-8 with mark", "\xEF\xBB\xBF" + utf8, text},
      {"utf-16 le", Encode(text, "\xFF\xFE", 2, false), text},
      {"utf-16 be", Encode(text, "\xFE\xFF", 2, true), text},
      {"utf-32 le", Encode(text, std::string("\xFF\xFE\0\0", 4), 4, false), text},
      {"utf-32 be", Encode(text, std::string("\0\0\xFE\xFF", 4), 4, true), text},
      {"only a mark", "\xFF\xFE", QString()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir_.Sub("text.txt");
    WriteFile(path, c.bytes);
    EXPECT_EQ(TFile::LoadTextFile(path).ToQString(), c.expected);
  }
}

}  // namespace
}  // namespace zor::platform
