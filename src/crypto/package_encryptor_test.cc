// What EncryptPackage writes is decrypted here by independent implementations,
// as the crash server decrypts it with its own: the openssl command unwraps
// the content key (RSA-OAEP, SHA-1) and Node's crypto decrypts AES-256-GCM
// with the IVs and tags that it reads from the ".zormeta" file itself.
#include "crypto/package_encryptor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "crypto/crypto_for_test.h"
#include "files/filesystem.h"
#include "files/zip_file.h"
#include "files/zip_test_reader.h"
#include "packages/json_document.h"
#include "packages/log_package_metadata.h"
#include "packages/logs_package.h"
#include "packages/package_encryption_metadata.h"
#include "packages/package_for_test.h"
#include "packages/system_info.h"
#include "platform/base64.h"

namespace ZorErrorReporting::test_support {
namespace {

using zor::platform::TPath;
using zor::platform::TString;
using zor::test::ReadFile;
using Kind = DataFileKind;

const std::vector<std::string> kEncMembers = {
    "enc-key-id", "enc-cek-alg", "enc-wrap-alg", "enc-unencrypted-content-length",
    "enc-key",    "enc-iv",      "enc-tag"};

class PackageEncryptorTest : public TempDirTest {
 protected:
  PackageEncryptorTest() { std::filesystem::create_directories(data_); }

  // A real zip, outside the data directory, that spans many cipher blocks.
  std::string MakeZip(const std::string& name) {
    std::string big(300 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 9));
    zor::test::WriteFile(dir_.Sub("app.dmp"), big);
    ZipFile zip;
    EXPECT_TRUE(zip.Open(dir_.Sub(name)));
    zip.Add(dir_.Sub("app.dmp"));
    zip.Close();
    return dir_.Sub(name);
  }

  // A crash package with a saved status file that records `zip` (if any).
  std::shared_ptr<TestPackage> CrashPackage(const std::string& name, const std::string& zip) {
    auto package = JsonFileSerializedObject::SaveNewFile(
        std::make_shared<TestPackage>(name, PackageType::kCrashPackage, boundary_),
        TPath(data_ + "/" + name + ".pending"));
    if (!zip.empty()) package->SetDataFilePath(Kind::kZippedPackageFile, TPath(zip));
    return package;
  }

  // Runs tests/crypto/gcm_decrypt.js with `args`; returns its exit status.
  int Node(const std::vector<std::string>& args) {
    std::vector<std::string> all = {std::string(ZOR_SOURCE_DIR) + "/tests/crypto/gcm_decrypt.js"};
    all.insert(all.end(), args.begin(), args.end());
    const auto result = RunOnPath("node", all);
    lastError_ = result.err;
    return result.status;
  }

  // Unwraps the content key of the package's ".zormeta" with the 2048-bit
  // private key into a file of the test's own; returns the file.
  std::string UnwrapKey(Package& package) {
    EXPECT_EQ(Node({"wrapped-key", Meta(package), dir_.Sub("wrapped.bin")}), 0) << lastError_;
    zor::test::WriteFile(dir_.Sub("content.key"), Unwrap(2048, dir_.Sub("wrapped.bin")));
    EXPECT_EQ(std::filesystem::file_size(dir_.Sub("content.key")), 32u);
    return dir_.Sub("content.key");
  }

  static std::string Meta(Package& package) {
    return package.GetDataFilePath(Kind::kZorEncryptionMetadataFile).NativeString();
  }

  // The data directory's files other than the packages' status files.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(data_)) {
      const std::string name = entry.path().filename().string();
      if (!name.ends_with(".pending")) names.push_back(name);
    }
    return names;
  }

  std::string data_ = dir_.Sub("data");
  ScopedTestConfig config_{dir_, data_, 1 << 20};
  PackageEncryptor encryptor_{"key-7", PemWithNul(RsaKey(2048) + ".pub")};
  std::string lastError_;
};

