// The crash handler in a forked child of the test: real faults, real files,
// and lldb reading the result.
//
// Sanitizer builds: the child installs our handler over the sanitizer's own
// (the sanitizer lets a program replace it), and these tests ask for no full
// dump, whose size there would be set by the sanitizer's shadow memory; the
// one test that reads a full dump is skipped there.
#include "crash/crash_handling.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <barrier>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "crash/terminate_handling.h"
#include "crash/thread_suspender.h"
#include "platform/alt_signal_stack.h"
#include "platform/sanitizer_build.h"
#include "platform/zorvane_exception.h"
#include "support/minidump_probe.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace zor::platform {
namespace {

// ThreadSanitizer's runtime keeps threads of its own in the process, a
// varying number: there a dump holds at least the test's threads.
#if defined(__SANITIZE_THREAD__)
constexpr bool kRuntimeThreads = true;
#elif defined(__has_feature)
constexpr bool kRuntimeThreads = __has_feature(thread_sanitizer);
#else
constexpr bool kRuntimeThreads = false;
#endif

void ExpectThreadCount(size_t count, size_t threads) {
  EXPECT_TRUE(kRuntimeThreads ? count >= threads : count == threads) << count << " threads";
}

using ::testing::HasSubstr;
using ::testing::Not;
using namespace zor::test;
namespace fs = std::filesystem;

// The faults, kept out of line and away from the sanitizers' checks so that
// each one reaches the CPU as written.
__attribute__((noinline, no_sanitize("address", "undefined"))) void StoreAtZero() {
  volatile uintptr_t zero = 0;
  *reinterpret_cast<volatile int*>(zero) = 123;
}

__attribute__((noinline)) void DivideByZero() {
  asm volatile("movl $1, %%eax; xorl %%edx, %%edx; xorl %%ecx, %%ecx; divl %%ecx" ::
                   : "eax", "ecx", "edx", "cc");
}

__attribute__((noinline)) void ReadTruncatedMapping() {
  char path[] = "/tmp/zor-sigbus-XXXXXX";
  const int fd = mkstemp(path);
  unlink(path);
  if (fd < 0 || ftruncate(fd, 4096) != 0) return;
  auto* page = static_cast<volatile char*>(mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0));
  if (ftruncate(fd, 0) != 0) return;
  (void)page[0];
}

// Parks the calling thread in a function of its own (a blocking read that
// never returns), after telling the test so.
__attribute__((noinline)) void ParkedInKnownFunction(std::atomic<bool>* parked) {
  int fds[2];
  if (pipe(fds) != 0) return;
  parked->store(true);
  parked->notify_all();
  char byte;
  while (read(fds[0], &byte, 1) != 0) {
  }
}

__attribute__((noinline)) void ThrowUncaught() { throw std::runtime_error("left \"uncaught\""); }

volatile bool g_recurse = true;  // never cleared; keeps the compiler from seeing no end

__attribute__((noinline)) int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  return g_recurse ? Recurse(depth + 1) + frame[0] : 0;
}

class CrashHandlingTest : public ::testing::Test {
 protected:
  // Runs `fault` in a child that armed the handler; the child prints its
  // correlation id first.
  ProcessResult CrashChild(const std::string& tempDir, const std::function<void()>& fault,
                           bool fullDump = false) {
    WriteFile(LogFile(), "{\"k\":\"open-log\"}\nlast line before the crash\n");
    return RunInChild([&] {
      const rlimit noCore{0, 0};
      setrlimit(RLIMIT_CORE, &noCore);
      const TString id = CrashHandling::StartupCrashHandler(TPath(tempDir.c_str()), DumpDir(),
                                                            LogFile(), {fullDump});
      std::cout << id.toStdString() << std::endl;
      fault();
      return 0;
    });
  }

  // The one crash directory's path and file names, sorted; empty (with a
  // failure) unless there is exactly one.
  std::pair<std::string, std::vector<std::string>> OnlyCrash() const {
    const std::vector<std::string> crashes = FindCrashDirectories(DumpDir().NativeString());
    EXPECT_EQ(crashes.size(), 1u);
    if (crashes.size() != 1) return {};
    return {crashes[0], ListFileNames(crashes[0])};
  }

  TPath DumpDir() const { return TPath(dir_.Sub("dumps").c_str()); }
  std::string LogFile() const { return dir_.Sub("logs/app.txt"); }

  ScopedTempDir dir_;
};

std::string TrimmedFirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

