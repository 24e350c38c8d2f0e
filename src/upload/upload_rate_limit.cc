#include "upload/upload_rate_limit.h"

#include <algorithm>
#include <map>

#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/package.h"
#include "packages/upload_rate_state.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"
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

namespace {

bool IsRecent(int64_t time, int64_t nowSeconds) {
  // A time far ahead is a clock that was set back; it must not block uploads.
  return time > nowSeconds - UploadRateLimit::kWindowSeconds &&
         time < nowSeconds + UploadRateLimit::kWindowSeconds;
}

}  // namespace

size_t UploadRateLimit::RecentUploads(const std::vector<int64_t>& times, const DateTime& now) {
  const int64_t nowSeconds = now.GetAsUnixTime();
  return static_cast<size_t>(std::count_if(
      times.begin(), times.end(), [&](int64_t time) { return IsRecent(time, nowSeconds); }));
}

std::vector<std::shared_ptr<Package>> UploadRateLimit::Admit(
    const std::vector<std::shared_ptr<Package>>& packages, const DateTime& now) {
  const int64_t nowSeconds = now.GetAsUnixTime();
  std::vector<int64_t> recent;
  for (const int64_t time : state_->GetUploadTimes()) {
    if (IsRecent(time, nowSeconds)) recent.push_back(time);
  }
  const size_t room = recent.size() >= maxPerHour_ ? 0 : maxPerHour_ - recent.size();

  std::vector<std::shared_ptr<Package>> result;
  std::set<TString> waiting;
  heldBack_.clear();
  admittedAt_ = nowSeconds;
  for (const std::shared_ptr<Package>& package : InFairOrder(packages)) {
    if (result.size() < room) {
      result.push_back(package);
      recent.push_back(nowSeconds);
    } else {
      waiting.insert(package->GetPackageName());
      heldBack_.push_back(package);
    }
  }
  state_->SetUploadTimes(std::move(recent));
  state_->SetHeldBack(waiting);
  Save();
  if (!waiting.empty()) {
    LogText(TLog::Info, TFormatString("Upload rate limit: '%1' package(s) wait for a later run; "
                                      "at most '%2' upload(s) per hour.")
                            .arg(static_cast<uint64_t>(waiting.size()))
                            .arg(maxPerHour_));
  }
  return result;
}

std::shared_ptr<Package> UploadRateLimit::GiveBack(bool passOn) {
  if (passOn && !heldBack_.empty()) {
    std::shared_ptr<Package> next = heldBack_.front();
    heldBack_.erase(heldBack_.begin());
    std::set<TString> waiting = state_->GetHeldBack();
    waiting.erase(next->GetPackageName());
    state_->SetHeldBack(std::move(waiting));
    Save();
    return next;
  }
  std::vector<int64_t> times = state_->GetUploadTimes();
  const auto mine = std::find(times.begin(), times.end(), admittedAt_);
  if (mine == times.end()) return nullptr;
  times.erase(mine);
  state_->SetUploadTimes(std::move(times));
  Save();
  return nullptr;
}

void UploadRateLimit::Save() {
  try {
    state_->Save();
  } catch (const zor::platform::ZorvaneException& e) {
    LogText(TLog::Warn, TFormatString("Upload rate limit: could not save '%1'; the next run "
                                      "counts what it had. Error message: '%2'")
                            .arg(state_->GetFilePath())
                            .arg(e.GetConcatenatedMessages()));
  }
}

}  // namespace ZorErrorReporting
