// Crypto: the few cryptographic operations that package encryption needs:
// random bytes, AES-256-GCM over a file and over a memory buffer, and the
// RSA-OAEP wrapping of a content key with a PEM public key, and the check
// that a downloaded public key is fit for that wrapping.
//
// Every operation is a short sequence of OpenSSL 3 EVP calls. Each failing
// step throws ZorvaneException "Call to <step> failed!" (for random bytes
// "Call to RAND_bytes failed") with an error record of code "crypto"; nothing
// is retried and nothing is logged here. Every OpenSSL object a call makes is
// freed on every path, the thrown ones included. Files are read and written
// through the file-system facade (files/filesystem.h); its failures (a
// missing input, an unwritable output, a full disk) propagate unchanged as
// TPath::Exception.
//
// The parameters the program uses: a 32-byte key, a 12-byte IV (GCM's default
// IV length), a 16-byte tag, no additional authenticated data; OAEP with
// SHA-1, MGF1 with SHA-1 and an empty label.
//
// Process-wide: GetInstance() creates the instance on first use under a
// recursive mutex and never destroys it. The instance has no state: every
// call makes its own OpenSSL objects, so calls from several threads do not
// interfere. Key material passed in stays the caller's to clear.
#pragma once

#include <cstddef>
#include <cstdint>
#include <tuple>
#include <vector>

#include "files/byte_progress.h"
#include "platform/tfile.h"
#include "platform/tpath.h"

namespace ZorErrorReporting {

class Crypto {
 public:
  using Bytes = std::vector<uint8_t>;

  static constexpr size_t kKeyLength = 32;
  static constexpr size_t kIvLength = 12;
  static constexpr unsigned kTagLength = 16;
  // Bytes read per step of EncryptFile, and how many such blocks are between
  // reading and writing at once. Memory use does not grow with the file; the
  // ciphertext is the same whatever the block size. With reading and writing
  // on threads of their own, each hand-off between them costs more than the
  // cache a larger block misses: 1 MiB ran about 1.3x as fast as 64 KiB.
  static constexpr size_t kFileBlockSize = 1024 * 1024;
  static constexpr unsigned kFileBlocksInFlight = 4;
  // The most bytes GCM encrypts under one key and IV: its 32-bit block
  // counter covers 2^32 - 2 blocks of 16 bytes.
  static constexpr uint64_t kMaxGcmBytes = ((uint64_t{1} << 32) - 2) * 16;

  static Crypto& GetInstance();

  Crypto() = default;
  Crypto(const Crypto&) = delete;
  Crypto& operator=(const Crypto&) = delete;
  virtual ~Crypto() = default;

  // Encrypts the file `input` with AES-256-GCM under `key` and `iv` into
  // `output` (created or truncated, synced before the tag is returned),
  // reading `blockSize` bytes at a time; reading and writing run on threads
  // of their own while the caller's thread encrypts.
  // The output holds the ciphertext only, exactly as long as the input: no
  // header, IV or tag. Returns the `tagLength`-byte tag.
  // REQUIRES: blockSize > 0.
  // Throws "Call to EVP_EncryptInit_ex failed!" for a key that is not 32
  // bytes or an IV that is not 12, "Call to EVP_EncryptUpdate failed!",
  // "Call to EVP_EncryptFinal_ex failed!", "Call to EVP_CIPHER_CTX_ctrl
  // failed!" (tagLength outside 1..16), and the facade's failures. After a
  // failure no output is left on disk (a file of that name from before is
  // gone too).
  virtual Bytes EncryptFile(const zor::platform::TPath& input, const zor::platform::TPath& output,
                            const Bytes& key, const Bytes& iv, unsigned tagLength) {
    return EncryptFile(input, output, key, iv, tagLength, kFileBlockSize);
  }
  // As above, `progress` told (on the caller's thread) of the input's bytes
  // encrypted after each block.
  Bytes EncryptFile(const zor::platform::TPath& input, const zor::platform::TPath& output,
                    const Bytes& key, const Bytes& iv, unsigned tagLength, size_t blockSize,
                    const ByteProgress& progress = {});
  // As above, the `length` bytes from `input`'s current position on; the
  // caller opened it (the one descriptor its checks looked at). A file that
  // grew since is read no further; one that ends sooner throws
  // ZorvaneException "'<path>' ended after <n> of its <length> bytes while it
  // was encrypted".
  Bytes EncryptFile(zor::platform::TFile& input, uint64_t length,
                    const zor::platform::TPath& output, const Bytes& key, const Bytes& iv,
                    unsigned tagLength, size_t blockSize, const ByteProgress& progress = {});