TEST_F(CrashHandlingTest, EachFatalSignalLeavesOneWholeCrashDirectoryAndDiesByIt) {
  struct Case {
    const char* name;
    int signal;
    std::function<void()> fault;
    const char* inManifest;
    bool stagedElsewhere = false;  // on another file system than the dumps
  };
  const char* const kAllThreads = "\"dump-threads\":\"all\"";
  char shm[] = "/dev/shm/zor-crash-test-XXXXXX";
  ASSERT_NE(mkdtemp(shm), nullptr);
  struct stat shmStat {
  }, dirStat{};
  ASSERT_TRUE(stat(shm, &shmStat) == 0 && stat(dir_.path().c_str(), &dirStat) == 0);
  EXPECT_NE(shmStat.st_dev, dirStat.st_dev) << "the test needs two file systems";
  const Case cases[] = {
      {"store at address 0, staged on another file system", SIGSEGV, StoreAtZero, kAllThreads,
       true},
      {"stack overflow", SIGSEGV, [] { Recurse(0); }, kAllThreads},
      {"abort", SIGABRT, [] { abort(); }, kAllThreads},
      {"division by zero", SIGFPE, DivideByZero, kAllThreads},
      {"invalid instruction", SIGILL, [] { __builtin_trap(); }, kAllThreads},
      {"read past a truncated file", SIGBUS, ReadTruncatedMapping, kAllThreads},
      // Normal-context writers: each dumps once, then the process aborts.
      {"std::terminate", SIGABRT, [] { std::terminate(); },
       "\"assertion\":\"std::terminate called without an active exception\""},
      {"uncaught exception", SIGABRT, []() noexcept { ThrowUncaught(); },
       "\"assertion\":\"std::terminate called after throwing: left \\\"uncaught\\\"\""},
      {"assertion with hooks", SIGABRT,
       [] {
         InitializeAssertHooks(true, true);
         ThrowLogicException("main", 245, "1 == 2");
       },
       "1 == 2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(DumpDir().NativeString());
    const std::string tempDir =
        c.stagedElsewhere ? std::string(shm) + "/staging" : dir_.Sub("temp");

    const ProcessResult r = CrashChild(tempDir, c.fault);

    EXPECT_EQ(r.status, 128 + c.signal) << r.err;
    const auto [crash, files] = OnlyCrash();
    ASSERT_THAT(files, ::testing::ElementsAre(
                           "app.txt", ::testing::MatchesRegex("zorcrashreporter\\.[0-9]+\\.dmp"),
                           ::testing::MatchesRegex("zorcrashreporter\\.[0-9]+\\.manifest")));
    EXPECT_EQ(fs::path(crash).filename(), "zorcrashreporter_" + TrimmedFirstLine(r.out) + ".crash");
    EXPECT_EQ(ReadFile(crash + "/app.txt"), ReadFile(LogFile()));
    const std::string manifest = ReadFile(crash + "/" + files[2]);
    EXPECT_THAT(manifest, HasSubstr("\"manifest-version\":\"1.1\",\"product-build\":"));
    EXPECT_THAT(manifest, HasSubstr(c.inManifest));
    const MinidumpSummary dump = ReadMinidump(crash + "/" + files[1]);
    // Read from the exception stream of a readable directory only.
    EXPECT_EQ(dump.exceptionCode, static_cast<uint32_t>(c.signal));
    ExpectThreadCount(dump.threadCount, 1);  // the child has one thread
    // Threads, modules, memory, exception, system; the Linux files.
    for (uint32_t stream : {3u, 4u, 5u, 6u, 7u, 0x47670003u, 0x47670004u, 0x47670005u,
                            0x47670006u, 0x47670008u, 0x47670009u}) {
      EXPECT_EQ(dump.streamTypes.count(stream), 1u) << "stream " << stream;
    }
    EXPECT_EQ(dump.streamTypes.count(0x47670002u), c.signal == SIGABRT && c.inManifest != kAllThreads
                                                       ? 1u
                                                       : 0u)
        << "an assertion stream with an assertion text only";
    EXPECT_TRUE(ListFileNames(tempDir).empty()) << "the staging directory was moved";
    EXPECT_EQ(ListFileNames(DumpDir().NativeString()).size(), 1u) << "no staging copy left";
  }
  fs::remove_all(shm);
}

// Makes ptrace fail with EPERM for this thread and what it starts later,
// as a service manager's system call filter does.
void ForbidPtrace() {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_ptrace, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog program{static_cast<unsigned short>(std::size(filter)), filter};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
    abort();
  }
}

