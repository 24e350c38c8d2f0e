#include "crypto/crypto.h"

#include <gtest/gtest.h>

#include <string>

#include "crypto/crypto_for_test.h"
#include "packages/package_for_test.h"
#include "platform/tpath.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting::testing {
namespace {

using zor::platform::TPath;

Crypto& C() { return Crypto::GetInstance(); }

class CryptoTest : public ::testing::Test {
 protected:
  zor::test::ScopedTempDir dir_;
  const Crypto::Bytes key_ = C().GenerateRandomBytes(32);
  const Crypto::Bytes iv_ = C().GenerateRandomBytes(12);
};

TEST_F(CryptoTest, TamperingFailsDecryption) {
  const Crypto::Bytes plaintext = BytesOf("{\"support-case-number\":\"12345\"}");
  const auto [ciphertext, tag] = C().EncryptBuffer(plaintext, key_, iv_, 16);
  EXPECT_EQ(C().DecryptBuffer(ciphertext, key_, iv_, tag), plaintext);
  Crypto::Bytes badTag = tag, badText = ciphertext;
  badTag[15] ^= 1;
  badText[0] ^= 1;
  for (const auto& pair : {std::pair{ciphertext, badTag}, std::pair{badText, tag}}) {
    EXPECT_EQ(ErrorOf([&] { C().DecryptBuffer(pair.first, key_, iv_, pair.second); }),
              "Call to EVP_DecryptFinal_ex failed!");
  }
}

// The file is streamed block by block; however its length falls against the
// block size, the result is the one-shot encryption.
TEST_F(CryptoTest, FileEncryptionEqualsBufferEncryption) {
  const std::pair<size_t, size_t> cases[] = {
      {0, 256}, {1, 1}, {256, 256}, {257, 256}, {100000, 4096}, {100000, Crypto::kFileBlockSize}};
  for (const auto& [size, block] : cases) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7 + i / 256);
    const std::string in = dir_.Sub("in-" + std::to_string(size));
    zor::test::WriteFile(in, content);
    const auto [expected, expectedTag] = C().EncryptBuffer(BytesOf(content), key_, iv_, 16);
    const Crypto::Bytes tag = C().EncryptFile(TPath(in), TPath(in + ".enc"), key_, iv_, 16, block);
    EXPECT_EQ(BytesOf(zor::test::ReadFile(in + ".enc")), expected) << size << " in " << block;
    EXPECT_EQ(tag, expectedTag) << size << " in " << block;
  }
}

TEST_F(CryptoTest, FileEncryptionFailures) {
  const std::string in = dir_.Sub("in");
  zor::test::WriteFile(in, "data");
  EXPECT_EQ(ErrorOf([&] { C().EncryptFile(TPath(in), TPath(in + ".enc"), key_, iv_, 0); }),
            "Call to EVP_CIPHER_CTX_ctrl failed!");
  EXPECT_EQ(
      ErrorOf([&] { C().EncryptFile(TPath(in), TPath(in + ".enc"), key_, Crypto::Bytes(11), 16); }),
      "Call to EVP_EncryptInit_ex failed!");
  EXPECT_THROW(C().EncryptFile(TPath(dir_.Sub("gone")), TPath(in + ".enc"), key_, iv_, 16),
               TPath::Exception);
}

TEST_F(CryptoTest, KeyWrapIsOaepWithSha1AndAsLongAsTheModulus) {
  const Crypto::Bytes contentKey = C().GenerateRandomBytes(32);
  for (const int bits : {1024, 2048, 4096}) {
    const Crypto::Bytes wrapped =
        C().RsaPublicEncrypt(PemWithNul(RsaKey(bits) + ".pub"), contentKey);
    EXPECT_EQ(wrapped.size(), static_cast<size_t>(bits / 8));
    zor::test::WriteFile(dir_.Sub("wrapped"), std::string(wrapped.begin(), wrapped.end()));
    EXPECT_EQ(BytesOf(Unwrap(bits, dir_.Sub("wrapped"))), contentKey) << bits;
  }
}

TEST_F(CryptoTest, OnlyAPemSubjectPublicKeyInfoRsaKeyIsAccepted) {
  const std::string good = zor::test::ReadFile(RsaKey(2048) + ".pub");
  const std::string cases[] = {
      "this is not a key",
      zor::test::ReadFile(RsaKey(2048)),
      zor::test::ReadFile(RsaKey(2048) + ".pkcs1"),
      "-----BEGIN PUBLIC KEY-----\nMCowBQYDK2VwAyEAFaSmjLUIGD6skV2L9mTGDGZ1MqtNPe9/BdXBlrtP5JI=\n"
      "-----END PUBLIC KEY-----\n",  // Ed25519
      good.substr(0, good.size() / 2),
  };
  for (const auto& pem : cases) {
    EXPECT_EQ(ErrorOf([&] {
                C().RsaPublicEncrypt({pem.begin(), pem.end()}, key_);
              }),
              "Call to PEM_read_bio_RSA_PUBKEY failed!")
        << pem;
  }
}

}  // namespace
}  // namespace ZorErrorReporting::testing
