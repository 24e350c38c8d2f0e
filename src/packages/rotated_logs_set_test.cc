#include "packages/rotated_logs_set.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "packages/package_for_test.h"
#include "log/log_rotate_channel.h"
#include "log/tlog.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::TPath;
using zor::platform::TString;
using zor::test::ScopedTempDir;
using zor::test::WriteFile;
namespace TLog = zor::platform::TLog;

// A real rotating log, rotated when the test says so. Remembers every file it
// began, oldest first.
class RotatingLog {
 public:
  explicit RotatingLog(const std::string& basePath) : channel_(TPath(basePath), 0) {
    channel_.Open();
    files_.push_back(channel_.GetPath());
  }
  void Write(size_t bytes) {
    channel_.Append(TLog::Info,
                    {"msg", TLog::Literal::String(std::string(bytes, 'x')), std::nullopt});
  }
  void Rotate() {
    channel_.DoRotate();
    files_.push_back(channel_.GetPath());
  }
  // Hands every line to the kernel but leaves the file open, as a process
  // that crashed would.
  void Flush() { channel_.Flush(); }
  void Close() { channel_.Close(); }

  TPath Newest() const { return files_.back(); }
  // The chain a reader should find from the newest file: newest first.
  std::vector<TPath> NewestFirst() const { return {files_.rbegin(), files_.rend()}; }

 private:
  TLog::TimeBasedRotateFileChannel channel_;
  std::vector<TPath> files_;
};

std::vector<TPath> ReadChain(const TPath& from) {
  RotatedLogsSet set(from);
  set.ReadLogSet();
  return set.GetPaths();
}

// One log line as the log writer formats it, with its line end.
std::string Line(const char* key, std::vector<std::pair<TString, TString>> members) {
  return TLog::Formatter::FormatLine(TLog::Info, {key, TLog::Object::Make(members), std::nullopt}) +
         "\n";
}
std::string OpenLog(const std::string& path) { return Line("open-log", {{"path", path}}); }
std::string CloseLog(const std::string& path) { return Line("close-log", {{"path", path}}); }
std::string RotateLog(const std::string& from, const std::string& in) {
  return Line("rotate-log", {{"new-path", from}, {"old-path", in}});
}
std::string Filler(size_t bytes) { return Line("msg", {{"text", std::string(bytes, 'f')}}); }