TEST_F(CrashHandlingTest, ThreadsFaultingTogetherLeaveOneCrashDirectoryWithEveryThread) {
  const struct {
    const char* name;
    bool forbidPtrace;
    uint32_t threads;
    const char* inManifest;
  } cases[] = {
      // The main thread and the three faulting ones.
      {"ptrace permitted", false, 4, "\"dump-threads\":\"all\""},
      {"ptrace forbidden", true, 1,
       "\"dump-threads\":\"the crashing thread only: the other threads could not be stopped\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(DumpDir().NativeString());
    const ProcessResult r = CrashChild(dir_.Sub("temp"), [&c] {
      if (c.forbidPtrace) ForbidPtrace();
      std::barrier start(3);
      std::vector<std::thread> threads;
      for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&start] {
          start.arrive_and_wait();
          StoreAtZero();
        });
      }
      for (std::thread& t : threads) t.join();
    });

    EXPECT_EQ(r.status, 128 + SIGSEGV) << r.err;
    const auto [crash, files] = OnlyCrash();
    ASSERT_EQ(files.size(), 3u);
    const MinidumpSummary dump = ReadMinidump(crash + "/" + files[1]);
    ExpectThreadCount(dump.threadCount, c.threads);
    // The first to fault comes first; no thread twice.
    ASSERT_FALSE(dump.threadIds.empty());
    EXPECT_EQ(dump.threadIds[0], dump.exceptionThread);
    EXPECT_EQ(std::set<uint32_t>(dump.threadIds.begin(), dump.threadIds.end()).size(),
              dump.threadCount);
    EXPECT_THAT(ReadFile(crash + "/" + files[2]), HasSubstr(c.inManifest));
  }
}

// A crash of which nothing can be kept says so on standard error, with why.
TEST_F(CrashHandlingTest, ACrashThatCannotBeRecordedSaysWhyOnStandardError) {
  const std::string temp = dir_.Sub("temp");
  const ProcessResult r = CrashChild(temp, [&temp] {
    fs::remove_all(temp);
    WriteFile(temp, "a file where the temp folder was");
    StoreAtZero();
  });
  EXPECT_EQ(r.status, 128 + SIGSEGV);
  EXPECT_THAT(r.err, HasSubstr("zorcrashreporter: this crash could not be recorded in '" + temp +
                               "': Not a directory"));
}

// A process of more threads than a dump holds says so in the manifest,
// never "all".
TEST_F(CrashHandlingTest, ThreadsBeyondWhatTheDumpHoldsAreCountedInTheManifest) {
  // A sanitizer adds threads of its own and takes minutes to trace a thousand.
  if (ZOR_SHADOW_SANITIZER) GTEST_SKIP() << "too slow under a sanitizer";
  constexpr size_t kThreads = ThreadSuspender::kMaxThreads + 10;
  const ProcessResult r = CrashChild(dir_.Sub("temp"), [] {
    pthread_attr_t small;
    pthread_attr_init(&small);
    pthread_attr_setstacksize(&small, 64 * 1024);
    for (size_t i = 0; i < kThreads; ++i) {
      pthread_t thread;
      if (pthread_create(
              &thread, &small,
              [](void*) -> void* {
                for (;;) pause();
              },
              nullptr) != 0) {
        abort();
      }
    }
    StoreAtZero();
  });
  EXPECT_EQ(r.status, 128 + SIGSEGV) << r.err;
  const auto [crash, files] = OnlyCrash();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_THAT(ReadFile(crash + "/" + files[2]),
              HasSubstr(" of " + std::to_string(kThreads + 1) + ": the dump holds at most " +
                        std::to_string(ThreadSuspender::kMaxThreads + 1) + " threads"));
  ExpectThreadCount(ReadMinidump(crash + "/" + files[1]).threadCount,
                    ThreadSuspender::kMaxThreads + 1);
}

// A thread of the program's that exhausts its own stack, with the alternate
// stack each of them makes first: its fault is dumped as the main thread's is.
TEST_F(CrashHandlingTest, AStackOverflowOnAnotherThreadLeavesItsDump) {
  const ProcessResult r = CrashChild(dir_.Sub("temp"), [] {
    std::thread([] {
      const AltSignalStack crashStack;
      Recurse(0);
    }).join();
  });
  EXPECT_EQ(r.status, 128 + SIGSEGV) << r.err;
  const auto [crash, files] = OnlyCrash();
  ASSERT_EQ(files.size(), 3u);
  const MinidumpSummary dump = ReadMinidump(crash + "/" + files[1]);
  EXPECT_EQ(dump.exceptionCode, static_cast<uint32_t>(SIGSEGV));
  ExpectThreadCount(dump.threadCount, 2);
  ASSERT_FALSE(dump.threadIds.empty());
  EXPECT_EQ(dump.threadIds[0], dump.exceptionThread);
}

