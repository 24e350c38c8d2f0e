// PackageMetadata: the base of the extra metadata that a package may carry in
// a file of its own (a logs package's customer details derive from it). The
// base holds nothing: its JSON form is the null value.
//
// Ownership and thread-safety as JsonFileSerializedObject: held by
// std::shared_ptr, used by one thread at a time.
#pragma once

#include "packages/json_file_serialized_object.h"

namespace ZorErrorReporting {

class PackageMetadata : public JsonFileSerializedObject {
 public:
  PackageMetadata() = default;

  // JsonFileSerializedObject:
  // The JSON null value; derived classes return their object.
  rapidjson::Document ToJson() const override;
};

}  // namespace ZorErrorReporting