TEST_F(PackageEncryptorTest, CrashPackageGetsItsFilesAndSevenMembersAndAFreshKey) {
  const std::string zip = MakeZip("crash.package.zip");
  const auto package = CrashPackage("0123456789abcdef0123456789abcdef", zip);
  encryptor_.EncryptPackage(*package);

  const std::string id = TString(package->GetLocalPackageId()).toStdString();
  const std::string enc = data_ + "/" + id + ".zip.enc";
  const std::string meta = data_ + "/" + id + ".zip.zormeta";
  // Recorded in the saved status file, not only in memory.
  const auto reloaded = TestPackage::LoadFromFile(package->GetFilePath(), boundary_);
  EXPECT_EQ(reloaded->GetDataFilePath(Kind::kEncryptedPackageFile), TPath(enc));
  EXPECT_EQ(reloaded->GetDataFilePath(Kind::kZorEncryptionMetadataFile), TPath(meta));
  EXPECT_FALSE(reloaded->HasDataFile(Kind::kUserEncryptionMetadataFile));
  // Named after a plain extension of the zip only.
  const std::pair<std::string, std::string> names[] = {
      {"logs.ZIP", ".ZIP.enc"},
      {"logs", ".zip.enc"},
      {"logs." + std::string(200, 'x'), ".zip.enc"},
      {"logs.z ip", ".zip.enc"},
  };
  for (const auto& [name, suffix] : names) {
    EXPECT_EQ(PackageEncryptor::DataFilePath(*package, TPath(dir_.Sub(name)), ".enc"),
              TPath(data_ + "/" + id + suffix))
        << name;
  }

  EXPECT_EQ(MemberNames(ParseOrFail(ReadFile(meta))), kEncMembers);
  const auto m = reloaded->GetEncryptionMetadata();
  EXPECT_EQ(std::tuple(m->GetKeyId(), m->GetContentEncryptionAlgorithm(), m->GetKeyWrapAlgorithm(),
                       m->GetUnencryptedContentLength(), m->GetIv().size(), m->GetTag().size()),
            std::tuple("key-7", "AES/GCM/NoPadding", "RSAES-OAEP",
                       uint64_t{std::filesystem::file_size(zip)}, size_t{12}, size_t{16}));

  const auto again = CrashPackage("fedcba9876543210fedcba9876543210", zip);
  encryptor_.EncryptPackage(*again);
  EXPECT_NE(ReadFile(again->GetEncryptedPackageFilePath().NativeString()), ReadFile(enc));
  EXPECT_NE(again->GetEncryptionMetadata()->GetIv(), m->GetIv());
}

// What the crash server decrypts of a logs package (its zip and the user's
// details) is upload_test.cc's; the members that carry them are
// package_encryption_metadata_test.cc's.
TEST_F(PackageEncryptorTest, LogsPackageKeyStaysInMemory) {
  const std::string zip = MakeZip("logs.zip");
  const zor::platform::TUUID id = SystemInfo::Get().CreateUuid();
  const TString base = TString(data_) + "/" + TString(id) + ".zipped-logs-package";
  JsonFileSerializedObject::SaveNewFile(
      std::make_shared<LogPackageMetadata>("12345", "user\u00e9@example.com"),
      TPath(base + ".metadata"));
  const auto package =
      LogsPackage::Create(TPath(base), TPath(zip), TPath(base + ".metadata"), id, boundary_);
  LogCapture log;
  encryptor_.EncryptPackage(*package);

  const std::string key = UnwrapKey(*package);

  // The content key is found nowhere, neither raw nor in Base64.
  const std::string raw = ReadFile(key);
  const std::string base64 = zor::platform::Base64Encode(BytesOf(raw), false).at(0).toStdString();
  std::vector<std::string> texts = {log.Text()};
  for (const auto& entry : std::filesystem::recursive_directory_iterator(data_)) {
    texts.push_back(ReadFile(entry.path().string()));
  }
  for (const std::string& text : texts) {
    EXPECT_EQ(text.find(raw), std::string::npos);
    EXPECT_EQ(text.find(base64), std::string::npos);
  }
}

