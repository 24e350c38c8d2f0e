#include "crypto/package_encryptor.h"

#include <rapidjson/document.h>

#include <string>

#include "config/config.h"
#include "files/filesystem.h"
#include "log/log_functions.h"
#include "packages/json_document.h"
#include "packages/package.h"
#include "packages/package_encryption_metadata.h"
#include "packages/package_metadata.h"
#include "platform/tformat_string.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
namespace TLog = zor::platform::TLog;
using zor::platform::TPath;
using zor::platform::TString;

namespace {

// Cleanses the bytes it guards when it goes, on the normal path and when an
// exception passes.
class ScopedCleanse {
 public:
  explicit ScopedCleanse(Crypto::Bytes* bytes) : bytes_(bytes) {}
  ~ScopedCleanse() { CleanseBytes(bytes_); }
  ScopedCleanse(const ScopedCleanse&) = delete;
  ScopedCleanse& operator=(const ScopedCleanse&) = delete;

 private:
  Crypto::Bytes* bytes_;  // weak
};

TString NativeText(const TPath& path) { return TString(path.NativeString()); }

}  // namespace

PackageEncryptor::PackageEncryptor(const TString& keyId, const std::vector<char>& publicKey)
    : keyId_(keyId), publicKey_(publicKey) {}

TPath PackageEncryptor::DataFilePath(const Package& package, const TPath& zip, const char* suffix) {
  TString extension = zip.Extension();
  if (extension.startsWith(".")) extension = extension.mid(1);
  const TString name =
      TFormatString("%1.%2%3").arg(TString(package.GetLocalPackageId())).arg(extension).arg(suffix);
  return Config::GetInstance().GetDataDirectory() / TPath(name);
}

void PackageEncryptor::EncryptPackage(Package& package) {
  const TPath zip = package.GetDataFilePath(DataFileKind::kZippedPackageFile);
  const uint64_t size = Filesystem::GetInstance().FileSize(zip);
  const TPath encrypted = DataFilePath(package, zip, kEncryptedFileSuffix);
  const TPath metadataPath = DataFilePath(package, zip, kMetadataFileSuffix);
  try {
    WriteEncryption(package, zip, size, encrypted, metadataPath);
    package.RecordEncryption(encrypted, metadataPath);
  } catch (...) {
    // Recorded or not, the pair is incomplete: what was written of it goes
    // (a record naming a missing file makes the next attempt encrypt again).
    Filesystem::GetInstance().RemovePath(encrypted);
    Filesystem::GetInstance().RemovePath(metadataPath);
    throw;
  }
  LogText(TLog::Info,
          TFormatString("Successfully encrypted zip file '%1' to file '%2' for package Id '%3' "
                        "using a generated and encrypted symmetric key\n.")
              .arg(NativeText(zip))
              .arg(NativeText(encrypted))
              .arg(package.GetPackageName()));
}

void PackageEncryptor::WriteEncryption(Package& package, const TPath& zip, uint64_t size,
                                       const TPath& encrypted, const TPath& metadataPath) {
  Crypto& crypto = Crypto::GetInstance();
  LogText(TLog::Info, TFormatString("Encrypting zip file '%1' to file '%2' for package Id '%3'.")
                          .arg(NativeText(zip))
                          .arg(NativeText(encrypted))
                          .arg(package.GetPackageName()));

  LogText(TLog::Debug, "Generating symmetric key and IV");
  Crypto::Bytes key = crypto.GenerateRandomBytes(Crypto::kKeyLength);
  const ScopedCleanse keyCleanse(&key);
  const Crypto::Bytes iv = crypto.GenerateRandomBytes(Crypto::kIvLength);

  LogText(TLog::Debug, TFormatString("Encrypting package file '%1'").arg(NativeText(zip)));
  const Crypto::Bytes tag = crypto.EncryptFile(zip, encrypted, key, iv, Crypto::kTagLength);

  const Crypto::Bytes customIv = crypto.GenerateRandomBytes(Crypto::kIvLength);
  Crypto::Bytes customData;
  Crypto::Bytes customTag;
  if (const std::shared_ptr<PackageMetadata> metadata = package.GetPackageMetadata()) {
    std::tie(customData, customTag) = EncryptPackageMetadata(key, customIv, *metadata);
  }

  LogText(TLog::Debug, "Encrypting symmetric key with Zorvane public key");
  const Crypto::Bytes wrapped = crypto.RsaPublicEncrypt(publicKey_, key);
  CleanseBytes(&key);  // not needed any more; the guard covers the throwing paths

  JsonFileSerializedObject::SaveNewFile(
      std::make_shared<PackageEncryptionMetadata>(
          keyId_, PackageEncryptionMetadata::kContentEncryptionAlgorithm,
          PackageEncryptionMetadata::kKeyWrapAlgorithm, size, wrapped, iv, tag, customData,
          customIv, customTag),
      metadataPath);
}

std::tuple<Crypto::Bytes, Crypto::Bytes> PackageEncryptor::EncryptPackageMetadata(
    const Crypto::Bytes& key, const Crypto::Bytes& iv, const PackageMetadata& metadata) {
  LogText(TLog::Debug, "Encrypting package metadata");
  const std::string text = Json::WriteCompact(metadata.ToJson());
  const Crypto::Bytes plaintext(text.begin(), text.end());
  return Crypto::GetInstance().EncryptBuffer(plaintext, key, iv, Crypto::kTagLength);
}

}  // namespace ZorErrorReporting
