// AsyncTask::Cancel: a cancellation request that long-running work polls.
//
// One instance may be installed as the process's current cancellation
// (Create installs a fresh one; Set replaces or clears it). Requesting
// cancellation is one-way. Thread-safety: every member may be used from any
// thread.
#pragma once

#include <atomic>
#include <memory>

namespace zor::platform::AsyncTask {

class Cancel {
 public:
  // Makes a new, not cancelled instance, installs it as current and returns it.
  static std::shared_ptr<Cancel> Create();
  // Installs `cancel` as current; an empty pointer leaves none installed.
  static void Set(std::shared_ptr<Cancel> cancel);
  // The current instance, or an empty pointer when none is installed.
  static std::shared_ptr<Cancel> Get();

  void RequestCancel() { cancelled_.store(true); }
  bool IsCancelled() const { return cancelled_.load(); }

 private:
  std::atomic<bool> cancelled_{false};
};

}  // namespace zor::platform::AsyncTask
