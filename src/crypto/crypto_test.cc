#include "crypto/crypto.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "crypto/crypto_for_test.h"
#include "packages/package_for_test.h"
#include "platform/tpath.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting::test_support {
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
    SCOPED_TRACE(std::to_string(size) + " in blocks of " + std::to_string(block));
    const std::string content = zor::test::Incompressible(size);
    const std::string in = dir_.Sub("in-" + std::to_string(size));
    zor::test::WriteFile(in, content);
    const auto [expected, expectedTag] = C().EncryptBuffer(BytesOf(content), key_, iv_, 16);
    uint64_t told = 0, steps = 0;
    const auto progress = [&, size = size](uint64_t done, uint64_t total) {
      EXPECT_EQ(total, size);
      told = done;
      ++steps;
    };
    const Crypto::Bytes tag =
        C().EncryptFile(TPath(in), TPath(in + ".enc"), key_, iv_, 16, block, progress);
    EXPECT_EQ(BytesOf(zor::test::ReadFile(in + ".enc")), expected);
    EXPECT_EQ(tag, expectedTag);
    // Told after each block read.
    EXPECT_EQ(std::pair(told, steps),
              std::pair(uint64_t{size}, uint64_t{(size + block - 1) / block}));
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

  // From an open file, the length its checks saw and no more: what grew since
  // is left out, and a file cut short leaves no output.
  zor::platform::TFile file(TPath(in), zor::platform::OpenMode::Read);
  C().EncryptFile(file, 3, TPath(in + ".enc"), key_, iv_, 16, 2);
  EXPECT_EQ(BytesOf(zor::test::ReadFile(in + ".enc")),
            std::get<0>(C().EncryptBuffer(BytesOf("dat"), key_, iv_, 16)));
  file.Seek(0);
  EXPECT_EQ(ErrorOf([&] { C().EncryptFile(file, 9, TPath(in + ".2.enc"), key_, iv_, 16, 2); }),
            "'" + in + "' ended after 4 of its 9 bytes while it was encrypted");
  EXPECT_FALSE(std::filesystem::exists(in + ".2.enc"));
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

// A SubjectPublicKeyInfo PEM of an RSA key with the modulus `hex` (by
// default the 2048-bit test key's) and the public exponent `exponent`, built
// by the openssl command from an ASN.1 description (no key generator makes
// such keys).
std::string RsaPemWithExponent(const std::string& dir, const std::string& exponent,
                               std::string hex = "") {
  if (hex.empty()) {
    const std::string modulus =
        RunOpenssl({"rsa", "-pubin", "-in", RsaKey(2048) + ".pub", "-noout", "-modulus"}).out;
    hex = modulus.substr(modulus.find('=') + 1, modulus.find('\n') - 8);
  }
  const std::string conf = dir + "/e" + exponent + std::to_string(hex.size()) + ".cnf";
  zor::test::WriteFile(conf,
                       "asn1=SEQUENCE:spki\n[spki]\nalg=SEQUENCE:alg\n"
                       "key=BITWRAP,SEQUENCE:rsa\n[alg]\noid=OID:rsaEncryption\nnull=NULL\n"
                       "[rsa]\nn=INTEGER:0x" +
                           hex + "\ne=INTEGER:" + exponent + "\n");
  RunOpenssl({"asn1parse", "-genconf", conf, "-noout", "-out", conf + ".der"});
  const std::string base64 = RunOpenssl({"base64", "-in", conf + ".der"}).out;
  return "-----BEGIN PUBLIC KEY-----\n" + base64 + "-----END PUBLIC KEY-----\n";
}

// The public half of a key that `genpkey` makes with `options`.
std::string GeneratedPublicPem(const std::string& dir, const std::vector<std::string>& options) {
  const std::string key = dir + "/k" + std::to_string(options.size()) + options.back();
  std::vector<std::string> args = {"genpkey", "-out", key};
  args.insert(args.end(), options.begin(), options.end());
  RunOpenssl(args);
  RunOpenssl({"pkey", "-in", key, "-pubout", "-out", key + ".pub"});
  return zor::test::ReadFile(key + ".pub");
}

// A sign-in page in place of the key is upload_test.cc's. The wrap refuses
// what does not read as an RSA SubjectPublicKeyInfo PEM too.
TEST_F(CryptoTest, OnlyAStrongRsaKeyPassesTheCheck) {
  const std::string key2048 = zor::test::ReadFile(RsaKey(2048) + ".pub");
  const struct {
    std::string pem;
    std::string problem;  // empty: accepted
    bool unreadable = false;
  } cases[] = {
      {key2048, ""},
      {zor::test::ReadFile(RsaKey(3072) + ".pub"), ""},
      {RsaPemWithExponent(dir_.path(), "65537"), ""},
      {RsaPemWithExponent(dir_.path(), "0x10000000001"), ""},
      {zor::test::ReadFile(RsaKey(1024) + ".pub"),
       "the key is 1024 bits; at least 2048 are needed"},
      {"", "it holds no PEM \"PUBLIC KEY\" block (no start line)", true},
      {zor::test::ReadFile(RsaKey(2048) + ".pkcs1"),
       "it holds no PEM \"PUBLIC KEY\" block (no start line)", true},
      {"-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n",
       "its \"PUBLIC KEY\" block does not decode"},
      {GeneratedPublicPem(dir_.path(), {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"}),
       "the key is EC, not RSA", true},
      {GeneratedPublicPem(dir_.path(), {"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048",
                                        "-pkeyopt", "rsa_keygen_pubexp:3"}),
       "the key's public exponent is 3; it must be odd and at least 65537"},
      {RsaPemWithExponent(dir_.path(), "1"),
       "the key's public exponent is 1; it must be odd and at least 65537"},
      {RsaPemWithExponent(dir_.path(), "65538"),
       "the key's public exponent is 65538; it must be odd and at least 65537"},
      // Passes every rule above, yet no content key can be wrapped with it.
      {RsaPemWithExponent(dir_.path(), "65537", std::string(5000, 'F')),
       "a content key cannot be wrapped with it (Call to RSA_public_encrypt failed!)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pem);
    std::vector<char> pem(c.pem.begin(), c.pem.end());
    pem.push_back('\0');
    if (c.problem.empty()) {
      EXPECT_NO_THROW(CheckRsaPublicKey(pem));
    } else {
      EXPECT_THAT(ErrorOf([&] { CheckRsaPublicKey(pem); }), ::testing::StartsWith(c.problem));
    }
    if (c.unreadable) {
      EXPECT_EQ(ErrorOf([&] { C().RsaPublicEncrypt(pem, key_); }),
                "Call to PEM_read_bio_RSA_PUBKEY failed!");
    }
  }
}

}  // namespace
}  // namespace ZorErrorReporting::test_support
