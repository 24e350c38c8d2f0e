// GcmEncryptor: AES-256-GCM over a stream, as a ByteSink: what is written to
// it goes on, encrypted, to its output sink, and optionally, as it was, to a
// second sink first. So a writer that produces a stream (a zip) and a copy of
// it need not hold it anywhere whole.
//
// Lifecycle: (1) construct with the key and IV, (2) Write or EncryptInPlace
// any number of times, (3) Finish once for the tag. GCM is a stream mode: the
// ciphertext is exactly as long as the plaintext, byte for byte the same
// whatever the sizes of the writes, and nothing more is written at the end.
//
// Failures: "Call to EVP_CIPHER_CTX_new failed!", "Call to EVP_EncryptInit_ex
// failed!" (a key that is not 32 bytes or an IV that is not 12), "Call to
// EVP_EncryptUpdate failed!", "Call to EVP_EncryptFinal_ex failed!", "Call to
// EVP_CIPHER_CTX_ctrl failed!" (a tag length outside 1..16), as ZorvaneException
// with error code "crypto"; the sinks' exceptions pass through unchanged. After
// any failure the object may only be destroyed.
//
// Ownership: the sinks are weak and must outlive the object; the key is not
// kept beyond the cipher's own state, which is freed (and cleared) with it.
// Not copyable; one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "crypto/crypto.h"
#include "files/byte_sink.h"

namespace ZorErrorReporting {

class GcmEncryptor : public ByteSink {
 public:
  // Bytes encrypted per step of Write: small enough to stay in the cache
  // between encrypting and writing, large enough for a compressed block of
  // the zip in one write (fewer, larger writes cost the page cache less).
  static constexpr size_t kChunkSize = 256 * 1024;

  GcmEncryptor(const Crypto::Bytes& key, const Crypto::Bytes& iv, ByteSink& output,
               ByteSink* plainCopy = nullptr);
  ~GcmEncryptor() override;
  GcmEncryptor(const GcmEncryptor&) = delete;
  GcmEncryptor& operator=(const GcmEncryptor&) = delete;

  // ByteSink: hands `data` to the plain copy, then encrypts it into a buffer
  // of kChunkSize at a time and writes that to the output.
  void Write(const char* data, size_t size) override;
  // Encrypts `data` in place, which then holds the ciphertext, and hands it
  // to neither sink: for a caller that writes the ciphertext itself (from
  // another thread, say), in this order.
  void EncryptInPlace(char* data, size_t size);

  // Ends the encryption; returns the `tagLength`-byte tag.
  Crypto::Bytes Finish(unsigned tagLength);

  // Bytes encrypted so far.
  uint64_t Size() const { return size_; }

 private:
  struct Context;

  // Encrypts `size` bytes from `from` into `to` (the same place, or one that
  // does not overlap it).
  void Encrypt(const char* from, char* to, size_t size);

  std::unique_ptr<Context> context_;
  ByteSink& output_;     // weak
  ByteSink* plainCopy_;  // weak, may be null
  std::unique_ptr<char[]> chunk_;
  uint64_t size_ = 0;
};

}  // namespace ZorErrorReporting
