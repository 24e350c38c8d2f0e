// The crash server decrypts with its own implementation; these tests decrypt
// what EncryptPackage wrote with two independent ones: the openssl command
// unwraps the content key (RSA-OAEP, SHA-1) and Node's crypto decrypts
// AES-256-GCM with the IVs and tags that it reads from the ".zormeta" file.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "crypto/crypto_for_test.h"
#include "crypto/package_encryptor.h"
#include "packages/json_document.h"
#include "platform/base64.h"

namespace ZorErrorReporting::testing {
namespace {

using zor::platform::TPath;
using zor::test::ReadFile;

class PackageEncryptorInteropTest : public PackageEncryptorTest {
 protected:
  // Runs tests/crypto/gcm_decrypt.js with `args`; returns its exit status.
  int Node(const std::vector<std::string>& args) {
    std::vector<std::string> all = {std::string(ZOR_SOURCE_DIR) + "/tests/crypto/gcm_decrypt.js"};
    all.insert(all.end(), args.begin(), args.end());
    const auto result = zor::test::RunProcess(FindProgram("node"), all);
    lastError_ = result.err;
    return result.status;
  }

  // Unwraps the content key of `meta` with the private key of `bits` bits
  // into a file of the test's own; returns the file.
  std::string UnwrapKey(const std::string& meta, int bits) {
    const std::string wrapped = dir_.Sub("wrapped.bin");
    const std::string key = dir_.Sub("content.key");
    EXPECT_EQ(Node({"wrapped-key", meta, wrapped}), 0) << lastError_;
    RunOpenssl({"pkeyutl", "-decrypt", "-inkey", TestKeys::Rsa(bits, TestKeys::Form::kPrivate),
                "-pkeyopt", "rsa_padding_mode:oaep", "-in", wrapped, "-out", key});
    EXPECT_EQ(std::filesystem::file_size(key), 32u);
    return key;
  }

  // The content key must not be found in any file that the encryption left,
  // neither raw nor in Base64, nor in the log.
  void ExpectKeyNowhere(const std::string& keyFile, const std::string& log) {
    const std::string key = ReadFile(keyFile);
    const std::vector<uint8_t> bytes(key.begin(), key.end());
    const std::string base64 = zor::platform::Base64Encode(bytes, false).at(0).toStdString();
    for (const auto& entry : std::filesystem::recursive_directory_iterator(data_)) {
      const std::string content = ReadFile(entry.path().string());
      EXPECT_EQ(content.find(key), std::string::npos) << entry.path();
      EXPECT_EQ(content.find(base64), std::string::npos) << entry.path();
    }
    EXPECT_EQ(log.find(base64), std::string::npos);
    EXPECT_EQ(log.find(key), std::string::npos);
  }

  std::string lastError_;
};

TEST_F(PackageEncryptorInteropTest, ZipDecryptsToItsExactBytesForEveryKeySize) {
  const std::string zip = MakeZip("crash.package.zip");
  for (const int bits : {1024, 2048, 4096}) {
    PackageEncryptor encryptor("key-" + std::to_string(bits),
                               TestKeys::PemWithNul(TestKeys::Rsa(bits, TestKeys::Form::kPublic)));
    const auto package = CrashPackage(std::string(32, static_cast<char>('0' + bits / 1024)), zip);
    LogCapture log;
    encryptor.EncryptPackage(*package);
    const std::string logText = log.Text();

    const std::string meta =
        package->GetDataFilePath(DataFileKind::kZorEncryptionMetadataFile).NativeString();
    const std::string enc = package->GetEncryptedPackageFilePath().NativeString();
    const std::string key = UnwrapKey(meta, bits);
    const std::string out = dir_.Sub("decrypted.zip");
    ASSERT_EQ(Node({"package", meta, key, enc, out}), 0) << bits << ": " << lastError_;
    EXPECT_EQ(ReadFile(out), ReadFile(zip)) << bits;
    ExpectKeyNowhere(key, logText);
  }
}

TEST_F(PackageEncryptorInteropTest, LogsPackageCustomDataDecryptsToTheCompactMetadata) {
  const std::string zip = MakeZip("logs.zip");
  const auto package = LogsPackageOf(zip);
  encryptor_.EncryptPackage(*package);

  const std::string meta =
      package->GetDataFilePath(DataFileKind::kZorEncryptionMetadataFile).NativeString();
  const std::string key = UnwrapKey(meta, 2048);
  const std::string out = dir_.Sub("custom-data.json");
  ASSERT_EQ(Node({"custom-data", meta, key, out}), 0) << lastError_;
  EXPECT_EQ(ReadFile(out), Json::WriteCompact(package->GetPackageMetadata()->ToJson()));
  const std::string enc = package->GetEncryptedPackageFilePath().NativeString();
  ASSERT_EQ(Node({"package", meta, key, enc, out}), 0) << lastError_;
  EXPECT_EQ(ReadFile(out), ReadFile(zip));

  // The second implementation really checks the tag: one changed byte of the
  // ciphertext fails it.
  std::string tampered = ReadFile(enc);
  tampered[tampered.size() / 2] ^= 0x20;
  zor::test::WriteFile(enc, tampered);
  EXPECT_NE(Node({"package", meta, key, enc, out}), 0);
}

}  // namespace
}  // namespace ZorErrorReporting::testing
