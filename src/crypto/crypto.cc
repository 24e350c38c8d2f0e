#include "crypto/crypto.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <climits>
#include <memory>

#include "crypto/gcm_encryptor.h"
#include "files/block_pipeline.h"
#include "files/filesystem.h"
#include "platform/interruption.h"
#include "platform/process_singleton.h"
#include "platform/tfile.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TFile;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;

namespace {

struct CipherContextFree {
  void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct PkeyContextFree {
  void operator()(EVP_PKEY_CTX* context) const { EVP_PKEY_CTX_free(context); }
};
struct OpenSslFree {
  void operator()(unsigned char* bytes) const { OPENSSL_free(bytes); }
};
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, CipherContextFree>;
using Bio = std::unique_ptr<BIO, BioFree>;
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using PkeyContext = std::unique_ptr<EVP_PKEY_CTX, PkeyContextFree>;
struct BigNumFree {
  void operator()(BIGNUM* number) const { BN_free(number); }
};
struct OpenSslCharFree {
  void operator()(char* text) const { OPENSSL_free(text); }
};

constexpr int kMinRsaKeyBits = 2048;
constexpr uint64_t kMinRsaExponent = 65537;

[[noreturn]] void Fail(const char* message) {
  throw ZorvaneException(message, zor::platform::ZorvaneError::MakeError("crypto", message));
}

void FailUnless(bool ok, const char* message) {
  if (!ok) Fail(message);
}

CipherContext NewCipherContext() {
  CipherContext context(EVP_CIPHER_CTX_new());
  FailUnless(context != nullptr, "Call to EVP_CIPHER_CTX_new failed!");
  return context;
}

// EVP_*Init_ex reads the key and IV without their lengths, so a short vector
// would be read past its end: it fails the init step instead.
bool KeyAndIvFit(const Crypto::Bytes& key, const Crypto::Bytes& iv) {
  return key.size() == Crypto::kKeyLength && iv.size() == Crypto::kIvLength;
}

struct PublicKeyRead {
  Pkey key;         // null when the text holds no decodable key
  TString problem;  // why not, when key is null
};

// OpenSSL's reason for the last failure on this thread, and a clean queue.
TString TakeOpenSslReason() {
  const unsigned long code = ERR_peek_last_error();
  const char* reason = code == 0 ? nullptr : ERR_reason_error_string(code);
  ERR_clear_error();
  return reason == nullptr ? TString("no reason given") : TString(reason);
}

// The key of the first PEM "PUBLIC KEY" block (SubjectPublicKeyInfo) of
// `pem`. PEM_read_bio_PUBKEY would also take a PKCS#1 "RSA PUBLIC KEY"
// block, so the block is found by name and decoded as SubjectPublicKeyInfo.
PublicKeyRead ReadPublicKey(const std::vector<char>& pem) {
  ERR_clear_error();
  Bio bio(pem.size() <= INT_MAX ? BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()))
                                : nullptr);
  FailUnless(bio != nullptr, "Call to BIO_new_mem_buf failed!");
  unsigned char* der = nullptr;
  long derLength = 0;
  const bool found = PEM_bytes_read_bio(&der, &derLength, nullptr, PEM_STRING_PUBLIC, bio.get(),
                                        nullptr, nullptr) == 1;
  const std::unique_ptr<unsigned char, OpenSslFree> derOwner(der);
  if (!found) {
    return {nullptr, "it holds no PEM \"PUBLIC KEY\" block (" + TakeOpenSslReason() + ")"};
  }
  const unsigned char* cursor = der;
  Pkey key(d2i_PUBKEY(nullptr, &cursor, derLength));
  if (key == nullptr || cursor != der + derLength) {
    return {nullptr, "its \"PUBLIC KEY\" block does not decode (" + TakeOpenSslReason() + ")"};
  }
  return {std::move(key), {}};
}

}  // namespace

Crypto& Crypto::GetInstance() { return zor::platform::ProcessSingleton<Crypto>::Get(); }

Crypto::Bytes Crypto::EncryptFile(const TPath& input, const TPath& output, const Bytes& key,
                                  const Bytes& iv, unsigned tagLength, size_t blockSize,
                                  const ByteProgress& progress) {
  TFile in = Filesystem::GetInstance().OpenFileForReading(input);
  return EncryptFile(in, static_cast<uint64_t>(in.Size()), output, key, iv, tagLength, blockSize,
                     progress);
}

