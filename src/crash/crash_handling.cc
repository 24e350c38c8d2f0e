#include "crash/crash_handling.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <string>

#include "crash/crash_names.h"
#include "crash/minidump_writer.h"
#include "crash/thread_suspender.h"
#include "platform/alt_signal_stack.h"
#include "platform/app_config.h"
#include "platform/sanitizer_build.h"
#include "platform/tuuid.h"
#include "platform/zorvane_exception.h"

namespace zor::platform {
namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kSignalCount = sizeof kSignals / sizeof kSignals[0];
constexpr size_t kPathCapacity = 4096;
constexpr size_t kNameCapacity = 256;
// The handler's frames stay small (the big buffers are static); the rest is
// for libc and the kernel's signal frame.
constexpr size_t kAltStackBytes = kAltSignalStackBytes;
using CrashNames::kPrefix;

// A text in a fixed buffer, built without allocation; a text that does not
// fit marks itself failed.
template <size_t N>
class FixedText {
 public:
  FixedText& Append(const char* text, size_t length) {
    if (length >= N - length_) {
      ok_ = false;
      return *this;
    }
    memcpy(text_ + length_, text, length);
    length_ += length;
    text_[length_] = '\0';
    return *this;
  }
  FixedText& Append(const char* text) { return Append(text, strlen(text)); }
  FixedText& AppendNumber(uint64_t value) {
    char digits[20];
    size_t n = 0;
    do {
      digits[n++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0);
    char reversed[20];
    for (size_t i = 0; i < n; ++i) reversed[i] = digits[n - 1 - i];
    return Append(reversed, n);
  }
  void Clear() {
    length_ = 0;
    text_[0] = '\0';
    ok_ = true;
  }
  const char* c_str() const { return text_; }
  size_t size() const { return length_; }
  bool ok() const { return ok_; }

 private:
  char text_[N] = {};
  size_t length_ = 0;
  bool ok_ = true;
};

using PathText = FixedText<kPathCapacity>;

// Everything the handler needs, prepared in a normal context.
struct Prepared {
  PathText tempDir;
  PathText dumpDir;
  PathText tempCrashDir;     // <temp>/zorcrashreporter_<id>.crash.temp
  PathText finalCrashDir;    // <dump>/zorcrashreporter_<id>.crash
  PathText stagingCrashDir;  // <dump>/zorcrashreporter_<id>.crash.temp
  FixedText<33> correlationId;
  FixedText<2048> manifestHead;  // the manifest up to its crash-time fields
  bool writeFullDump = true;
  bool signalChaining = false;
  FaultReporting::CrashCallback callback = nullptr;
};

struct HandlerState {
  std::atomic<bool> installed{false};
  Prepared prepared;
  TString applicationName;
  struct sigaction previous[kSignalCount] = {};
  stack_t previousAltStack = {};
  void* altStack = nullptr;
  pid_t altStackThread = 0;  // the thread whose alternate stack it is
  std::terminate_handler previousTerminate = nullptr;
  // The thread writing a crash directory; 0 when none is.
  std::atomic<pid_t> owner{0};
};

HandlerState g_state;

// The current log file, double-buffered so that the handler always reads a
// whole path: writers fill the other buffer, then switch the index.
char g_logFiles[2][kPathCapacity];
std::atomic<int> g_logFileIndex{0};
std::mutex g_logFileMutex;

// The files of the crash directory being written, for a copy across file
// systems.
constexpr int kMaxCrashFiles = 4;
FixedText<kNameCapacity> g_crashFiles[kMaxCrashFiles];
int g_crashFileCount = 0;
uint8_t g_copyBuffer[64 * 1024];

// The assertion or exception text of a dump written from a normal context:
// as is for the dump, JSON-escaped for the manifest; empty when none.
FixedText<1024> g_assertionText;
FixedText<2048> g_assertionJson;

// Stops the other threads while the dumps are written.
ThreadSuspender g_suspender;

pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

void SleepBriefly() {
  timespec delay{0, 10 * 1000 * 1000};
  nanosleep(&delay, nullptr);
}

// Makes the calling thread the one that writes the crash directory, waiting
// while another thread does. False iff the calling thread already is that
// thread (a fault inside the crash handling itself).
bool Claim(pid_t self) {
  for (;;) {
    pid_t expected = 0;
    if (g_state.owner.compare_exchange_strong(expected, self)) return true;
    if (expected == self) return false;
    SleepBriefly();
  }
}

bool WriteAll(int fd, const void* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(fd, static_cast<const char*>(data) + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// mkdir -p, for directories that a crash may find missing; owner only, like
// every directory the program makes.
void MakeDirectories(const char* path) {
  PathText partial;
  partial.Append(path);
  char* text = const_cast<char*>(partial.c_str());
  for (size_t i = 1; i < partial.size(); ++i) {
    if (text[i] != '/') continue;
    text[i] = '\0';
    mkdir(text, 0700);
    text[i] = '/';
  }
  mkdir(text, 0700);
}

PathText Join(const char* directory, const char* name) {
  PathText path;
  path.Append(directory).Append("/").Append(name);
  return path;
}

// Creates `name` in `directory` (a new file) and records it as a crash file.
int CreateCrashFile(const char* directory, const char* name) {
  const PathText path = Join(directory, name);
  if (!path.ok() || g_crashFileCount == kMaxCrashFiles) return -1;
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    g_crashFiles[g_crashFileCount].Clear();
    g_crashFiles[g_crashFileCount++].Append(name);
  }
  return fd;
}

bool CopyFileContent(const char* from, int toFd) {
  const int fromFd = open(from, O_RDONLY | O_CLOEXEC);
  if (fromFd < 0) return false;
  bool ok = true;
  for (;;) {
    const ssize_t n = read(fromFd, g_copyBuffer, sizeof g_copyBuffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!WriteAll(toFd, g_copyBuffer, static_cast<size_t>(n))) {
      ok = false;
      break;
    }
  }
  close(fromFd);
  return ok;
}

// Writes one dump as a new file; false, with the partial file removed, when
// any write failed.
bool WriteDump(const char* directory, const char* name, const DumpRequest& request,
               DumpMemory memory) {
  const int fd = CreateCrashFile(directory, name);
  if (fd < 0) return false;
  const bool written = MinidumpWriter::Write(fd, request, memory);
  if (close(fd) == 0 && written) return true;
  unlink(Join(directory, name).c_str());
  --g_crashFileCount;
  return false;
}

// What the manifest says beyond its head; each a JSON text without quotes.
struct ManifestNotes {
  FixedText<256> threads;
  const char* fullDump = nullptr;  // null: no full dump was asked for
};

bool WriteManifestTo(int fd, int signal, const ManifestNotes& notes) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  FixedText<4096> tail;
  tail.Append("\"pid\":")
      .AppendNumber(static_cast<uint64_t>(getpid()))
      .Append(",\"signal\":")
      .AppendNumber(static_cast<uint64_t>(signal))
      .Append(",\"crash-time\":")
      .AppendNumber(static_cast<uint64_t>(now.tv_sec))
      .Append(",\"dump-threads\":\"")
      .Append(notes.threads.c_str())
      .Append("\"");
  if (g_assertionJson.size() > 0) {
    tail.Append(",\"assertion\":\"").Append(g_assertionJson.c_str()).Append("\"");
  }
  if (notes.fullDump != nullptr) tail.Append(",\"full-dump\":\"").Append(notes.fullDump).Append("\"");
  tail.Append("}\n");
  const auto& head = g_state.prepared.manifestHead;
  return tail.ok() && WriteAll(fd, head.c_str(), head.size()) &&
         WriteAll(fd, tail.c_str(), tail.size());
}

bool WriteManifest(const char* directory, const char* name, int signal,
                   const ManifestNotes& notes) {
  const int fd = CreateCrashFile(directory, name);
  if (fd < 0) return false;
  const bool written = WriteManifestTo(fd, signal, notes);
  return close(fd) == 0 && written;
}

// Replaces the manifest of a crash directory already in place, through a
// temporary file, so that it is never seen half-written.
void RewriteManifest(const char* directory, const char* name, int signal,
                     const ManifestNotes& notes) {
  const PathText path = Join(directory, name);
  PathText temporary = path;
  temporary.Append(".temp");
  if (!temporary.ok()) return;
  const int fd =
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const bool written = WriteManifestTo(fd, signal, notes);
  if (close(fd) == 0 && written && rename(temporary.c_str(), path.c_str()) == 0) return;
  unlink(temporary.c_str());
}

// Copies the current log file; a copy that cannot be made whole is left out
// (the crash is worth more than its log).
void CopyLogFile(const char* directory) {
  const char* logFile = g_logFiles[g_logFileIndex.load()];
  if (logFile[0] == '\0') return;
  const char* slash = strrchr(logFile, '/');
  const char* name = slash != nullptr ? slash + 1 : logFile;
  const int fd = CreateCrashFile(directory, name);
  if (fd < 0) return;
  const bool copied = CopyFileContent(logFile, fd);
  if (close(fd) == 0 && copied) return;
  unlink(Join(directory, name).c_str());
  --g_crashFileCount;
}

void RemoveCrashFiles(const char* directory) {
  for (int i = 0; i < g_crashFileCount; ++i) {
    unlink(Join(directory, g_crashFiles[i].c_str()).c_str());
  }
  rmdir(directory);
}

// Stage 2: the crash directory appears whole in the dump directory.
bool MoveIntoPlace() {
  const Prepared& p = g_state.prepared;
  MakeDirectories(p.dumpDir.c_str());
  if (rename(p.tempCrashDir.c_str(), p.finalCrashDir.c_str()) == 0) return true;
  if (errno != EXDEV) return false;
  if (mkdir(p.stagingCrashDir.c_str(), 0700) != 0) return false;
  for (int i = 0; i < g_crashFileCount; ++i) {
    const char* name = g_crashFiles[i].c_str();
    const int fd = open(Join(p.stagingCrashDir.c_str(), name).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const bool copied = fd >= 0 && CopyFileContent(Join(p.tempCrashDir.c_str(), name).c_str(), fd);
    if (fd >= 0) close(fd);
    if (!copied) return false;
  }
  if (rename(p.stagingCrashDir.c_str(), p.finalCrashDir.c_str()) != 0) return false;
  RemoveCrashFiles(p.tempCrashDir.c_str());
  return true;
}

// What the manifest says about the threads in the dump.
void DescribeThreads(bool suspended, DumpRequest* request, ManifestNotes* notes) {
  request->others = g_suspender.threads();
  request->otherCount = g_suspender.count();
  notes->threads.Clear();
  if (suspended && g_suspender.refused() == 0 && g_suspender.beyondCap() == 0) {
    notes->threads.Append("all");
  } else if (!suspended || g_suspender.count() == 0) {
    notes->threads.Append("the crashing thread only: the other threads could not be stopped");
  } else {
    notes->threads.AppendNumber(g_suspender.count() + 1)
        .Append(" of ")
        .AppendNumber(g_suspender.others() + 1)
        .Append(": ");
    if (g_suspender.refused() != 0) {
      notes->threads.Append("attaching to the others was refused");
    } else {
      notes->threads.Append("the dump holds at most ")
          .AppendNumber(ThreadSuspender::kMaxThreads + 1)
          .Append(" threads");
    }
  }
}

// Stage 3, in the crash directory already in place: the full dump under a
// temporary name, renamed when whole; on failure it is removed and the
// manifest says so.
void AddFullDump(const char* fullDump, const char* manifest, const DumpRequest& request,
                 ManifestNotes* notes) {
  const char* directory = g_state.prepared.finalCrashDir.c_str();
  FixedText<kNameCapacity> temporary;
  temporary.Append(fullDump).Append(".temp");
  if (WriteDump(directory, temporary.c_str(), request, DumpMemory::kAllPrivateMappings) &&
      rename(Join(directory, temporary.c_str()).c_str(), Join(directory, fullDump).c_str()) == 0) {
    notes->fullDump = "written without the read-only file-backed mappings";
  } else {
    unlink(Join(directory, temporary.c_str()).c_str());
    notes->fullDump = "missing: writing it failed";
  }
  RewriteManifest(directory, manifest, request.signal, *notes);
}

// Writes the crash directory while the other threads are stopped: the
// minidump, the manifest and the log copy, checked, then the move into
// place, then the full dump. A directory whose minidump or manifest cannot
// be written is removed. Async-signal-safe.
// One line on standard error for a crash of which nothing is kept, so that
// whoever reads the service's journal learns of it and why.
void SayNotRecorded(int error) {
  FixedText<kPathCapacity + 256> line;
  line.Append(kPrefix)
      .Append(": this crash could not be recorded in '")
      .Append(g_state.prepared.tempDir.c_str())
      .Append("': ");
  const char* cause = strerrordesc_np(error);
  line.Append(cause != nullptr ? cause : "unknown error").Append("\n");
  if (!line.ok()) return;
  for (size_t written = 0; written < line.size();) {
    const ssize_t n = write(STDERR_FILENO, line.c_str() + written, line.size() - written);
    if (n <= 0 && errno != EINTR) return;
    if (n > 0) written += static_cast<size_t>(n);
  }
}

bool WriteCrashDirectory(DumpRequest request) {
  const Prepared& p = g_state.prepared;
  g_crashFileCount = 0;
  MakeDirectories(p.tempDir.c_str());
  if (mkdir(p.tempCrashDir.c_str(), 0700) != 0) {
    SayNotRecorded(errno);
    return false;
  }

  FixedText<kNameCapacity> dump, fullDump, manifest;
  const uint64_t pid = static_cast<uint64_t>(getpid());
  dump.Append(kPrefix).Append(".").AppendNumber(pid).Append(".dmp");
  fullDump.Append(kPrefix).Append(".").AppendNumber(pid).Append("-full.dmp");
  manifest.Append(kPrefix).Append(".").AppendNumber(pid).Append(".manifest");

  ManifestNotes notes;
  DescribeThreads(g_suspender.SuspendOthers(), &request, &notes);
  request.assertion = g_assertionText.size() > 0 ? g_assertionText.c_str() : nullptr;
  if (p.writeFullDump) notes.fullDump = "missing: the crash handler did not finish it";
  const char* directory = p.tempCrashDir.c_str();
  const bool whole = WriteDump(directory, dump.c_str(), request, DumpMemory::kStackOnly) &&
                     WriteManifest(directory, manifest.c_str(), request.signal, notes);
  if (!whole) {
    SayNotRecorded(errno != 0 ? errno : EIO);
    RemoveCrashFiles(directory);
    g_suspender.Resume();
    return false;
  }
  CopyLogFile(directory);
  // A whole directory that cannot be moved stays in the temp directory,
  // where the next upload run adopts it; only a partial copy goes.
  const bool moved = MoveIntoPlace();
  if (!moved) RemoveCrashFiles(p.stagingCrashDir.c_str());
  if (moved && p.writeFullDump) AddFullDump(fullDump.c_str(), manifest.c_str(), request, &notes);
  g_suspender.Resume();
  return moved;
}

void SetDispositions(bool restorePrevious) {
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction action {};
    if (restorePrevious) {
      action = g_state.previous[i];
    } else {
      action.sa_handler = SIG_DFL;
      sigemptyset(&action.sa_mask);
    }
    sigaction(kSignals[i], &action, nullptr);
  }
}

// Sends `signal` to the calling thread again; it is delivered, with the
// disposition now in place, once the handler returns.
void RaiseAgain(int signal) { syscall(SYS_tgkill, getpid(), CurrentThreadId(), signal); }

void HandleSignal(int signal, siginfo_t* info, void* context) {
  const pid_t self = CurrentThreadId();
  if (!Claim(self)) {
    SetDispositions(false);
    RaiseAgain(signal);
    return;
  }
  DumpRequest request;
  request.context = static_cast<const ucontext_t*>(context);
  request.threadId = self;
  request.signal = signal;
  request.signalCode = info->si_code;
  request.faultAddress = reinterpret_cast<uint64_t>(info->si_addr);
  const bool written = WriteCrashDirectory(request);
  if (written && g_state.prepared.callback != nullptr) {
    g_state.prepared.callback(g_state.prepared.finalCrashDir.c_str());
  }
  SetDispositions(g_state.prepared.signalChaining);
  RaiseAgain(signal);
}

// The text of the exception that reached std::terminate, if any.
TString TerminateText() {
  const std::exception_ptr current = std::current_exception();
  if (!current) return TString("std::terminate called without an active exception");
  try {
    std::rethrow_exception(current);
  } catch (const std::exception& e) {
    return TString("std::terminate called after throwing: ") + TString(e.what());
  } catch (...) {
    return TString("std::terminate called after throwing an exception of an unknown type");
  }
}

void OnTerminate() {
  CrashHandling::WriteDumpOfCurrentThread(SIGABRT, TerminateText());
  CrashHandling::DieBySignal(SIGABRT);
}

std::string EscapeJson(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out;
}

void SetPath(PathText* out, const TPath& path) {
  out->Clear();
  out->Append(path.NativeString().c_str());
  if (!out->ok()) {
    throw ZorvaneException(
        TFormatString("Crash handler: path too long for its buffer: '%1'").arg(path.ToString()));
  }
}

// Fills the paths and the manifest head for a new correlation id.
void PrepareCrashDirectory() {
  Prepared& p = g_state.prepared;
  const std::string id = TUUID::Create().ToString(TUUID::kHexDigits).toStdString();
  p.correlationId.Clear();
  p.correlationId.Append(id.c_str());
  const std::string name = std::string(kPrefix) + "_" + id + ".crash";
  p.tempCrashDir = Join(p.tempDir.c_str(), (name + ".temp").c_str());
  p.finalCrashDir = Join(p.dumpDir.c_str(), name.c_str());
  p.stagingCrashDir = Join(p.dumpDir.c_str(), (name + ".temp").c_str());

  const std::string head = "{\"Id\":\"" + id + "\",\"crash-correlation-id\":\"" + id +
                           "\",\"manifest-version\":\"1.1\",\"product-build\":\"" +
                           EscapeJson(AppConfig::GetInstance().GetBuildVersion().toStdString()) +
                           "\",\"application\":\"" +
                           EscapeJson(g_state.applicationName.toStdString()) + "\",";
  p.manifestHead.Clear();
  p.manifestHead.Append(head.c_str());
  if (!p.tempCrashDir.ok() || !p.finalCrashDir.ok() || !p.stagingCrashDir.ok() ||
      !p.manifestHead.ok()) {
    throw ZorvaneException(TFormatString("Crash handler: crash directory name too long in '%1'")
                               .arg(TString(p.dumpDir.c_str())));
  }
}

void Install(const TPath& tempDir, const TPath& dumpDir, const TPath& logFile,
             const TString& applicationName, bool writeFullDump, bool signalChaining,
             FaultReporting::CrashCallback callback) {
  // The handler must not run while its paths change.
  const pid_t self = CurrentThreadId();
  Claim(self);
  struct Release {
    ~Release() { g_state.owner.store(0); }
  } release;

  Prepared& p = g_state.prepared;
  SetPath(&p.tempDir, tempDir);
  SetPath(&p.dumpDir, dumpDir);
  // A sanitizer's shadow would make the full dump terabytes long.
  p.writeFullDump = writeFullDump && !ZOR_SHADOW_SANITIZER;
  p.signalChaining = signalChaining;
  p.callback = callback;
  g_state.applicationName = applicationName;
  PrepareCrashDirectory();
  CrashHandling::SetLogFile(logFile);
  MinidumpWriter::Prepare();
  ThreadSuspender::Prepare();

  if (g_state.installed.load()) return;
  void* stack = mmap(nullptr, kAltStackBytes, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (stack == MAP_FAILED) {
    throw ZorvaneException(
        TFormatString("Crash handler: mmap of the alternate signal stack failed: %1")
            .arg(TString(strerror(errno))));
  }
  stack_t altStack{};
  altStack.ss_sp = stack;
  altStack.ss_size = kAltStackBytes;
  if (sigaltstack(&altStack, &g_state.previousAltStack) != 0) {
    const int error = errno;
    munmap(stack, kAltStackBytes);
    throw ZorvaneException(
        TFormatString("Crash handler: sigaltstack failed: %1").arg(TString(strerror(error))));
  }
  g_state.altStack = stack;
  g_state.altStackThread = self;
  for (int i = 0; i < kSignalCount; ++i) {
    struct sigaction action {};
    action.sa_sigaction = HandleSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    if (sigaction(kSignals[i], &action, &g_state.previous[i]) != 0) {
      throw ZorvaneException(TFormatString("Crash handler: sigaction for signal %1 failed: %2")
                                 .arg(kSignals[i])
                                 .arg(TString(strerror(errno))));
    }
  }
  g_state.previousTerminate = std::set_terminate(OnTerminate);
  g_state.installed.store(true);
}

}  // namespace

namespace CrashHandling {

TString StartupCrashHandler(const TPath& tempDir, const TPath& dumpDir, const TPath& logFile,
                            const Options& options) {
  Install(tempDir, dumpDir, logFile, kPrefix, options.writeFullDump, false, nullptr);
  return TString(g_state.prepared.correlationId.c_str());
}

void SetLogFile(const TPath& logFile) {
  const std::string path = logFile.IsEmpty() ? std::string() : logFile.NativeString();
  if (path.size() >= kPathCapacity) return;
  std::lock_guard<std::mutex> lock(g_logFileMutex);
  const int next = 1 - g_logFileIndex.load();
  memcpy(g_logFiles[next], path.c_str(), path.size() + 1);
  g_logFileIndex.store(next);
}

TPath WriteDumpOfCurrentThread(int signal, const TString& assertion) {
  if (!g_state.installed.load()) return TPath();
  const pid_t self = CurrentThreadId();
  if (!Claim(self)) return TPath();
  // Cut to the buffers, at a whole escape: a message of any length still
  // leaves valid JSON.
  const std::string text = assertion.toStdString().substr(0, 1000);
  g_assertionText.Clear();
  g_assertionText.Append(text.c_str());
  g_assertionJson.Clear();
  g_assertionJson.Append(EscapeJson(text).c_str());
  ucontext_t context;
  memset(&context, 0, sizeof context);
  getcontext(&context);
  DumpRequest request;
  request.context = &context;
  request.threadId = self;
  request.signal = signal;
  request.signalCode = signal != 0 ? SI_USER : 0;
  const bool written = WriteCrashDirectory(request);
  g_assertionText.Clear();
  g_assertionJson.Clear();
  const TPath result = written ? TPath(g_state.prepared.finalCrashDir.c_str()) : TPath();
  try {
    PrepareCrashDirectory();
  } catch (const ZorvaneException&) {
    // The old names stay; a later crash then finds its directory taken.
  }
  g_state.owner.store(0);
  return result;
}

void DieBySignal(int signal) {
  SetDispositions(false);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  raise(signal);
  _exit(128 + signal);
}

}  // namespace CrashHandling

namespace FaultReporting {

void SetupFaultReporting(const Options& options) {
  if (!options.enabled) return;
  Install(options.tempDir, options.dumpDir, options.logFile, options.applicationName,
          options.writeFullDump != 0, options.signalChaining != 0, options.callback);
}

void DestroyFaultReporting() {
  if (!g_state.installed.load()) return;
  for (int i = 0; i < kSignalCount; ++i) sigaction(kSignals[i], &g_state.previous[i], nullptr);
  std::set_terminate(g_state.previousTerminate);
  // Another thread cannot take the stack back; it is then left in place.
  if (CurrentThreadId() == g_state.altStackThread &&
      sigaltstack(&g_state.previousAltStack, nullptr) == 0) {
    munmap(g_state.altStack, kAltStackBytes);
  }
  g_state.altStack = nullptr;
  g_state.installed.store(false);
}

}  // namespace FaultReporting

}  // namespace zor::platform