TEST_F(CrashHandlingTest, LldbShowsTheThreadOfTheFaultOrOfTheRequest) {
  struct Case {
    const char* name;
    std::function<void()> run;
    int status;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"fault",
       StoreAtZero,
       128 + SIGSEGV,
       {"stop reason = signal SIGSEGV", "StoreAtZero() at crash_handling_test.cc"}},
      {"request",
       [] { TerminateHandling::zorvane_terminate(); },
       0,
       {"* thread #1", "TerminateHandling::zorvane_terminate()"}},
      // The parked thread shows where it really stopped.
      {"another thread",
       [] {
         std::atomic<bool> parked{false};
         std::thread([&parked] { ParkedInKnownFunction(&parked); }).detach();
         parked.wait(false);
         StoreAtZero();
       },
       128 + SIGSEGV,
       {"* thread #1", "stop reason = signal SIGSEGV", "StoreAtZero() at crash_handling_test.cc",
        "  thread #2", "ParkedInKnownFunction("}},
  };
  std::vector<std::string> dumps;
  for (const Case& c : cases) {
    const ProcessResult r = CrashChild(dir_.Sub("temp"), c.run);
    EXPECT_EQ(r.status, c.status) << c.name << r.err;
    const auto [crash, files] = OnlyCrash();
    ASSERT_EQ(files.size(), 3u);
    // Kept aside, so that one lldb run reads them all at the end.
    const std::string kept = dir_.Sub("kept-" + std::to_string(dumps.size()));
    fs::rename(crash, kept);
    dumps.push_back(kept + "/" + files[1]);
  }
  const std::vector<std::string> outputs = RunLldbOnCores(dumps, {"thread list", "bt all"});
  for (size_t i = 0; i < dumps.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    for (const std::string& text : cases[i].expected) EXPECT_THAT(outputs[i], HasSubstr(text));
  }
  EXPECT_THAT(outputs[1], Not(HasSubstr("stop reason"))) << "a requested dump records no fault";

  // The test program's module carries the build id that readelf reports.
  const ProcessResult readelf = RunProcess("/usr/bin/readelf", {"-n", fs::read_symlink("/proc/self/exe")});
  const size_t at = readelf.out.find("Build ID: ");
  ASSERT_NE(at, std::string::npos) << readelf.out << readelf.err;
  const std::string buildId = TrimmedFirstLine(readelf.out.substr(at + 10));
  EXPECT_EQ(ReadMinidump(dumps[0]).buildIds[fs::read_symlink("/proc/self/exe").string()], buildId);
}

TEST_F(CrashHandlingTest, FullDumpHoldsPrivateMemoryThatTheMinidumpLeavesOut) {
  if (ZOR_SHADOW_SANITIZER) {
    GTEST_SKIP() << "a full dump would hold the sanitizer's shadow memory";
  }
  // Built at run time, so the marker is in no mapped file, only in the heap.
  std::string marker = "full-dump-marker-";
  marker += std::to_string(getpid());
  // A read-only mapping of a file: the developer has the file, so the full
  // dump leaves it out.
  // Kept reversed and written a byte at a time, so that the child has the
  // marker in that mapping only.
  const std::string reversed = std::to_string(getpid()) + "-rekram-elif-ylno-daer";
  {
    const int fd = open(dir_.Sub("mapped.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    for (auto c = reversed.rbegin(); c != reversed.rend(); ++c) ASSERT_EQ(write(fd, &*c, 1), 1);
    close(fd);
  }
  const ProcessResult r = CrashChild(
      dir_.Sub("temp"),
      [&] {
        char* heap = strdup(marker.c_str());
        asm volatile("" : : "r"(heap) : "memory");
        const int fd = open(dir_.Sub("mapped.txt").c_str(), O_RDONLY);
        void* mapped = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fd, 0);
        asm volatile("" : : "r"(mapped) : "memory");
        StoreAtZero();
      },
      true);

  EXPECT_EQ(r.status, 128 + SIGSEGV) << r.err;
  const auto [crash, files] = OnlyCrash();
  ASSERT_EQ(files.size(), 4u);
  const std::string full = crash + "/" + files[1];
  ASSERT_THAT(full, HasSubstr("-full.dmp"));
  const std::string fullText = ReadFile(full);
  const std::string fileMarker(reversed.rbegin(), reversed.rend());
  EXPECT_EQ(ReadFile(dir_.Sub("mapped.txt")), fileMarker);
  // Searched, not matched, so that a failure does not print the whole dump.
  EXPECT_NE(fullText.find(marker), std::string::npos);
  EXPECT_EQ(fullText.find(fileMarker), std::string::npos);
  EXPECT_THAT(ReadFile(crash + "/" + files[2]), Not(HasSubstr(marker)));
  EXPECT_THAT(ReadFile(crash + "/" + files[3]),
              HasSubstr("\"full-dump\":\"written without the read-only file-backed mappings\""));
  EXPECT_GT(ReadMinidump(full).fullMemoryBytes, 0u);
}

}  // namespace
}  // namespace zor::platform
