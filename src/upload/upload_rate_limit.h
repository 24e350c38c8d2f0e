// UploadRateLimit: at most N upload attempts in any hour, counted across
// runs in a state file of the data directory (UploadRateState, saved
// atomically like every state file).
//
// Use per run, when the limit is configured:
//   1. construct before the previous run is settled, and tell the settling
//      which "Pending" packages were held back on purpose (GetHeldBack): they
//      were not forgotten, so they get no result;
//   2. Admit the packages due for upload: as many as the last hour leaves
//      room for are admitted, in their fair order (InFairOrder in
//      upload/package_footprint.h), and counted at once; the others stay as they are, untouched,
//      and wait for a later run. Admission is counted, not success: a failed attempt uses its place
//      too, so a server that refuses everything is not hammered;
//   3. GiveBack the place of an admitted package that asked nothing of the
//      server (it waited, or the run left it untouched): a crash that cannot
//      be sent yet must not keep the others out.
//
// A state file that cannot be read is logged at Warn and counts as empty;
// the next save replaces it. One that cannot be saved is logged at Warn and
// the run goes on: only the next run's count is at stake.
//
// Thread-safety: one thread; one process at a time (the caller holds the
// single-instance lock).
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "platform/date_time.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class Package;
class UploadRateState;

class UploadRateLimit {
 public:
  // The state file's name in the data directory.
  static constexpr char kStateFileName[] = "upload-rate-limit.state";
  static constexpr int64_t kWindowSeconds = 60 * 60;

  // Reads the state of `dataDirectory`. REQUIRES: maxPerHour > 0.
  UploadRateLimit(const zor::platform::TPath& dataDirectory, uint32_t maxPerHour);
  ~UploadRateLimit();
  UploadRateLimit(const UploadRateLimit&) = delete;
  UploadRateLimit& operator=(const UploadRateLimit&) = delete;

  // How many of `times` (upload times, Unix seconds) count against the
  // hour ending at `now`; a time far ahead is a clock set back since, and
  // does not count.
  static size_t RecentUploads(const std::vector<int64_t>& times,
                              const zor::platform::DateTime& now);

  // The packages the previous run held back.
  const std::set<zor::platform::TString>& GetHeldBack() const;

  // Admits packages of `packages` as described above and returns them in
  // their fair order; records the admitted at `now` and the names of
  // the others as held back, and saves. When some wait, logs one Info line
  // saying how many. Never throws.
  std::vector<std::shared_ptr<Package>> Admit(const std::vector<std::shared_ptr<Package>>& packages,
                                              const zor::platform::DateTime& now);

  // The place of a package the last Admit admitted goes, with `passOn`, to
  // the first package it held back, which is returned and no longer held
  // back; else, or with none held back, it is freed and nullptr returned.
  // Saves. Never throws.
  std::shared_ptr<Package> GiveBack(bool passOn);

 private:
  // Saves the state; a failure is logged at Warn.
  void Save();

  uint32_t maxPerHour_;
  std::shared_ptr<UploadRateState> state_;
  std::vector<std::shared_ptr<Package>> heldBack_;  // by the last Admit, in fair order
  int64_t admittedAt_ = 0;                          // the time the last Admit recorded
};

}  // namespace ZorErrorReporting