// A user's zip is judged on the descriptor that is encrypted: one swapped
// after send-logs checked it (or before a later run resumes it) for what no
// zip of logs is is refused there, and nothing of it is written.
TEST_F(PackageEncryptorTest, AUsersZipIsCheckedWhereItIsRead) {
  const std::string zip = MakeZip("logs.zip");
  const zor::platform::TUUID id = SystemInfo::Get().CreateUuid();
  const TString base = TString(data_) + "/" + TString(id) + ".zipped-logs-package";
  const auto package = LogsPackage::Create(TPath(base), TPath(zip), TPath(), id, boundary_);
  const std::pair<std::function<void(const std::string&)>, std::string> swaps[] = {
      {[](const std::string& p) { std::filesystem::resize_file(p, 64 << 20); }, "it is sparse"},
      {[](const std::string& p) { zor::test::WriteFile(p, ""); }, "it is empty"},
      {[](const std::string& p) { zor::test::WriteFile(p, "a log line"); }, "it is no zip"},
  };
  for (const auto& [swap, cause] : swaps) {
    SCOPED_TRACE(cause);
    const std::string swapped = dir_.Sub("swapped");
    zor::test::WriteFile(swapped, ReadFile(zip));
    swap(swapped);
    std::filesystem::rename(swapped, zip);
    EXPECT_THAT(ErrorOf([&] { encryptor_.EncryptPackage(*package); }),
                ::testing::StartsWith("Unable to open file '" + zip + "': " + cause));
    EXPECT_FALSE(package->HasEncryptedPackageFile());
    EXPECT_EQ(Leftovers(), std::vector<std::string>{});
  }
}

// Encryption is all or nothing: after any failure, also one after the ".enc"
// was written (a key that cannot wrap), the package records neither file and
// none is left on disk.
TEST_F(PackageEncryptorTest, FailuresRecordOnlyWhatWasDone) {
  const std::string zip = MakeZip("crash.package.zip");
  zor::test::WriteFile(dir_.Sub("plain-file"), "x");
  const struct {
    const char* what;
    std::string zip;        // empty: none recorded
    std::string dataDir;    // where the encrypted files go
    std::string publicKey;  // PEM text; empty: a good key
    std::string error;      // part of the failure's messages
  } cases[] = {
      {"no zip recorded", "", data_, "", "Data file path 'zipped-package-file' is not set"},
      {"vanished zip", dir_.Sub("gone.zip"), data_, "", "gone.zip"},
      {"unwritable data directory", zip, dir_.Sub("plain-file/data"), "", "plain-file/data"},
      {"PKCS#1 public key", zip, data_, ReadFile(RsaKey(2048) + ".pkcs1"),
       "Call to PEM_read_bio_RSA_PUBKEY failed!"},
  };
  int n = 0;
  for (const auto& c : cases) {
    ScopedTestConfig config(dir_, c.dataDir, 1 << 20);
    const auto package = CrashPackage(std::string(32, static_cast<char>('a' + n++)), c.zip);
    std::vector<char> pem = PemWithNul(RsaKey(2048) + ".pub");
    if (!c.publicKey.empty()) pem.assign(c.publicKey.begin(), c.publicKey.end());
    PackageEncryptor encryptor("key-7", pem);

    EXPECT_NE(AllErrorsOf([&] { encryptor.EncryptPackage(*package); }).find(c.error),
              std::string::npos)
        << c.what;
    const auto reloaded = TestPackage::LoadFromFile(package->GetFilePath(), boundary_);
    EXPECT_FALSE(reloaded->HasEncryptedPackageFile()) << c.what;
    EXPECT_FALSE(reloaded->HasDataFile(Kind::kZorEncryptionMetadataFile)) << c.what;
    EXPECT_EQ(Leftovers(), std::vector<std::string>{}) << c.what;
  }
}