Crypto::Bytes Crypto::EncryptFile(TFile& in, uint64_t length, const TPath& output, const Bytes& key,
                                  const Bytes& iv, unsigned tagLength, size_t blockSize,
                                  const ByteProgress& progress) {
  if (blockSize == 0 || blockSize > INT_MAX) {
    zor::platform::ThrowLogicException(TFormatString("EncryptFile block size out of range: %1")
                                           .arg(static_cast<uint64_t>(blockSize)));
  }
  const std::unique_ptr<OutputFile> out = Filesystem::GetInstance().CreateNewFile(output);
  GcmEncryptor encryptor(key, iv, *out);
  // Reading, the cipher and writing cost about the same per byte: on threads
  // of their own they overlap. Each block is encrypted where it was read.
  uint64_t read = 0;
  uint64_t done = 0;
  BlockPipeline::Run(
      blockSize, kFileBlocksInFlight,
      [&](char* into, size_t size) {
        const auto wanted = static_cast<int64_t>(std::min<uint64_t>(size, length - read));
        const auto got = static_cast<size_t>(wanted == 0 ? 0 : in.Read(into, wanted));
        read += got;
        return got;
      },
      [&](char* data, size_t size) {
        // A file of many gigabytes takes seconds: a stop request must not
        // wait for its end.
        zor::platform::Interruption::ThrowIfRequested();
        encryptor.EncryptInPlace(data, size);
        done += size;
        if (progress) progress(done, length);
      },
      [&](const char* data, size_t size) { out->Write(data, size); });
  if (done != length) {
    throw ZorvaneException(
        TFormatString("'%1' ended after %2 of its %3 bytes while it was encrypted")
            .arg(in.GetPath().ToString())
            .arg(done)
            .arg(length));
  }
  Bytes tag = encryptor.Finish(tagLength);
  // Synced before it is returned: the caller records the file as whole.
  out->Commit();
  return tag;
}

namespace {

// Collects ciphertext in memory.
class BytesSink : public ByteSink {
 public:
  explicit BytesSink(size_t capacity) { bytes_.reserve(capacity); }
  void Write(const char* data, size_t size) override { bytes_.insert(bytes_.end(), data, data + size); }
  Crypto::Bytes& bytes() { return bytes_; }

 private:
  Crypto::Bytes bytes_;
};

}  // namespace

std::tuple<Crypto::Bytes, Crypto::Bytes> Crypto::EncryptBuffer(const Bytes& plaintext,
                                                               const Bytes& key, const Bytes& iv,
                                                               unsigned tagLength) {
  BytesSink ciphertext(plaintext.size());
  GcmEncryptor encryptor(key, iv, ciphertext);
  encryptor.Write(reinterpret_cast<const char*>(plaintext.data()), plaintext.size());
  Bytes tag = encryptor.Finish(tagLength);
  return {std::move(ciphertext.bytes()), std::move(tag)};
}

Crypto::Bytes Crypto::DecryptBuffer(const Bytes& ciphertext, const Bytes& key, const Bytes& iv,
                                    const Bytes& tag) {
  CipherContext context = NewCipherContext();
  FailUnless(KeyAndIvFit(key, iv) && EVP_DecryptInit_ex(context.get(), EVP_aes_256_gcm(), nullptr,
                                                        key.data(), iv.data()) == 1,
             "Call to EVP_DecryptInit_ex failed!");
  // The tag is only read, but the interface takes a non-const pointer.
  Bytes expectedTag = tag;
  FailUnless(!expectedTag.empty() && expectedTag.size() <= kTagLength &&
                 EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_GCM_SET_TAG,
                                     static_cast<int>(expectedTag.size()), expectedTag.data()) == 1,
             "Call to EVP_CIPHER_CTX_ctrl failed!");
  Bytes plaintext(ciphertext.size());
  int written = 0;
  FailUnless(ciphertext.size() <= INT_MAX &&
                 EVP_DecryptUpdate(context.get(), plaintext.data(), &written, ciphertext.data(),
                                   static_cast<int>(ciphertext.size())) == 1,
             "Call to EVP_DecryptUpdate failed!");
  unsigned char unused[EVP_MAX_BLOCK_LENGTH];
  int finalLength = 0;
  if (EVP_DecryptFinal_ex(context.get(), unused, &finalLength) != 1) {
    // Plaintext that failed authentication must not linger in freed memory.
    CleanseBytes(&plaintext);
    Fail("Call to EVP_DecryptFinal_ex failed!");
  }
  plaintext.resize(static_cast<size_t>(written));
  return plaintext;
}