  // Encrypts `plaintext` in memory. Returns (ciphertext, tag); the ciphertext
  // is as long as the plaintext. Throws as EncryptFile (without TFile's).
  virtual std::tuple<Bytes, Bytes> EncryptBuffer(const Bytes& plaintext, const Bytes& key,
                                                 const Bytes& iv, unsigned tagLength);

  // Wraps the 32 bytes of `data` with the RSA public key in `pemKey`: a PEM
  // "PUBLIC KEY" block (SubjectPublicKeyInfo) of an RSA key, optionally
  // followed by NUL bytes. Returns the wrapped block, as long as the key's
  // modulus (256 bytes for 2048 bits); randomised, so two calls differ.
  // Throws "Call to BIO_new_mem_buf failed!", "Call to PEM_read_bio_RSA_PUBKEY
  // failed!" for anything but such a key (no PEM, a private key, a PKCS#1
  // "RSA PUBLIC KEY" block, another key type, a truncated key), "Call to
  // RSA_public_encrypt failed!"; a logic ZorvaneException when `data` is not
  // 32 bytes.
  virtual Bytes RsaPublicEncrypt(const std::vector<char>& pemKey, const Bytes& data);

  // `count` bytes from the OpenSSL random generator; empty for 0. Throws
  // "Call to RAND_bytes failed" when the generator fails, a logic
  // ZorvaneException for a negative count.
  virtual Bytes GenerateRandomBytes(int count);
  // Overwrites `data[0..count)` with bytes from the same generator, for
  // buffers too large to copy. Throws "Call to RAND_bytes failed".
  virtual void FillRandomBytes(uint8_t* data, size_t count);

  // The inverse of EncryptBuffer: decrypts `ciphertext` and verifies `tag`.
  // Throws "Call to EVP_DecryptInit_ex failed!" (bad key or IV length),
  // "Call to EVP_CIPHER_CTX_ctrl failed!" (tag length outside 1..16),
  // "Call to EVP_DecryptUpdate failed!", and "Call to EVP_DecryptFinal_ex
  // failed!" when the tag does not verify (a wrong key, IV, tag or
  // ciphertext).
  virtual Bytes DecryptBuffer(const Bytes& ciphertext, const Bytes& key, const Bytes& iv,
                              const Bytes& tag);
};

// Returns iff `pemKey` is a key the program may wrap content keys with: its
// first PEM "PUBLIC KEY" block (SubjectPublicKeyInfo, optionally followed by
// NUL bytes) decodes to an RSA key of at least 2048 bits whose public
// exponent is odd and at least 65537. Otherwise throws ZorvaneException (error
// code "crypto") whose message says what is wrong, in words that can follow
// "the reply is not a usable key: ": "it holds no PEM "PUBLIC KEY" block
// (<reason>)", "its "PUBLIC KEY" block does not decode (<reason>)", "the key
// is EC, not RSA", "the key is 1024 bits; at least 2048 are needed", "the
// key's public exponent is 3; it must be odd and at least 65537", "a content
// key cannot be wrapped with it (<reason>)" (a key the library refuses to
// use, tried once). Changes nothing and keeps no copy of the key.
void CheckRsaPublicKey(const std::vector<char>& pemKey);

// Overwrites `bytes` with zeros in a way the compiler cannot drop, then
// empties it: for key material that must not outlive its use.
void CleanseBytes(Crypto::Bytes* bytes);

}  // namespace ZorErrorReporting
