#include "crash/thread_suspender.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace zor::platform {
namespace {

// How long the crashing thread waits for the helper to stop everyone: a
// thread in an uninterruptible sleep must not hold the crash up for good.
constexpr int kHelperTimeoutMs = 5000;

// The static storage of the one active suspender; the helper writes it
// (it shares the address space), the crashing thread reads it once the
// helper has reported.
struct Shared {
  pid_t candidates[ThreadSuspender::kMaxThreads];
  size_t candidateCount;
  size_t beyondCap;  // threads past kMaxThreads, neither stopped nor dumped
  StoppedThread stopped[ThreadSuspender::kMaxThreads];
  int resumeSignal[ThreadSuspender::kMaxThreads];  // passed on at detach
  size_t stoppedCount;
  size_t refused;
  int goFd;      // helper reads: the tracer permission is set
  int resumeFd;  // helper reads: detach now (a byte or the end of the pipe)
  int doneFd;    // helper writes: every thread is stopped
  int parentEnds[3];  // the crashing thread's ends, which the helper's copy closes
};
Shared g_shared;

alignas(64) uint8_t g_helperStack[64 * 1024];

using CloneFunction = int (*)(int (*)(void*), void*, int, void*, ...);
CloneFunction g_clone = &clone;

pid_t CurrentThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

// Reads the thread ids of this process, the caller's left out, into
// g_shared.candidates.
void ListOtherThreads(pid_t self) {
  g_shared.candidateCount = 0;
  g_shared.beyondCap = 0;
  const int fd = open("/proc/self/task", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  alignas(8) char buffer[4096];
  for (;;) {
    const long n = syscall(SYS_getdents64, fd, buffer, sizeof buffer);
    if (n <= 0) break;
    for (long pos = 0; pos < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + pos);
      pos += entry->d_reclen;
      pid_t tid = 0;
      const char* p = entry->d_name;
      if (*p < '0' || *p > '9') continue;
      for (; *p >= '0' && *p <= '9'; ++p) tid = tid * 10 + (*p - '0');
      if (tid == self) continue;
      if (g_shared.candidateCount == ThreadSuspender::kMaxThreads) {
        ++g_shared.beyondCap;
        continue;
      }
      g_shared.candidates[g_shared.candidateCount++] = tid;
    }
  }
  close(fd);
}

// The helper task is no thread that the C library or a sanitizer's runtime
// knows of: what it calls goes to the kernel directly, bypassing wrappers
// that would use per-thread state.
long Tracing(int request, pid_t tid, void* data = nullptr) {
  return syscall(SYS_ptrace, request, tid, nullptr, data);
}

bool ReadByte(int fd) {
  char byte = 0;
  for (;;) {
    const long n = syscall(SYS_read, fd, &byte, 1);
    if (n < 0 && errno == EINTR) continue;
    return n == 1;
  }
}

void WriteByte(int fd) {
  const char byte = 1;
  while (syscall(SYS_write, fd, &byte, 1) < 0 && errno == EINTR) {
  }
}

// Attaches to `tid` and waits until it is stopped; false when it cannot be
// traced or ended meanwhile.
bool StopThread(pid_t tid, int* resumeSignal) {
  if (Tracing(PTRACE_SEIZE, tid) != 0) return false;
  if (Tracing(PTRACE_INTERRUPT, tid) != 0) return false;
  for (;;) {
    int status = 0;
    const long got = syscall(SYS_wait4, tid, &status, __WALL, nullptr);
    if (got < 0 && errno == EINTR) continue;
    if (got != tid || !WIFSTOPPED(status)) return false;
    // The interrupt's own stop passes nothing on; a signal that arrived
    // first is delivered when the thread goes on.
    const bool interruptStop = (status >> 16) == PTRACE_EVENT_STOP;
    *resumeSignal = interruptStop ? 0 : WSTOPSIG(status);
    return true;
  }
}

// The helper task. It runs in its own process (so that it may trace this
// one's threads) on g_helperStack and calls system calls only. It shares the
// crashing thread's thread pointer, so a failed call sets that thread's
// errno: harmless, since that thread waits in poll meanwhile and reads errno
// only after calls of its own.
int HelperMain(void*) {
  // Without its copies of the other ends, the helper sees the end of the
  // resume pipe when the process dies before Resume.
  for (const int fd : g_shared.parentEnds) syscall(SYS_close, fd);
  if (!ReadByte(g_shared.goFd)) return 1;
  for (size_t i = 0; i < g_shared.candidateCount; ++i) {
    const pid_t tid = g_shared.candidates[i];
    StoppedThread& t = g_shared.stopped[g_shared.stoppedCount];
    int resumeSignal = 0;
    if (!StopThread(tid, &resumeSignal)) {
      ++g_shared.refused;
      continue;
    }
    t.threadId = tid;
    if (Tracing(PTRACE_GETREGS, tid, &t.registers) != 0 ||
        Tracing(PTRACE_GETFPREGS, tid, &t.floatingPoint) != 0) {
      Tracing(PTRACE_DETACH, tid, reinterpret_cast<void*>(uintptr_t(resumeSignal)));
      ++g_shared.refused;
      continue;
    }
    g_shared.resumeSignal[g_shared.stoppedCount++] = resumeSignal;
  }
  WriteByte(g_shared.doneFd);
  ReadByte(g_shared.resumeFd);
  for (size_t i = 0; i < g_shared.stoppedCount; ++i) {
    Tracing(PTRACE_DETACH, g_shared.stopped[i].threadId,
            reinterpret_cast<void*>(uintptr_t(g_shared.resumeSignal[i])));
  }
  return 0;
}

void ClosePipe(int fds[2]) {
  for (int i = 0; i < 2; ++i) {
    if (fds[i] >= 0) close(fds[i]);
    fds[i] = -1;
  }
}

void Reap(pid_t helper) {
  int status = 0;
  while (waitpid(helper, &status, __WALL) < 0 && errno == EINTR) {
  }
}

}  // namespace