Crypto::Bytes Crypto::RsaPublicEncrypt(const std::vector<char>& pemKey, const Bytes& data) {
  if (data.size() != kKeyLength) {
    zor::platform::ThrowLogicException(TFormatString("RsaPublicEncrypt wraps %1 bytes, given %2")
                                           .arg(static_cast<uint64_t>(kKeyLength))
                                           .arg(static_cast<uint64_t>(data.size())));
  }
  Pkey key = ReadPublicKey(pemKey).key;
  FailUnless(key != nullptr && EVP_PKEY_is_a(key.get(), "RSA") == 1,
             "Call to PEM_read_bio_RSA_PUBKEY failed!");

  constexpr char kRsaEncryptFailed[] = "Call to RSA_public_encrypt failed!";
  PkeyContext context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  FailUnless(context != nullptr, kRsaEncryptFailed);
  // The receiver expects the classic OAEP parameters: SHA-1 for both the label
  // hash and MGF1, and no label. They are set explicitly rather than relying
  // on the library's defaults.
  FailUnless(EVP_PKEY_encrypt_init(context.get()) == 1 &&
                 EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_OAEP_PADDING) == 1 &&
                 EVP_PKEY_CTX_set_rsa_oaep_md(context.get(), EVP_sha1()) == 1 &&
                 EVP_PKEY_CTX_set_rsa_mgf1_md(context.get(), EVP_sha1()) == 1,
             kRsaEncryptFailed);
  const int modulusLength = EVP_PKEY_get_size(key.get());
  FailUnless(modulusLength > 0, kRsaEncryptFailed);
  Bytes wrapped(static_cast<size_t>(modulusLength));
  size_t wrappedLength = wrapped.size();
  FailUnless(EVP_PKEY_encrypt(context.get(), wrapped.data(), &wrappedLength, data.data(),
                              data.size()) == 1 &&
                 wrappedLength == wrapped.size(),
             kRsaEncryptFailed);
  return wrapped;
}

Crypto::Bytes Crypto::GenerateRandomBytes(int count) {
  if (count < 0) {
    zor::platform::ThrowLogicException(TFormatString("GenerateRandomBytes of %1 bytes").arg(count));
  }
  Bytes bytes(static_cast<size_t>(count));
  FailUnless(count == 0 || RAND_bytes(bytes.data(), count) == 1, "Call to RAND_bytes failed");
  return bytes;
}

void Crypto::FillRandomBytes(uint8_t* data, size_t count) {
  // RAND_bytes takes an int length.
  constexpr size_t kMaxStep = 1 << 30;
  for (size_t done = 0; done < count;) {
    const size_t step = std::min(count - done, kMaxStep);
    FailUnless(RAND_bytes(data + done, static_cast<int>(step)) == 1, "Call to RAND_bytes failed");
    done += step;
  }
}

void CheckRsaPublicKey(const std::vector<char>& pemKey) {
  const auto fail = [](const TString& problem) {
    throw ZorvaneException(problem, zor::platform::ZorvaneError::MakeError("crypto", problem));
  };
  const PublicKeyRead read = ReadPublicKey(pemKey);
  if (read.key == nullptr) fail(read.problem);
  EVP_PKEY* key = read.key.get();
  if (EVP_PKEY_is_a(key, "RSA") != 1) {
    const char* type = EVP_PKEY_get0_type_name(key);
    fail(TFormatString("the key is %1, not RSA")
             .arg(TString(type == nullptr ? "of no known type" : type)));
  }
  const int bits = EVP_PKEY_get_bits(key);
  if (bits < kMinRsaKeyBits) {
    fail(TFormatString("the key is %1 bits; at least %2 are needed").arg(bits).arg(kMinRsaKeyBits));
  }
  BIGNUM* exponent = nullptr;
  FailUnless(EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &exponent) == 1,
             "Call to EVP_PKEY_get_bn_param failed!");
  const std::unique_ptr<BIGNUM, BigNumFree> exponentOwner(exponent);
  // A small or even exponent makes textbook attacks on the wrapped key
  // practical, or is no RSA key at all.
  // BN_get_word answers all ones for a number wider than a word.
  if (!BN_is_odd(exponent) || BN_get_word(exponent) < kMinRsaExponent) {
    const std::unique_ptr<char, OpenSslCharFree> text(BN_bn2dec(exponent));
    fail(TFormatString("the key's public exponent is %1; it must be odd and at least %2")
             .arg(TString(text ? text.get() : "unreadable"))
             .arg(kMinRsaExponent));
  }
  // The library refuses some keys only when it uses them (a modulus over
  // 16384 bits, a wide exponent with a large modulus): one wrap tells.
  try {
    Crypto().RsaPublicEncrypt(pemKey, Crypto::Bytes(Crypto::kKeyLength));
  } catch (const ZorvaneException& e) {
    fail("a content key cannot be wrapped with it (" + TString(e.what()) + ")");
  }
}

void CleanseBytes(Crypto::Bytes* bytes) {
  if (!bytes->empty()) OPENSSL_cleanse(bytes->data(), bytes->size());
  bytes->clear();
}

}  // namespace ZorErrorReporting
