#include "crypto/gcm_encryptor.h"

#include <openssl/evp.h>

#include <algorithm>
#include <climits>

#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

namespace {

void Check(bool ok, const char* message) {
  if (!ok) {
    throw zor::platform::ZorvaneException(
        message, zor::platform::ZorvaneError::MakeError("crypto", message));
  }
}

}  // namespace

struct GcmEncryptor::Context {
  struct Free {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
  };
  std::unique_ptr<EVP_CIPHER_CTX, Free> cipher;
};

GcmEncryptor::GcmEncryptor(const Crypto::Bytes& key, const Crypto::Bytes& iv, ByteSink& output,
                           ByteSink* plainCopy)
    : context_(std::make_unique<Context>()),
      output_(output),
      plainCopy_(plainCopy),
      chunk_(std::make_unique<char[]>(kChunkSize)) {
  context_->cipher.reset(EVP_CIPHER_CTX_new());
  Check(context_->cipher != nullptr, "Call to EVP_CIPHER_CTX_new failed!");
  // The init reads the key and IV without their lengths, so a short vector
  // would be read past its end: it fails the init step instead.
  Check(key.size() == Crypto::kKeyLength && iv.size() == Crypto::kIvLength &&
            EVP_EncryptInit_ex(context_->cipher.get(), EVP_aes_256_gcm(), nullptr, key.data(),
                               iv.data()) == 1,
        "Call to EVP_EncryptInit_ex failed!");
}

GcmEncryptor::~GcmEncryptor() = default;

void GcmEncryptor::Write(const char* data, size_t size) {
  if (plainCopy_ != nullptr) plainCopy_->Write(data, size);
  while (size > 0) {
    const size_t n = std::min(size, kChunkSize);
    Encrypt(data, chunk_.get(), n);
    output_.Write(chunk_.get(), n);
    data += n;
    size -= n;
  }
}

void GcmEncryptor::EncryptInPlace(char* data, size_t size) { Encrypt(data, data, size); }

void GcmEncryptor::Encrypt(const char* from, char* to, size_t size) {
  if (size > Crypto::kMaxGcmBytes - size_) {
    throw zor::platform::ZorvaneException(
        zor::platform::TFormatString(
            "The package is larger than AES-256-GCM can encrypt under one key (%1 "
            "bytes)")
            .arg(Crypto::kMaxGcmBytes));
  }
  const auto* in = reinterpret_cast<const unsigned char*>(from);
  auto* out = reinterpret_cast<unsigned char*>(to);
  for (size_t done = 0; done < size;) {
    const int n = static_cast<int>(std::min<size_t>(size - done, INT_MAX / 2));
    int written = 0;
    Check(EVP_EncryptUpdate(context_->cipher.get(), out + done, &written, in + done, n) == 1 &&
              written == n,
          "Call to EVP_EncryptUpdate failed!");
    done += static_cast<size_t>(n);
  }
  size_ += size;
}

Crypto::Bytes GcmEncryptor::Finish(unsigned tagLength) {
  Crypto::Bytes tag(tagLength);
  // GCM writes nothing at the end; the buffer only has to exist.
  unsigned char unused[EVP_MAX_BLOCK_LENGTH];
  int finalLength = 0;
  Check(EVP_EncryptFinal_ex(context_->cipher.get(), unused, &finalLength) == 1 && finalLength == 0,
        "Call to EVP_EncryptFinal_ex failed!");
  Check(tagLength <= INT_MAX &&
            EVP_CIPHER_CTX_ctrl(context_->cipher.get(), EVP_CTRL_GCM_GET_TAG,
                                static_cast<int>(tagLength), tag.data()) == 1,
        "Call to EVP_CIPHER_CTX_ctrl failed!");
  return tag;
}

}  // namespace ZorErrorReporting
