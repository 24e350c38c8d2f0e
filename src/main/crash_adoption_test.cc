// The adoption of crash directories a killed handler left, with real
// directories, real processes holding the pids and, as root, a temp folder
// on a file system of its own.
#include "main/crash_adoption.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "crash/minidump_format.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using namespace zor::test;
using zor::platform::TPath;
namespace fs = std::filesystem;

// A process that sleeps until the test ends it.
struct Sleeper {
  pid_t pid = fork();
  Sleeper() {
    if (pid == 0) {
      execl("/bin/sleep", "sleep", "600", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Sleeper() {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

pid_t DeadPid() {
  const pid_t pid = fork();
  if (pid == 0) _exit(0);
  waitpid(pid, nullptr, 0);
  return pid;
}

// What a handler killed before its move leaves: a whole minidump of `pid`,
// its time `age` seconds back, and a copy of its log.
std::string Strand(const std::string& temp, int id, pid_t pid, int age) {
  char name[64];
  snprintf(name, sizeof name, "zorcrashreporter_%032x.crash.temp", id);
  const std::string directory = temp + "/" + name;
  zor::platform::minidump::MdHeader header{};
  header.signature = zor::platform::minidump::kSignature;
  header.streamCount = 1;
  header.streamDirectoryRva = sizeof(header);
  const std::string dump = directory + "/zorcrashreporter." + std::to_string(pid) + ".dmp";
  WriteFile(dump, std::string(reinterpret_cast<const char*>(&header), sizeof(header)) + "streams");
  WriteFile(directory + "/zorcrashreporter.txt", "the log\n");
  const timespec times[2] = {{time(nullptr) - age, 0}, {time(nullptr) - age, 0}};
  EXPECT_EQ(utimensat(AT_FDCWD, dump.c_str(), times, 0), 0);
  return name;
}

TEST(CrashAdoptionTest, AdoptsWhatNoLiveWriterHoldsAcrossFileSystemsToo) {
  ScopedTempDir dir;
  const std::string temp = dir.Sub("temp"), dumps = dir.Sub("dumps");
  fs::create_directories(temp);
  fs::permissions(temp, fs::perms::owner_all);
  const bool root = geteuid() == 0;
  const bool ownFileSystem =
      root && mount("tmpfs", temp.c_str(), "tmpfs", 0, "size=1m,mode=0700") == 0;
  struct Unmount {
    std::string path;
    bool mounted;
    ~Unmount() {
      if (mounted) umount2(path.c_str(), MNT_DETACH);
    }
  } unmount{temp, ownFileSystem};

  const Sleeper before;  // runs since before its pid's dump was written
  const Sleeper after;   // started after the dump was written
  const struct {
    const char* why;
    pid_t pid;
    int age;
    bool adopted;
  } rows[] = {
      {"its writer is gone", DeadPid(), 0, true},
      {"its pid is this run's", getpid(), 0, true},
      {"its pid came again, to a process started since", after.pid, 60, true},
      {"its writer may still run", before.pid, 0, false},
  };
  std::vector<std::string> names;
  for (const auto& row : rows) names.push_back(Strand(temp, &row - rows + 1, row.pid, row.age));

  const int expected = static_cast<int>(std::count_if(
      std::begin(rows), std::end(rows), [](const auto& row) { return row.adopted; }));
  EXPECT_EQ(AdoptStrandedCrashDirectories(TPath(temp), TPath(dumps)), expected);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.why);
    const std::string name = names[&row - rows];
    const std::string final = dumps + "/" + name.substr(0, name.size() - 5);
    EXPECT_EQ(fs::exists(temp + "/" + name), !row.adopted);
    EXPECT_EQ(fs::exists(final), row.adopted);
    if (!row.adopted) continue;
    EXPECT_EQ(ReadFile(final + "/zorcrashreporter.txt"), "the log\n");
    EXPECT_TRUE(fs::exists(final + "/zorcrashreporter." + std::to_string(row.pid) + ".manifest"));
    // Nothing of the copy's way is left beside it.
    EXPECT_FALSE(fs::exists(dumps + "/" + name));
  }
  if (!ownFileSystem) GTEST_SKIP() << "the temp folder on a file system of its own needs root";
}

}  // namespace
}  // namespace ZorErrorReporting