// The one pass, with the zip kept or not: the ".enc" decrypts elsewhere to a
// zip that unzip accepts, each entry the file's bytes, and a kept zip is that
// object byte for byte; a failure in the middle of the pass leaves nothing.
TEST_F(PackageEncryptorTest, OnePassDecryptsToTheFilesAndAKeptZipIsTheObject) {
  std::string dump((5 << 20) / 2 + 99, '\0');  // several deflate blocks
  for (size_t i = 0; i < dump.size(); ++i) dump[i] = static_cast<char>((i * 131) ^ (i >> 9));
  const std::vector<std::pair<std::string, std::string>> files = {{"app.dmp", dump},
                                                                  {"app.manifest", "{}"}};
  for (const auto& [name, content] : files) zor::test::WriteFile(dir_.Sub(name), content);
  const auto addAll = [&](ZipFile& zip) {
    for (const auto& [name, content] : files) zip.Add(TString(dir_.Sub(name)));
  };

  for (const auto keep : {PackageEncryptor::KeepZip::kNo, PackageEncryptor::KeepZip::kYes}) {
    const bool kept = keep == PackageEncryptor::KeepZip::kYes;
    SCOPED_TRACE(kept ? "zip kept" : "no zip");
    const std::string id(32, kept ? '1' : '0'), zip = data_ + "/" + id + ".package.zip";
    const auto package = CrashPackage(id, "");
    encryptor_.ZipAndEncryptPackage(*package, TPath(zip), keep, 2, addAll);

    const auto reloaded = TestPackage::LoadFromFile(package->GetFilePath(), boundary_);
    EXPECT_EQ(reloaded->HasZippedPackageFile(), kept);
    EXPECT_EQ(std::filesystem::exists(zip), kept);
    const std::string enc = reloaded->GetEncryptedPackageFilePath().NativeString();
    EXPECT_EQ(reloaded->GetEncryptionMetadata()->GetUnencryptedContentLength(),
              std::filesystem::file_size(enc));
    const std::string out = dir_.Sub("decrypted.zip");
    ASSERT_EQ(Node({"package", Meta(*reloaded), UnwrapKey(*reloaded), enc, out}), 0) << lastError_;
    EXPECT_TRUE(!kept || ReadFile(out) == ReadFile(zip)) << "the kept zip is not the object";
    EXPECT_EQ(RunOnPath("unzip", {"-tqq", out}).status, 0);
    const zor::test::ZipListing listing = zor::test::ReadZipIndependently(out);
    ASSERT_TRUE(listing.ok) << listing.error;
    ASSERT_EQ(listing.entries.size(), files.size());
    for (size_t i = 0; i < files.size(); ++i) {
      EXPECT_EQ(listing.entries[i].name, files[i].first);
      EXPECT_TRUE(listing.entries[i].content == files[i].second) << files[i].first;
    }
    std::filesystem::remove_all(data_);
    std::filesystem::create_directories(data_);
  }

  const auto package = CrashPackage(std::string(32, '2'), "");
  const std::string zip = data_ + "/" + std::string(32, '2') + ".package.zip";
  const auto stopHalfway = [&](ZipFile& z) {
    addAll(z);
    throw zor::platform::ZorvaneException("stop");
  };
  EXPECT_THROW(encryptor_.ZipAndEncryptPackage(*package, TPath(zip), PackageEncryptor::KeepZip::kYes,
                                               2, stopHalfway),
               zor::platform::ZorvaneException);
  const auto reloaded = TestPackage::LoadFromFile(package->GetFilePath(), boundary_);
  EXPECT_TRUE(reloaded->GetDataFiles().empty());
  EXPECT_EQ(Leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace ZorErrorReporting::test_support
