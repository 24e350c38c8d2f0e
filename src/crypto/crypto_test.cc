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

TEST_F(CryptoTest, RandomBytesHaveTheAskedLengthAndDiffer) {
  EXPECT_TRUE(C().GenerateRandomBytes(0).empty());
  const Crypto::Bytes a = C().GenerateRandomBytes(32);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, C().GenerateRandomBytes(32));
}

TEST_F(CryptoTest, BufferRoundTripAndEveryTamperingFails) {
  const Crypto::Bytes plaintext = BytesOf("{\"support-case-number\":\"12345\"}");
  const auto [ciphertext, tag] = C().EncryptBuffer(plaintext, key_, iv_, 16);
  EXPECT_EQ(ciphertext.size(), plaintext.size());
  EXPECT_NE(ciphertext, plaintext);
  EXPECT_EQ(tag.size(), 16u);
  EXPECT_EQ(C().DecryptBuffer(ciphertext, key_, iv_, tag), plaintext);

  auto flipped = [](Crypto::Bytes bytes, size_t at) {
    bytes[at] ^= 0x01;
    return bytes;
  };
  const struct {
    const char* what;
    Crypto::Bytes ciphertext, key, iv, tag;
    std::string error;
  } cases[] = {
      {"tag byte", ciphertext, key_, iv_, flipped(tag, 15), "Call to EVP_DecryptFinal_ex failed!"},
      {"ciphertext byte", flipped(ciphertext, 0), key_, iv_, tag,
       "Call to EVP_DecryptFinal_ex failed!"},
      {"key byte", ciphertext, flipped(key_, 31), iv_, tag, "Call to EVP_DecryptFinal_ex failed!"},
      {"iv byte", ciphertext, key_, flipped(iv_, 11), tag, "Call to EVP_DecryptFinal_ex failed!"},
      {"no tag", ciphertext, key_, iv_, {}, "Call to EVP_CIPHER_CTX_ctrl failed!"},
      {"short key", ciphertext, Crypto::Bytes(16), iv_, tag, "Call to EVP_DecryptInit_ex failed!"},
      {"long iv", ciphertext, key_, Crypto::Bytes(16), tag, "Call to EVP_DecryptInit_ex failed!"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorOf([&] { C().DecryptBuffer(c.ciphertext, c.key, c.iv, c.tag); }), c.error)
        << c.what;
  }
  EXPECT_EQ(ErrorOf([&] { C().EncryptBuffer(plaintext, Crypto::Bytes(31), iv_, 16); }),
            "Call to EVP_EncryptInit_ex failed!");
  EXPECT_EQ(ErrorOf([&] { C().EncryptBuffer(plaintext, key_, iv_, 17); }),
            "Call to EVP_CIPHER_CTX_ctrl failed!");
}

// The file is streamed block by block; whatever the block size and however
// the file's length falls against it, the result is the one-shot encryption.
TEST_F(CryptoTest, FileEncryptionEqualsBufferEncryptionForEveryBlockSize) {
  for (const size_t size : {0u, 1u, 255u, 256u, 257u, 100000u}) {
    std::string content(size, '\0');
    for (size_t i = 0; i < size; ++i) content[i] = static_cast<char>(i * 7 + i / 256);
    const std::string in = dir_.Sub("in-" + std::to_string(size));
    zor::test::WriteFile(in, content);
    const auto [expected, expectedTag] = C().EncryptBuffer(BytesOf(content), key_, iv_, 16);
    for (const size_t block : {1u, 256u, 4096u, 1u << 20}) {
      const std::string out = in + ".enc";
      const Crypto::Bytes tag = C().EncryptFile(TPath(in), TPath(out), key_, iv_, 16, block);
      EXPECT_EQ(BytesOf(zor::test::ReadFile(out)), expected) << size << " in " << block;
      EXPECT_EQ(tag, expectedTag) << size << " in " << block;
    }
    // The default block size is the one the program uses.
    const Crypto::Bytes tag = C().EncryptFile(TPath(in), TPath(in + ".enc"), key_, iv_, 16);
    EXPECT_EQ(tag.size(), 16u);
    EXPECT_EQ(C().DecryptBuffer(BytesOf(zor::test::ReadFile(in + ".enc")), key_, iv_, tag),
              BytesOf(content));
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
  EXPECT_THROW(C().EncryptFile(TPath(in), TPath(dir_.Sub("no/dir/out")), key_, iv_, 16),
               TPath::Exception);
}

TEST_F(CryptoTest, KeyWrapIsOaepWithSha1AndAsLongAsTheModulus) {
  const Crypto::Bytes contentKey = C().GenerateRandomBytes(32);
  for (const int bits : {1024, 2048, 4096}) {
    const auto pem = TestKeys::PemWithNul(TestKeys::Rsa(bits, TestKeys::Form::kPublic));
    const Crypto::Bytes wrapped = C().RsaPublicEncrypt(pem, contentKey);
    EXPECT_EQ(wrapped.size(), static_cast<size_t>(bits / 8));
    EXPECT_NE(C().RsaPublicEncrypt(pem, contentKey), wrapped) << "OAEP is randomised";
    EXPECT_EQ(TestKeys::Unwrap(bits, wrapped), contentKey) << bits;
  }
}

TEST_F(CryptoTest, OnlyAPemSubjectPublicKeyInfoRsaKeyIsAccepted) {
  using Form = TestKeys::Form;
  const std::string good = zor::test::ReadFile(TestKeys::Rsa(2048, Form::kPublic));
  const struct {
    const char* what;
    std::string pem;
  } cases[] = {
      {"not PEM", "this is not a key"},
      {"empty", ""},
      {"private key", zor::test::ReadFile(TestKeys::Rsa(2048, Form::kPrivate))},
      {"PKCS#1 public key", zor::test::ReadFile(TestKeys::Rsa(2048, Form::kPkcs1Public))},
      {"EC public key", zor::test::ReadFile(TestKeys::EcPublic())},
      {"truncated", good.substr(0, good.size() / 2)},
      {"truncated before the end line", good.substr(0, good.rfind("-----END"))},
  };
  for (const auto& c : cases) {
    std::vector<char> pem(c.pem.begin(), c.pem.end());
    pem.push_back('\0');
    EXPECT_EQ(ErrorOf([&] { C().RsaPublicEncrypt(pem, C().GenerateRandomBytes(32)); }),
              "Call to PEM_read_bio_RSA_PUBKEY failed!")
        << c.what;
  }
}

}  // namespace
}  // namespace ZorErrorReporting::testing
