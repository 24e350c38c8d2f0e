#include "platform/interruption.h"

#include <signal.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace zor::platform {

namespace {

// Lock-free, so storing it from the handler is async-signal-safe.
std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kSignals[] = {SIGTERM, SIGINT};

void SetAction(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (sigaction(signal, &action, nullptr) != 0 && handler != SIG_DFL) {
    throw ZorvaneException(TFormatString("Cannot handle %1: %2")
                               .arg(Interruption::SignalName(signal))
                               .arg(TString(std::strerror(errno))));
  }
}

void OnSignal(int signal) {
  const int savedErrno = errno;
  int none = 0;
  received.compare_exchange_strong(none, signal);
  // sigaction is async-signal-safe; the next signal takes its default action.
  for (const int s : kSignals) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(s, &action, nullptr);
  }
  errno = savedErrno;
}

TString InterruptedMessage(int signal, const TString& packagePutBack) {
  TString message = "Interrupted by " + Interruption::SignalName(signal);
  if (!packagePutBack.isEmpty()) {
    message += TFormatString(": package '%1' is put back for the next run").arg(packagePutBack);
  }
  return message;
}

}  // namespace

RunInterrupted::RunInterrupted(int signal, const TString& packagePutBack)
    : ZorvaneException(InterruptedMessage(signal, packagePutBack),
                       ZorvaneError::MakeError("interrupted", Interruption::SignalName(signal))),
      signal_(signal) {}

namespace Interruption {

void Install() {
  for (const int s : kSignals) SetAction(s, OnSignal);
}

bool Requested() { return received.load() != 0; }

int Signal() { return received.load(); }

void ThrowIfRequested() {
  const int signal = received.load();
  if (signal != 0) throw RunInterrupted(signal);
}

TString SignalName(int signal) {
  if (signal == SIGTERM) return "SIGTERM";
  if (signal == SIGINT) return "SIGINT";
  return "signal " + TString::Number(signal);
}

void ResetForTest() {
  for (const int s : kSignals) SetAction(s, SIG_DFL);
  received.store(0);
}

}  // namespace Interruption

}  // namespace zor::platform
