// PackageEncryptionMetadata: everything the crash server needs to decrypt one
// encrypted package file, kept in "<local id>.<zip extension>.zormeta" in the
// data directory and recorded by the package as its
// "zor-encryption-metadata-file". The registration request carries its members.
//
// File format (one compact JSON object, members in this order):
//   "enc-key-id" string, "enc-cek-alg" string ("AES/GCM/NoPadding"),
//   "enc-wrap-alg" string ("RSAES-OAEP"), "enc-unencrypted-content-length"
//   integer (unsigned 64-bit), "enc-key", "enc-iv", "enc-tag" (Base64 strings),
//   then, only when the client custom data is not empty, "client-custom-data",
//   "client-custom-data-iv", "client-custom-data-tag" (Base64 strings).
// Base64 is the standard alphabet with padding, one unbroken string.
//
// Ownership: held by std::shared_ptr. Thread-safety: none; one thread at a time.
#pragma once

#include <rapidjson/fwd.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "packages/json_file_serialized_object.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class PackageEncryptionMetadata : public JsonFileSerializedObject {
 public:
  using Bytes = std::vector<uint8_t>;

  // The algorithm names the program writes.
  static constexpr char kContentEncryptionAlgorithm[] = "AES/GCM/NoPadding";
  static constexpr char kKeyWrapAlgorithm[] = "RSAES-OAEP";

  // All ten fields; unbound, not saved. `clientCustomDataIv` and
  // `clientCustomDataTag` are held even when `clientCustomData` is empty, but
  // only written together with it.
  PackageEncryptionMetadata(const zor::platform::TString& keyId,
                            const zor::platform::TString& contentEncryptionAlgorithm,
                            const zor::platform::TString& keyWrapAlgorithm,
                            uint64_t unencryptedContentLength, const Bytes& encryptedKey,
                            const Bytes& iv, const Bytes& tag, const Bytes& clientCustomData,
                            const Bytes& clientCustomDataIv, const Bytes& clientCustomDataTag);

  // Reads the file format above: member names ignoring case, a later member
  // replacing an earlier one, other names skipped; a missing member leaves its
  // field empty (0 for the length). Throws std::runtime_error when `json` is
  // not an object or a known member has another JSON type (the length must be
  // a JSON integer that is not negative), and ZorvaneException when a Base64
  // text is invalid.
  explicit PackageEncryptionMetadata(const rapidjson::Value& json);

  // Two objects would save over one file.
  PackageEncryptionMetadata(const PackageEncryptionMetadata&) = delete;
  PackageEncryptionMetadata& operator=(const PackageEncryptionMetadata&) = delete;

  // Loads the file at `path` and binds the new object to it. Throws what
  // JsonFileSerializedObject::ReadJsonFile and the JSON constructor throw
  // (a type error or a bad Base64 text arrives as a ZorvaneException naming
  // the file).
  static std::shared_ptr<PackageEncryptionMetadata> LoadFromFile(const zor::platform::TPath& path);

  // JsonFileSerializedObject: the file format above.
  rapidjson::Document ToJson() const override;

  const zor::platform::TString& GetKeyId() const { return keyId_; }
  const zor::platform::TString& GetContentEncryptionAlgorithm() const {
    return contentEncryptionAlgorithm_;
  }
  const zor::platform::TString& GetKeyWrapAlgorithm() const { return keyWrapAlgorithm_; }
  uint64_t GetUnencryptedContentLength() const { return unencryptedContentLength_; }
  const Bytes& GetEncryptedKey() const { return encryptedKey_; }
  const Bytes& GetIv() const { return iv_; }
  const Bytes& GetTag() const { return tag_; }
  const Bytes& GetClientCustomData() const { return clientCustomData_; }
  const Bytes& GetClientCustomDataIv() const { return clientCustomDataIv_; }
  const Bytes& GetClientCustomDataTag() const { return clientCustomDataTag_; }

 private:
  zor::platform::TString keyId_;
  zor::platform::TString contentEncryptionAlgorithm_;
  zor::platform::TString keyWrapAlgorithm_;
  uint64_t unencryptedContentLength_ = 0;
  Bytes encryptedKey_;
  Bytes iv_;
  Bytes tag_;
  Bytes clientCustomData_;
  Bytes clientCustomDataIv_;
  Bytes clientCustomDataTag_;
};

}  // namespace ZorErrorReporting