TEST(RotatedLogsSet, FollowsChainsWrittenByTheRotatingLog) {
  struct Case {
    const char* name;
    const char* base;
    int files;
    std::vector<size_t> lines;  // message sizes written into each file
    size_t lastLine;            // written just before each rotation (0: none)
  };
  const std::vector<Case> cases = {
      {"empty files", "app.log", 3, {}, 0},
      {"a 5000-byte line before each rotation", "app.log", 4, {100, 200}, 5000},
      {"non-ASCII names", "journaux été/ログ/jürnal.log", 3, {100, 9000}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScopedTempDir root;
    std::filesystem::create_directories(std::filesystem::path(root.Sub(c.base)).parent_path());
    RotatingLog log(root.Sub(c.base));
    for (int f = 0; f < c.files; ++f) {
      if (f > 0) log.Rotate();
      for (size_t bytes : c.lines) log.Write(bytes);
      if (c.lastLine) log.Write(c.lastLine);
    }
    log.Flush();
    EXPECT_EQ(ReadChain(log.Newest()), log.NewestFirst());

    // A log closed at exit ends its chain at once.
    log.Close();
    EXPECT_EQ(ReadChain(log.Newest()), std::vector<TPath>{log.Newest()});
  }
}

// The last rotate-log line and whatever follows it must fit in the reader's
// tail after any line, also when long paths make that line itself long.
TEST(RotatedLogsSet, TailNamesThePredecessorAfterEveryLine) {
  const std::string longName(240, 'd');
  for (const std::string& folder : {std::string("logs"), longName + "/" + longName}) {
    SCOPED_TRACE(folder.size());
    ScopedTempDir root;
    std::filesystem::create_directories(root.Sub(folder));
    RotatingLog log(root.Sub(folder + "/app.log"));
    log.Rotate();
    const std::string newest = log.Newest().NativeString();
    auto writeAndFollow = [&](size_t bytes) {
      log.Write(bytes);
      log.Flush();
      ASSERT_EQ(ReadChain(log.Newest()), log.NewestFirst()) << bytes;
    };
    for (int round = 0; round < 3; ++round) {
      for (size_t bytes : {10, 500, 2999, 3001, 5000, 100, 40, 2000, 1000, 12000, 3, 2500}) {
        writeAndFollow(bytes);
      }
    }
    // Worst case: stop exactly at the spacing limit, counted from the end of
    // the last rotate-log line, where a repeat is not yet due.
    const size_t overhead =
        TLog::Formatter::FormatLine(TLog::Info, {"msg", TLog::Literal::String(""), std::nullopt})
            .size() +
        1;
    for (int round = 0; round < 4; ++round) {
      const std::string bytes = zor::test::ReadFile(newest);
      const size_t gap = bytes.size() - (bytes.find('\n', bytes.rfind("\"rotate-log\"")) + 1);
      const size_t spacing = TLog::RotateFileChannel::kRotateEventSpacing;
      const size_t want = gap < spacing ? spacing - gap : 0;
      writeAndFollow(want > overhead ? want - overhead : 1);
    }
    // The event is repeated by the spacing rule, not after every line.
    const size_t before = zor::test::ReadFile(newest).size();
    for (int i = 0; i < 300; ++i) log.Write(100);
    log.Flush();
    const std::string added = zor::test::ReadFile(newest).substr(before);
    size_t repeats = 0;
    for (size_t at = 0; (at = added.find("\"rotate-log\"", at)) != std::string::npos; ++at) {
      ++repeats;
    }
    EXPECT_LE(repeats, added.size() / 2000);
  }
}

TEST(RotatedLogsSet, ALongChainOrALoopKeepsItsNewestFiles) {
  for (size_t files : {RotatedLogsSet::kMaxLogSetFiles, RotatedLogsSet::kMaxLogSetFiles + 5}) {
    SCOPED_TRACE(files);
    ScopedTempDir root;
    RotatingLog log(root.Sub("app.log"));
    for (size_t f = 1; f < files; ++f) log.Rotate();
    log.Flush();
    test_support::LogCapture capture;
    RotatedLogsSet set(log.Newest());
    set.ReadLogSet();
    std::vector<TPath> newest = log.NewestFirst();
    const bool tooLong = newest.size() > RotatedLogsSet::kMaxLogSetFiles;
    newest.resize(std::min(newest.size(), RotatedLogsSet::kMaxLogSetFiles));
    EXPECT_EQ(set.GetPaths(), newest);
    EXPECT_EQ(capture.Text().find("has more files than it keeps") != std::string::npos, tooLong);
  }

  // Files that name each other are each taken once.
  ScopedTempDir root;
  const std::string a = root.Sub("a.log"), b = root.Sub("b.log");
  WriteFile(a, OpenLog(a) + RotateLog(b, a));
  WriteFile(b, OpenLog(b) + RotateLog(a, b));
  test_support::LogCapture capture;
  RotatedLogsSet set(TPath{a});
  set.ReadLogSet();
  EXPECT_EQ(set.GetPaths(), (std::vector<TPath>{TPath(a), TPath(b)}));
  EXPECT_NE(capture.Text().find("names a file of the chain a second time; it ends before '" + a),
            std::string::npos);
}

// `ascii` as UTF-16 little-endian with a byte-order mark.
std::string Utf16(const std::string& ascii) {
  std::string out = "\xFF\xFE";
  for (char c : ascii) out += {c, '\0'};
  return out;
}

// Hand-written logs: which file's events the reader believes. Files are named
// by letter: N the newest, E the one before, F the first.
TEST(RotatedLogsSet, FollowsOnlyEventsThatBelongToTheirFile) {
  ScopedTempDir root;
  std::filesystem::create_directories(root.Sub("logs"));
  const std::string n = root.Sub("logs/app_2.log"), e = root.Sub("logs/app_1.log"),
                    f = root.Sub("logs/app.log");
  WriteFile(f, OpenLog(f));
  struct Case {
    const char* name;
    std::string newest, earlier;
    std::string chain;
  };
  const std::string opened = OpenLog(n), endsAtE = OpenLog(e);
  const Case cases[] = {
      {"rotation continues", opened + RotateLog(e, n), OpenLog(e) + RotateLog(f, e), "NEF"},
      // Only the file name and its folder's name are compared: the tree above may move.
      {"folder moved", opened + RotateLog(e, "/var/old-place/logs/app_2.log"), endsAtE, "NE"},
      {"other folder", opened + RotateLog(e, root.Sub("other/app_2.log")), endsAtE, "N"},
      {"other name", opened + RotateLog(e, root.Sub("logs/app_3.log")), endsAtE, "N"},
      {"other case", opened + RotateLog(e, root.Sub("logs/App_2.log")), endsAtE, "N"},
      {"bare name", opened + RotateLog(e, "app_2.log"), endsAtE, "N"},
      // Both events are valid; the later one names the file to go on with.
      {"last rotation counts", opened + RotateLog(f, n) + Filler(10) + RotateLog(e, n) + Filler(10),
       endsAtE, "NE"},
      {"close-log ends the chain", opened + RotateLog(e, n),
       OpenLog(e) + RotateLog(f, e) + CloseLog(e), "NE"},
      // A last event written in another file ends the chain, even after a valid one.
      {"last event of another file", opened + RotateLog(e, n) + Filler(10) + RotateLog(f, e),
       endsAtE, "N"},
      // A copy of a log (a crash's copy of the current one) names where its
      // original was opened: that is itself, not an older file.
      {"copied here", OpenLog(root.Sub("elsewhere/app_2.log")), endsAtE, "N"},
      {"no open-log", "no events here\r\n", endsAtE, ""},
      {"no open-log in the first 4000 bytes", Filler(5000) + opened + Filler(5000), endsAtE, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(n, c.newest);
    WriteFile(e, c.earlier);
    std::vector<TPath> expected;
    for (char file : c.chain) expected.emplace_back(file == 'N' ? n : file == 'E' ? e : f);
    EXPECT_EQ(ReadChain(TPath(n)), expected);
  }
  // The open-log event names the file the chain starts with; one that is gone
  // is an error of the file layer.
  WriteFile(n, OpenLog(root.Sub("gone.log")));
  EXPECT_THROW(ReadChain(TPath(n)), TPath::Exception);
  EXPECT_THROW(ReadChain(TPath(root.Sub("missing.log"))), TPath::Exception);
  // Asking for the chain before reading it fails, rather than give an empty
  // chain that a caller would take for a log without predecessors.
  EXPECT_EQ(test_support::ErrorOf([&] { RotatedLogsSet(TPath(n)).GetPaths(); }),
            "RotatedLogsSet: ReadLogSet must be called before GetPaths!");
}

// A log's text is its writer's: a mebibyte of markers without their values
// must not cost a search that backtracks (it took hours), nor hide the event
// written before them.
TEST(RotatedLogsSet, EventsBeforeAFloodOfMarkersAreFoundInOnePass) {
  std::string flood = OpenLog("/l/a_1.log") + RotateLog("/l/a.log", "/l/a_1.log");
  while (flood.size() < (size_t{1} << 20)) flood += R"("Rotate-Log" "open-log" "new-path":")";
  const RotatedLogsSet::LogEvents events{TString(flood)};
  EXPECT_EQ(events.openPath, TPath("/l/a_1.log"));
  EXPECT_EQ(events.rotationNewPath, TPath("/l/a.log"));
  EXPECT_EQ(events.rotationOldPath, TPath("/l/a_1.log"));
  EXPECT_TRUE(events.closePath.IsEmpty());
}

// Bytes this process has read so far, by its own count of read calls.
uint64_t BytesReadByProcess() {
  std::ifstream io("/proc/self/io");
  std::string field;
  uint64_t value = 0;
  while (io >> field >> value) {
    if (field == "rchar:") return value;
  }
  ADD_FAILURE() << "no rchar in /proc/self/io";
  return 0;
}

// A log can be hundreds of megabytes: only its head, tail and encoding probe
// may be read, and the ends are read in UTF-16 too.
TEST(RotatedLogsSet, ReadsOnlyTheEndsOfALargeLogInEitherEncoding) {
  ScopedTempDir root;
  const std::string first = root.Sub("app.log"), second = root.Sub("app_1.log"),
                    large = root.Sub("app_2.log");
  // The rotate-log event lies only in the last 4000 bytes of the second file.
  const std::string text = OpenLog(second) + Filler(6000) + RotateLog(first, second);
  ASSERT_GT(text.size() * 2, 8000u);
  ASSERT_LT(RotateLog(first, second).size() * 2, 4000u);
  WriteFile(second, Utf16(text));
  WriteFile(first, Utf16(OpenLog(first) + Filler(100)));
  EXPECT_EQ(ReadChain(TPath(second)), (std::vector<TPath>{TPath(second), TPath(first)}));

  WriteFile(large, OpenLog(large));
  const std::string tail = RotateLog(first, large);
  constexpr off_t kSize = 100 << 20;
  std::filesystem::resize_file(large, kSize - static_cast<off_t>(tail.size()));
  std::ofstream(large, std::ios::app) << tail;
  ASSERT_EQ(std::filesystem::file_size(large), static_cast<uintmax_t>(kSize));
  const uint64_t before = BytesReadByProcess();
  const std::vector<TPath> chain = ReadChain(TPath(large));
  const uint64_t read = BytesReadByProcess() - before;
  EXPECT_EQ(chain, (std::vector<TPath>{TPath(large), TPath(first)}));
  // What the contract allows for the two files, and the read of /proc itself.
  EXPECT_LE(read, 2 * (RotatedLogsSet::kWholeFileBytes + RotatedLogsSet::kEncodingProbeBytes) +
                      1024);
}

}  // namespace
}  // namespace ZorErrorReporting
