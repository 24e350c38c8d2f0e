#include "crypto/package_encryptor.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <filesystem>
#include <string>
#include <vector>

#include "crypto/crypto_for_test.h"
#include "packages/json_document.h"
#include "packages/package_encryption_metadata.h"

namespace ZorErrorReporting::testing {
namespace {

using zor::platform::TPath;
using zor::platform::TString;
using zor::test::ReadFile;
using Kind = DataFileKind;

// The member names of a JSON object file, in file order.
std::vector<std::string> MemberNames(const std::string& path) {
  rapidjson::Document document;
  document.Parse(ReadFile(path).c_str());
  std::vector<std::string> names;
  if (!document.IsObject()) return names;
  for (const auto& member : document.GetObject()) names.emplace_back(member.name.GetString());
  return names;
}

const std::vector<std::string> kEncMembers = {
    "enc-key-id", "enc-cek-alg", "enc-wrap-alg", "enc-unencrypted-content-length",
    "enc-key",    "enc-iv",      "enc-tag"};

TEST_F(PackageEncryptorTest, CrashPackageGetsItsFilesAndSevenMembers) {
  const std::string zip = MakeZip("crash.package.zip");
  const auto package = CrashPackage("0123456789abcdef0123456789abcdef", zip);
  encryptor_.EncryptPackage(*package);

  const std::string id = TString(package->GetLocalPackageId()).toStdString();
  const std::string enc = data_ + "/" + id + ".zip.enc";
  const std::string meta = data_ + "/" + id + ".zip.zormeta";
  // Recorded in the saved status file, not only in memory.
  const auto reloaded = TestPackage::LoadFromFile(package->GetFilePath());
  EXPECT_EQ(reloaded->GetDataFilePath(Kind::kEncryptedPackageFile), TPath(enc));
  EXPECT_EQ(reloaded->GetDataFilePath(Kind::kZorEncryptionMetadataFile), TPath(meta));
  EXPECT_FALSE(reloaded->HasDataFile(Kind::kUserEncryptionMetadataFile));

  EXPECT_EQ(MemberNames(meta), kEncMembers);
  const auto metadata = reloaded->GetEncryptionMetadata();
  const uint64_t zipSize = std::filesystem::file_size(zip);
  EXPECT_EQ(metadata->GetUnencryptedContentLength(), zipSize);
  EXPECT_EQ(std::filesystem::file_size(enc), zipSize);
  EXPECT_NE(ReadFile(enc), ReadFile(zip));
  EXPECT_EQ(metadata->GetKeyId(), "key-7");
  EXPECT_EQ(metadata->GetContentEncryptionAlgorithm(), "AES/GCM/NoPadding");
  EXPECT_EQ(metadata->GetKeyWrapAlgorithm(), "RSAES-OAEP");
  EXPECT_EQ(metadata->GetEncryptedKey().size(), 256u);
  EXPECT_EQ(metadata->GetIv().size(), 12u);
  EXPECT_EQ(metadata->GetTag().size(), 16u);
  EXPECT_TRUE(metadata->GetClientCustomData().empty());
  EXPECT_TRUE(metadata->GetClientCustomDataIv().empty());
}

TEST_F(PackageEncryptorTest, LogsPackageGetsTenMembers) {
  const auto package = LogsPackageOf(MakeZip("logs.zip"));
  encryptor_.EncryptPackage(*package);
  std::vector<std::string> expected = kEncMembers;
  expected.insert(expected.end(),
                  {"client-custom-data", "client-custom-data-iv", "client-custom-data-tag"});
  const TPath meta = package->GetDataFilePath(Kind::kZorEncryptionMetadataFile);
  EXPECT_EQ(MemberNames(meta.NativeString()), expected);
  const auto metadata = package->GetEncryptionMetadata();
  EXPECT_EQ(metadata->GetClientCustomData().size(),
            Json::WriteCompact(package->GetPackageMetadata()->ToJson()).size());
  EXPECT_EQ(metadata->GetClientCustomDataIv().size(), 12u);
  EXPECT_EQ(metadata->GetClientCustomDataTag().size(), 16u);
  EXPECT_NE(metadata->GetClientCustomDataIv(), metadata->GetIv());
}

TEST_F(PackageEncryptorTest, EveryEncryptionUsesAFreshKeyAndIv) {
  const std::string zip = MakeZip("crash.package.zip");
  const auto first = CrashPackage("aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", zip);
  const auto second = CrashPackage("bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb", zip);
  encryptor_.EncryptPackage(*first);
  encryptor_.EncryptPackage(*second);
  EXPECT_NE(ReadFile(first->GetEncryptedPackageFilePath().NativeString()),
            ReadFile(second->GetEncryptedPackageFilePath().NativeString()));
  const auto a = first->GetEncryptionMetadata();
  const auto b = second->GetEncryptionMetadata();
  EXPECT_NE(a->GetIv(), b->GetIv());
  EXPECT_NE(a->GetEncryptedKey(), b->GetEncryptedKey());
  EXPECT_NE(a->GetTag(), b->GetTag());
}

// What the package records after a failure tells a later run what is left to
// do: nothing before the ".enc" is written, only the ".enc" when the key
// cannot be wrapped.
TEST_F(PackageEncryptorTest, FailuresRecordOnlyWhatWasDone) {
  const std::string zip = MakeZip("crash.package.zip");
  zor::test::WriteFile(dir_.Sub("plain-file"), "x");
  const struct {
    const char* what;
    std::string zip;        // empty: none recorded
    std::string dataDir;    // where the encrypted files go
    std::string publicKey;  // PEM text
    std::string error;      // part of the failure's messages
    bool encRecorded;
  } cases[] = {
      {"no zip recorded", "", data_, "", "Data file path 'zipped-package-file' is not set", false},
      {"vanished zip", dir_.Sub("gone.zip"), data_, "", "gone.zip", false},
      {"unwritable data directory", zip, dir_.Sub("plain-file/data"), "", "plain-file/data", false},
      {"PKCS#1 public key", zip, data_, ReadFile(TestKeys::Rsa(2048, TestKeys::Form::kPkcs1Public)),
       "Call to PEM_read_bio_RSA_PUBKEY failed!", true},
      {"not a key", zip, data_, "-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n",
       "Call to PEM_read_bio_RSA_PUBKEY failed!", true},
  };
  int n = 0;
  for (const auto& c : cases) {
    ScopedTestConfig config(dir_, c.dataDir, 1 << 20);
    const std::string name = std::string(32, static_cast<char>('a' + n++));
    auto package = JsonFileSerializedObject::SaveNewFile(
        std::make_shared<TestPackage>(name, PackageType::kCrashPackage),
        TPath(data_ + "/" + name + ".pending"));
    if (!c.zip.empty()) package->SetDataFilePath(Kind::kZippedPackageFile, TPath(c.zip));
    std::vector<char> pem = TestKeys::PemWithNul(TestKeys::Rsa(2048, TestKeys::Form::kPublic));
    if (!c.publicKey.empty()) pem.assign(c.publicKey.begin(), c.publicKey.end());
    PackageEncryptor encryptor("key-7", pem);

    EXPECT_NE(AllErrorsOf([&] { encryptor.EncryptPackage(*package); }).find(c.error),
              std::string::npos)
        << c.what;
    const auto reloaded = TestPackage::LoadFromFile(package->GetFilePath());
    EXPECT_EQ(reloaded->HasEncryptedPackageFile(), c.encRecorded) << c.what;
    EXPECT_FALSE(reloaded->HasDataFile(Kind::kZorEncryptionMetadataFile)) << c.what;
  }
}

}  // namespace
}  // namespace ZorErrorReporting::testing
