#include "crypto/package_encryptor.h"

#include <rapidjson/document.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "config/config.h"
#include "crypto/gcm_encryptor.h"
#include "files/filesystem.h"
#include "files/output_file.h"
#include "files/zip_file.h"
#include "log/log_functions.h"
#include "packages/json_document.h"
#include "packages/package.h"
#include "packages/package_encryption_metadata.h"
#include "packages/package_metadata.h"
#include "platform/boot_id.h"
#include "platform/path_error.h"
#include "platform/tformat_string.h"

namespace ZorErrorReporting {

using zor::platform::TFile;
using zor::platform::TFormatString;
namespace TLog = zor::platform::TLog;
using zor::platform::TPath;
using zor::platform::TString;

namespace {

// A fresh content key and IV for one package. The key is cleansed when it
// goes, on the normal path and when an exception passes.
struct ContentKey {
  ContentKey() {
    LogText(TLog::Debug, "Generating symmetric key and IV");
    // The key last: the destructor does not run when the body throws.
    iv = Crypto::GetInstance().GenerateRandomBytes(Crypto::kIvLength);
    key = Crypto::GetInstance().GenerateRandomBytes(Crypto::kKeyLength);
  }
  ~ContentKey() { CleanseBytes(&key); }
  ContentKey(const ContentKey&) = delete;
  ContentKey& operator=(const ContentKey&) = delete;

  Crypto::Bytes key;
  Crypto::Bytes iv;
};

TString NativeText(const TPath& path) { return TString(path.NativeString()); }

// Why the opened zip of logs `file` is not sent, empty when it may be, and
// then its length in `*size`.
TString WhyUsersZipIsRefused(TFile& file, uint64_t* size) {
  const auto identity = file.Identify();
  if (!identity) return "it cannot be examined";
  // Its copy in the data directory takes its full length: a sparse file of a
  // user's would have root fill the disk with zeros, encrypted.
  constexpr uint64_t kSparseBelow = 1024 * 1024;
  if (identity->size > kSparseBelow && identity->allocated < identity->size / 2) {
    return TFormatString("it is sparse (%1 bytes long, %2 on disk), which no zip of logs is")
        .arg(identity->size)
        .arg(identity->allocated);
  }
  // A zip of logs starts with its first entry's local header; anything else
  // (an empty file, a log given for its zip, a tarball) would reach support
  // as a package nobody can open.
  char magic[4] = {};
  if (identity->size == 0) return "it is empty, and a zip of logs holds at least one file";
  if (file.ReadAt(magic, sizeof magic, 0) != sizeof magic ||
      std::string(magic, sizeof magic) != std::string("PK\3\4", 4)) {
    return "it is no zip of files (a zip starts with the bytes 'PK', 3, 4)";
  }
  if (identity->size > Crypto::kMaxGcmBytes) {
    return TFormatString("its %1 bytes are more than one package can be encrypted in (%2)")
        .arg(identity->size)
        .arg(Crypto::kMaxGcmBytes);
  }
  *size = identity->size;
  return {};
}

}  // namespace

PackageEncryptor::OpenedZip PackageEncryptor::OpenUsersZip(const TPath& path) {
  const auto refused = [&](const TString& cause) {
    return zor::platform::ZorvaneException(
        TFormatString("Unable to open file '%1': %2").arg(NativeText(path)).arg(cause));
  };
  const auto open = [&] {
    try {
      return Filesystem::GetInstance().OpenUsersFileForReading(path);
    } catch (const TPath::Exception& e) {
      // Nothing can make a user's zip again: one gone, turned into a link or
      // otherwise refused judges the package. Only a process short of
      // descriptors or memory has judged nothing.
      const int error = e.GetError() ? e.GetError()->systemError : 0;
      if (zor::platform::IsShortOfResources(error)) throw;
      throw refused(e.GetConcatenatedMessages());
    }
  };
  OpenedZip zip{open(), 0};
  const TString refusal = WhyUsersZipIsRefused(zip.file, &zip.size);
  if (!refusal.isEmpty()) throw refused(refusal);
  return zip;
}

PackageEncryptor::PackageEncryptor(const TString& keyId, const std::vector<char>& publicKey)
    : keyId_(keyId), publicKey_(publicKey) {}

TPath PackageEncryptor::DataFilePath(const Package& package, const TPath& zip, const char* suffix) {
  TString extension = zip.Extension();
  if (extension.startsWith(".")) extension = extension.mid(1);
  // A user's zip may end in anything: a long or odd extension would make a
  // name the data directory cannot hold.
  const std::string text = extension.toStdString();
  if (text.empty() || text.size() > 16 ||
      !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isalnum(c); })) {
    extension = "zip";
  }
  const TString name =
      TFormatString("%1.%2%3").arg(TString(package.GetLocalPackageId())).arg(extension).arg(suffix);
  return Config::GetInstance().GetDataDirectory() / TPath(name);
}

