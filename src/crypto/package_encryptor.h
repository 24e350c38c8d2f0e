// PackageEncryptor: encrypts a package's zip for upload so that only the crash
// server can read it, and writes what the server needs to decrypt it.
//
// EncryptPackage generates a fresh 32-byte content key and 12-byte IV,
// encrypts the zip with AES-256-GCM into "<local id>.<zip extension>.enc" in
// the data directory (the ciphertext only, as long as the zip), wraps the key
// with the server's RSA public key (OAEP), encrypts the package's extra
// metadata (if any) with the same key and an IV of its own, and saves a
// PackageEncryptionMetadata as "<local id>.<zip extension>.zormeta" beside it.
// The content key lives only in memory: it is never written or logged, and
// its buffer is cleansed before EncryptPackage returns or throws.
//
// ZipAndEncryptPackage does the same in one pass for a package that has no
// zip yet: the zip writer's output goes straight through the cipher into the
// ".enc" file, and the plain zip reaches the disk only when it is to be kept
// (preserve_upload_packages), then written from the same stream beside it.
// Tag and sizes are known at the end of the pass. Without a kept zip the
// encrypted file is not synced, only closed: the package records the boot
// that wrote it, and after a restart it is made again from the crash's files.
//
// Encryption is all or nothing: the package records the "encrypted-package-
// file" and the "zor-encryption-metadata-file" together, in one save, once
// both files are on disk. A failure before that records nothing and removes
// what was written of either file; a kill before it leaves both unrecorded
// (for the data directory's sweep), never one recorded without the other,
// since an encrypted file is worth nothing without its wrapped key.
//
// Ownership: owned by its upload client; the package is only borrowed for the
// call. Thread-safety: one thread at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

#include "crypto/crypto.h"
#include "files/byte_progress.h"
#include "platform/tfile.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class Package;
class PackageMetadata;
class ZipFile;

class PackageEncryptor {
 public:
  static constexpr char kEncryptedFileSuffix[] = ".enc";
  static constexpr char kMetadataFileSuffix[] = ".zormeta";

  // `keyId` names the server's key; `publicKey` is its PEM text, possibly
  // followed by a NUL byte. Both are copied; nothing is checked until use.
  PackageEncryptor(const zor::platform::TString& keyId, const std::vector<char>& publicKey);

  // A zip of logs that a user handed the program, opened by the rules for
  // such a file (Filesystem::OpenUsersFileForReading) and checked on that
  // descriptor, with its length then: refused when it is empty, does not
  // start as a zip does, is sparse (its encrypted copy would fill the data
  // directory with what the user's disk never held) or is longer than one
  // package can be encrypted in. Throws ZorvaneException "Unable to open
  // file '<path>': <cause>" when it is refused or cannot be opened (the
  // facade's message the cause: gone, a link, not a regular file), without
  // an OS error, since nothing can make it again; the facade's
  // TPath::Exception only when the process is short of descriptors or
  // memory.
  // A zip opened for encryption, and the length that is encrypted of it.
  struct OpenedZip {
    zor::platform::TFile file;
    uint64_t size;
  };
  static OpenedZip OpenUsersZip(const zor::platform::TPath& path);

  // Encrypts `package` as described above. Logs at Info before and after, at
  // Debug for each step; never the key.
  // Throws: "Data file path 'zipped-package-file' is not set on package
  // '<name>'" when no zip is recorded; the facade's TPath::Exception when the
  // zip cannot be opened (a vanished zip, or a user's zip refused by
  // Filesystem::OpenUsersFileForReading); what OpenUsersZip throws for a
  // user's zip refused; "'<path>' ended after..." (Crypto::EncryptFile) for a
  // zip cut short while it is read; TFile's failures reading the
  // zip or writing the ".enc" file; Crypto's failures (for a bad public key
  // "Call to PEM_read_bio_RSA_PUBKEY failed!"); what saving the metadata or
  // the package throws.
  // `progress` is told how much of the zip is encrypted.
  void EncryptPackage(Package& package, const ByteProgress& progress = {});

  // Whether the one pass also leaves the plain zip on disk.
  enum class KeepZip { kNo, kYes };
  // Fills a zip in the one pass: adds the package's entries. What it throws
  // passes through ZipAndEncryptPackage unchanged.
  using EntryWriter = std::function<void(ZipFile& zip)>;

  // Zips and encrypts `package` in one pass, as described above: `addEntries`
  // adds the entries to a zip whose bytes are encrypted into the ".enc" file
  // of `zipPath` (DataFilePath), and with KeepZip::kYes also written to
  // `zipPath`; `deflateThreads` compress (see DeflateStream). Then the
  // metadata is written and everything recorded in one save (RecordEncryption,
  // with the zip when it is kept). Logs as EncryptPackage does.
  // REQUIRES: `package` records no zip that another owner keeps.
  // Throws what `addEntries` throws; ZipFile's write failures; the facade's
  // TPath::Exception when a file cannot be created or synced; what
  // EncryptPackage throws for the key and the metadata. After a failure
  // nothing new is recorded and none of the files is left.
  void ZipAndEncryptPackage(Package& package, const zor::platform::TPath& zipPath, KeepZip keep,
                            unsigned deflateThreads, const EntryWriter& addEntries);

  // The compact JSON text of `metadata` (its ToJson), as UTF-8 without a
  // terminator, encrypted under `key` and `iv`. Returns (ciphertext, tag of 16
  // bytes). Throws what Crypto::EncryptBuffer throws.
  std::tuple<Crypto::Bytes, Crypto::Bytes> EncryptPackageMetadata(const Crypto::Bytes& key,
                                                                  const Crypto::Bytes& iv,
                                                                  const PackageMetadata& metadata);

  // The ".enc" / ".zormeta" path of `package` whose zip is `zip`: in the
  // configured data directory, "<local id>.<zip's extension without its
  // dot><suffix>", "zip" standing for an extension that is empty, longer
  // than 16 characters or more than letters and digits (a user's zip may
  // have any name).
  static zor::platform::TPath DataFilePath(const Package& package, const zor::platform::TPath& zip,
                                           const char* suffix);

 private:
  // Writes the ".zormeta" file for an encryption under `key` and `iv` whose
  // plaintext was `size` bytes and whose tag is `tag`; records nothing.
  void WriteMetadata(Package& package, const Crypto::Bytes& key, const Crypto::Bytes& iv,
                     uint64_t size, const Crypto::Bytes& tag,
                     const zor::platform::TPath& metadataPath);

  static void LogStart(const Package& package, const zor::platform::TPath& zip,
                       const zor::platform::TPath& encrypted);
  static void LogSuccess(const Package& package, const zor::platform::TPath& zip,
                         const zor::platform::TPath& encrypted);

  zor::platform::TString keyId_;
  std::vector<char> publicKey_;
};

}  // namespace ZorErrorReporting
