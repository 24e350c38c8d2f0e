#include "upload/upload_rate_limit.h"

#include <algorithm>
#include <map>

#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/package.h"
#include "packages/upload_rate_state.h"
#include "platform/tformat_string.h"
#include "upload/package_footprint.h"

namespace ZorErrorReporting {

using zor::platform::DateTime;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
namespace TLog = zor::platform::TLog;

UploadRateLimit::UploadRateLimit(const TPath& dataDirectory, uint32_t maxPerHour)
    : maxPerHour_(maxPerHour) {
  const TPath path = dataDirectory / kStateFileName;
  try {
    if (Filesystem::GetInstance().FileExists(path)) state_ = UploadRateState::LoadFromFile(path);
  } catch (const std::exception& e) {
    LogText(TLog::Warn, TFormatString("Upload rate limit: could not read '%1'; counting no "
                                      "earlier uploads. Error message: '%2'")
                            .arg(path)
                            .arg(TString(e.what())));
  }
  if (!state_) {
    state_ = std::make_shared<UploadRateState>();
    state_->SetFilePath(path);
  }
}

UploadRateLimit::~UploadRateLimit() = default;

const std::set<TString>& UploadRateLimit::GetHeldBack() const { return state_->GetHeldBack(); }

std::vector<std::shared_ptr<Package>> UploadRateLimit::Admit(
    const std::vector<std::shared_ptr<Package>>& packages, const DateTime& now) {
  const int64_t nowSeconds = now.GetAsUnixTime();
  std::vector<int64_t> recent;
  for (const int64_t time : state_->GetUploadTimes()) {
    // A time far ahead is a clock that was set back; it must not block uploads.
    if (time > nowSeconds - kWindowSeconds && time < nowSeconds + kWindowSeconds) {
      recent.push_back(time);
    }
  }
  const size_t room = recent.size() >= maxPerHour_ ? 0 : maxPerHour_ - recent.size();

  // Each owner's oldest, then each owner's second oldest, and so on: a user
  // who floods the dump directories with crashes delays only their own.
  struct Queued {
    int64_t createdMs;
    uid_t owner;
    size_t index;     // in `packages`
    size_t rank = 0;  // among its owner's, oldest first
  };
  std::vector<Queued> queue;
  for (size_t i = 0; i < packages.size(); ++i) {
    const PackageFootprint footprint = PackageFootprint::Measure(*packages[i]);
    queue.push_back({footprint.created.IsValid() ? footprint.created.GetAsUnixTimeMs() : 0,
                     footprint.owner, i});
  }
  std::stable_sort(queue.begin(), queue.end(),
                   [](const Queued& a, const Queued& b) { return a.createdMs < b.createdMs; });
  std::map<uid_t, size_t> seen;
  for (Queued& q : queue) q.rank = seen[q.owner]++;
  std::stable_sort(queue.begin(), queue.end(),
                   [](const Queued& a, const Queued& b) { return a.rank < b.rank; });
  std::vector<bool> admitted(packages.size(), false);
  for (size_t k = 0; k < queue.size() && k < room; ++k) admitted[queue[k].index] = true;

  std::vector<std::shared_ptr<Package>> result;
  std::set<TString> waiting;
  for (size_t i = 0; i < packages.size(); ++i) {
    if (admitted[i]) {
      result.push_back(packages[i]);
      recent.push_back(nowSeconds);
    } else {
      waiting.insert(packages[i]->GetPackageName());
    }
  }
  state_->SetUploadTimes(std::move(recent));
  state_->SetHeldBack(waiting);
  state_->Save();
  if (!waiting.empty()) {
    LogText(TLog::Info, TFormatString("Upload rate limit: '%1' package(s) wait for a later run; "
                                      "at most '%2' upload(s) per hour.")
                            .arg(static_cast<uint64_t>(waiting.size()))
                            .arg(maxPerHour_));
  }
  return result;
}

}  // namespace ZorErrorReporting