void PackageEncryptor::EncryptPackage(Package& package, const ByteProgress& progress) {
  const TPath zip = package.GetDataFilePath(DataFileKind::kZippedPackageFile);
  Filesystem& fs = Filesystem::GetInstance();
  // A zip the package keeps is a user's (send-logs'): read only by the rules
  // for what a user hands the program, checked on the descriptor read, and
  // no further than it was long then.
  const bool users = package.KeepsDataFile(DataFileKind::kZippedPackageFile);
  OpenedZip in = users ? OpenUsersZip(zip) : OpenedZip{fs.OpenFileForReading(zip), 0};
  if (!users) in.size = static_cast<uint64_t>(in.file.Size());
  const uint64_t size = in.size;
  const TPath encrypted = DataFilePath(package, zip, kEncryptedFileSuffix);
  const TPath metadataPath = DataFilePath(package, zip, kMetadataFileSuffix);
  LogStart(package, zip, encrypted);
  try {
    const ContentKey content;
    LogText(TLog::Debug, TFormatString("Encrypting package file '%1'").arg(NativeText(zip)));
    const Crypto::Bytes tag =
        Crypto::GetInstance().EncryptFile(in.file, size, encrypted, content.key, content.iv,
                                          Crypto::kTagLength, Crypto::kFileBlockSize, progress);
    WriteMetadata(package, content.key, content.iv, size, tag, metadataPath);
    package.RecordEncryption(encrypted, metadataPath);
  } catch (...) {
    // Recorded or not, the pair is incomplete: what was written of it goes
    // (a record naming a missing file makes the next attempt encrypt again).
    fs.RemovePath(encrypted);
    fs.RemovePath(metadataPath);
    throw;
  }
  LogSuccess(package, zip, encrypted);
}

void PackageEncryptor::ZipAndEncryptPackage(Package& package, const TPath& zipPath, KeepZip keep,
                                            unsigned deflateThreads,
                                            const EntryWriter& addEntries) {
  Filesystem& fs = Filesystem::GetInstance();
  const TPath encrypted = DataFilePath(package, zipPath, kEncryptedFileSuffix);
  const TPath metadataPath = DataFilePath(package, zipPath, kMetadataFileSuffix);
  LogStart(package, zipPath, encrypted);
  // Without a kept zip the crash's files can make the encrypted file again, so
  // it is not synced: the page cache holds it for this boot, and one sent and
  // deleted soon after never reaches the disk. After a restart it is made
  // again (DescribeUpload). Where the boot cannot be told, it is synced.
  const TString boot = keep == KeepZip::kNo ? zor::platform::CurrentBootId() : TString();
  try {
    const ContentKey content;
    // Uncommitted, either file removes itself when a step below throws.
    const std::unique_ptr<OutputFile> out = fs.CreateNewFile(
        encrypted, boot.isEmpty() ? OutputFile::Sync::kOnCommit : OutputFile::Sync::kNever);
    std::unique_ptr<OutputFile> plain;
    if (keep == KeepZip::kYes) plain = fs.CreateNewFile(zipPath);
    GcmEncryptor encryptor(content.key, content.iv, *out, plain.get());
    ZipFile zip(deflateThreads);
    // Its errors name the file that is written: without a kept zip, only
    // the encrypted one is.
    zip.Open(encryptor, (plain ? zipPath : encrypted).ToString());
    addEntries(zip);
    zip.Close();
    const Crypto::Bytes tag = encryptor.Finish(Crypto::kTagLength);
    // Closed (a kept zip and, where so made, the encrypted file synced)
    // before they are recorded as whole.
    if (plain) plain->Commit();
    out->Commit();
    WriteMetadata(package, content.key, content.iv, encryptor.Size(), tag, metadataPath);
    package.RecordEncryption(encrypted, metadataPath,
                             keep == KeepZip::kYes ? std::optional<TPath>(zipPath) : std::nullopt,
                             boot);
  } catch (...) {
    fs.RemovePath(encrypted);
    fs.RemovePath(metadataPath);
    if (keep == KeepZip::kYes) fs.RemovePath(zipPath);
    throw;
  }
  LogSuccess(package, zipPath, encrypted);
}

void PackageEncryptor::LogStart(const Package& package, const TPath& zip, const TPath& encrypted) {
  LogText(TLog::Info, TFormatString("Encrypting zip file '%1' to file '%2' for package Id '%3'.")
                          .arg(NativeText(zip))
                          .arg(NativeText(encrypted))
                          .arg(package.GetPackageName()));
}

void PackageEncryptor::LogSuccess(const Package& package, const TPath& zip,
                                  const TPath& encrypted) {
  LogText(TLog::Info,
          TFormatString("Successfully encrypted zip file '%1' to file '%2' for package Id '%3' "
                        "using a generated and encrypted symmetric key\n.")
              .arg(NativeText(zip))
              .arg(NativeText(encrypted))
              .arg(package.GetPackageName()));
}

void PackageEncryptor::WriteMetadata(Package& package, const Crypto::Bytes& key,
                                     const Crypto::Bytes& iv, uint64_t size,
                                     const Crypto::Bytes& tag, const TPath& metadataPath) {
  Crypto& crypto = Crypto::GetInstance();
  const Crypto::Bytes customIv = crypto.GenerateRandomBytes(Crypto::kIvLength);
  Crypto::Bytes customData;
  Crypto::Bytes customTag;
  if (const std::shared_ptr<PackageMetadata> metadata = package.GetPackageMetadata()) {
    std::tie(customData, customTag) = EncryptPackageMetadata(key, customIv, *metadata);
  }

  LogText(TLog::Debug, "Encrypting symmetric key with Zorvane public key");
  const Crypto::Bytes wrapped = crypto.RsaPublicEncrypt(publicKey_, key);

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
