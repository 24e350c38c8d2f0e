#include "packages/upload_rate_state.h"

#include <algorithm>

#include "packages/json_document.h"
#include "packages/json_members.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TPath;
using zor::platform::TString;

namespace {

constexpr char kUploadTimes[] = "upload-times";
constexpr char kHeldBack[] = "held-back-packages";

}  // namespace

UploadRateState::UploadRateState(const rapidjson::Value& json) {
  if (!json.IsObject()) {
    throw zor::platform::ZorvaneException("Upload rate state JSON is not an object");
  }
  std::vector<int64_t> times;
  ReadMembers(json, {{kUploadTimes,
                      [&](const Json::Value& v) {
                        if (!v.IsArray()) return false;
                        times.clear();
                        for (const auto& time : v.GetArray()) {
                          if (Json::IsInteger(time)) times.push_back(Json::GetInt64(time));
                        }
                        return true;
                      }},
                     {kHeldBack, [&](const Json::Value& v) {
                        if (!v.IsArray()) return false;
                        heldBack_.clear();
                        for (const auto& name : v.GetArray()) {
                          if (name.IsString()) heldBack_.insert(Json::GetText(name));
                        }
                        return true;
                      }}});
  SetUploadTimes(std::move(times));
}

std::shared_ptr<UploadRateState> UploadRateState::LoadFromFile(const TPath& path) {
  return LoadObjectFromFile<UploadRateState>(path);
}

rapidjson::Document UploadRateState::ToJson() const {
  Json::Document document(rapidjson::kObjectType);
  Json::Allocator& allocator = document.GetAllocator();
  Json::Value times(rapidjson::kArrayType);
  for (const int64_t time : uploadTimes_) times.PushBack(time, allocator);
  document.AddMember(rapidjson::StringRef(kUploadTimes), times, allocator);
  Json::Value names(rapidjson::kArrayType);
  for (const TString& name : heldBack_)
    names.PushBack(Json::MakeString(name, allocator), allocator);
  document.AddMember(rapidjson::StringRef(kHeldBack), names, allocator);
  return document;
}

void UploadRateState::SetUploadTimes(std::vector<int64_t> times) {
  std::sort(times.begin(), times.end());
  uploadTimes_ = std::move(times);
}

}  // namespace ZorErrorReporting
