// UploadRateState: what the upload rate limit remembers between runs: when
// the recent uploads were admitted, and which packages the last run held
// back on purpose (so that the next run does not take them for packages a
// run failed to try).
//
// File format (one compact JSON object): "upload-times" (array of integers,
// Unix seconds, ascending), "held-back-packages" (array of package names).
// Reading matches names ignoring case and skips elements of another type.
//
// Ownership: held by std::shared_ptr. Thread-safety: one thread at a time.
#pragma once

#include <rapidjson/fwd.h>

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

#include "packages/json_file_serialized_object.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class UploadRateState : public JsonFileSerializedObject {
 public:
  // No uploads, nothing held back; unbound.
  UploadRateState() = default;
  // Reads the format above. Throws ZorvaneException when `json` is not an object.
  explicit UploadRateState(const rapidjson::Value& json);

  // Loads the file at `path` and binds the new object to it. Throws what
  // JsonFileSerializedObject::ReadJsonFile and the JSON constructor throw.
  static std::shared_ptr<UploadRateState> LoadFromFile(const zor::platform::TPath& path);

  // JsonFileSerializedObject:
  rapidjson::Document ToJson() const override;

  const std::vector<int64_t>& GetUploadTimes() const { return uploadTimes_; }
  // Stores the times, sorted; not saved.
  void SetUploadTimes(std::vector<int64_t> times);
  const std::set<zor::platform::TString>& GetHeldBack() const { return heldBack_; }
  void SetHeldBack(std::set<zor::platform::TString> names) { heldBack_ = std::move(names); }

 private:
  std::vector<int64_t> uploadTimes_;
  std::set<zor::platform::TString> heldBack_;
};

}  // namespace ZorErrorReporting
