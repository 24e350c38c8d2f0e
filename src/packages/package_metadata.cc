#include "packages/package_metadata.h"

#include "packages/json_document.h"

namespace ZorErrorReporting {

rapidjson::Document PackageMetadata::ToJson() const { return Json::Document(rapidjson::kNullType); }

}  // namespace ZorErrorReporting
