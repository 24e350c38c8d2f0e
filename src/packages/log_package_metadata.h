// LogPackageMetadata: the customer's details that travel with a logs package
// (a support case number and an e-mail address), kept in a file of their own
// that the package records as its "package-metadata-file". Their compact JSON
// text is encrypted into the package's encryption metadata.
//
// File format (one compact JSON object, members in this order):
//   "type" string, always "CustomerUploadDetails";
//   "data" object: "SupportCaseNumber" string, "EmailAddress" string.
// Both "data" members are written even when empty.
//
// Ownership: held by std::shared_ptr. Thread-safety: none; one thread at a time.
#pragma once

#include <rapidjson/fwd.h>

#include <memory>

#include "packages/package_metadata.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class LogPackageMetadata : public PackageMetadata {
 public:
  // The "type" the program writes.
  static constexpr char kCustomerUploadDetails[] = "CustomerUploadDetails";
  // The suffix of the file in the data directory: "<package name>.metadata".
  static constexpr char kFileSuffix[] = ".metadata";

  // New details with an empty type; unbound, not saved.
  LogPackageMetadata(const zor::platform::TString& supportCaseNumber,
                     const zor::platform::TString& emailAddress);

  // Reads the file format above: member names ignoring case, a later member
  // replacing an earlier one, other members skipped; a missing member leaves
  // its field empty. "type" sets the type as read. Throws std::runtime_error
  // when `json` is not an object, "type" is not a string, "data" is not an
  // object, or "SupportCaseNumber" / "EmailAddress" is not a string.
  explicit LogPackageMetadata(const rapidjson::Value& json);

  // Two objects would save over one file.
  LogPackageMetadata(const LogPackageMetadata&) = delete;
  LogPackageMetadata& operator=(const LogPackageMetadata&) = delete;

  // Loads the file at `path` and binds the new object to it. Throws what
  // JsonFileSerializedObject::ReadJsonFile throws; a member of the wrong
  // JSON type arrives as a ZorvaneException naming the file.
  static std::shared_ptr<LogPackageMetadata> LoadFromFile(const zor::platform::TPath& path);

  // JsonFileSerializedObject: the file format above ("type" is always
  // kCustomerUploadDetails, whatever was read).
  rapidjson::Document ToJson() const override;

  // The "type" as read from a file; empty for new details. Not otherwise used.
  const zor::platform::TString& GetType() const { return type_; }
  const zor::platform::TString& GetSupportCaseNumber() const { return supportCaseNumber_; }
  const zor::platform::TString& GetEmailAddress() const { return emailAddress_; }

 private:
  zor::platform::TString type_;
  zor::platform::TString supportCaseNumber_;
  zor::platform::TString emailAddress_;
};

}  // namespace ZorErrorReporting