void ThreadSuspender::Prepare() {
  if (void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD)) {
    if (void* own = dlsym(libc, "clone")) g_clone = reinterpret_cast<CloneFunction>(own);
    dlclose(libc);
  }
}

bool ThreadSuspender::SuspendOthers() {
  Resume();
  g_shared.stoppedCount = 0;
  g_shared.refused = 0;
  ListOtherThreads(CurrentThreadId());
  if (g_shared.candidateCount == 0) return true;

  int go[2] = {-1, -1}, resume[2] = {-1, -1}, done[2] = {-1, -1};
  if (pipe2(go, O_CLOEXEC) != 0 || pipe2(resume, O_CLOEXEC) != 0 || pipe2(done, O_CLOEXEC) != 0) {
    ClosePipe(go);
    ClosePipe(resume);
    ClosePipe(done);
    return false;
  }
  g_shared.goFd = go[0];
  g_shared.resumeFd = resume[0];
  g_shared.doneFd = done[1];
  g_shared.parentEnds[0] = go[1];
  g_shared.parentEnds[1] = resume[1];
  g_shared.parentEnds[2] = done[0];
  // No CLONE_FILES: the helper gets a table of its own, so that closing
  // descriptors on either side leaves the other's alone.
  const pid_t helper = g_clone(HelperMain, g_helperStack + sizeof g_helperStack,
                             CLONE_VM | CLONE_UNTRACED, nullptr);
  close(go[0]);
  close(resume[0]);
  close(done[1]);
  if (helper < 0) {
    close(go[1]);
    close(resume[1]);
    close(done[0]);
    return false;
  }
  // Without Yama this fails with EINVAL, and no permission is needed.
  prctl(PR_SET_PTRACER, helper, 0, 0, 0);
  WriteByte(go[1]);
  close(go[1]);

  pollfd ready{done[0], POLLIN, 0};
  int polled = 0;
  do {
    polled = poll(&ready, 1, kHelperTimeoutMs);
  } while (polled < 0 && errno == EINTR);
  if (polled != 1 || !ReadByte(done[0])) {
    // Killing the tracer detaches whatever it had stopped.
    kill(helper, SIGKILL);
    Reap(helper);
    close(resume[1]);
    close(done[0]);
    prctl(PR_SET_PTRACER, 0, 0, 0, 0);
    g_shared.stoppedCount = 0;
    return false;
  }
  helper_ = helper;
  toHelper_ = resume[1];
  fromHelper_ = done[0];
  return true;
}

void ThreadSuspender::Resume() {
  if (helper_ == 0) return;
  WriteByte(toHelper_);
  close(toHelper_);
  Reap(helper_);
  close(fromHelper_);
  prctl(PR_SET_PTRACER, 0, 0, 0, 0);
  helper_ = 0;
  toHelper_ = fromHelper_ = -1;
}

const StoppedThread* ThreadSuspender::threads() const { return g_shared.stopped; }
size_t ThreadSuspender::count() const { return g_shared.stoppedCount; }
size_t ThreadSuspender::refused() const { return g_shared.refused; }
size_t ThreadSuspender::others() const { return g_shared.candidateCount + g_shared.beyondCap; }
size_t ThreadSuspender::beyondCap() const { return g_shared.beyondCap; }

}  // namespace zor::platform
