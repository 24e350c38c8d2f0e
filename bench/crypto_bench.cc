// crypto_bench: encrypts one file with Crypto::EncryptFile at a given block
// size and reports the time taken and the peak resident memory.
//
// Usage: crypto_bench INPUT OUTPUT BLOCK_BYTES
// Prints "key: value" lines; bench/run_crypto_bench.sh compares the rate with
// `openssl speed` and with Node's crypto on the same file.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>

#include "crypto/crypto.h"

static double Seconds(const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; }

int main(int argc, char** argv) {
  if (argc != 4 || std::atol(argv[3]) <= 0) {
    std::fprintf(stderr, "usage: %s INPUT OUTPUT BLOCK_BYTES\n", argv[0]);
    return 2;
  }
  const char* input = argv[1];
  const char* output = argv[2];
  const size_t block = static_cast<size_t>(std::atol(argv[3]));
  using ZorErrorReporting::Crypto;
  Crypto& crypto = Crypto::GetInstance();
  const Crypto::Bytes key = crypto.GenerateRandomBytes(Crypto::kKeyLength);
  const Crypto::Bytes iv = crypto.GenerateRandomBytes(Crypto::kIvLength);
  const auto start = std::chrono::steady_clock::now();
  try {
    crypto.EncryptFile(zor::platform::TPath(input), zor::platform::TPath(output), key, iv,
                       Crypto::kTagLength, block);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "crypto_bench: %s\n", e.what());
    return 1;
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;

  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto size = std::filesystem::file_size(input);
  std::printf("seconds: %.3f\n", elapsed.count());
  std::printf("mib-per-second: %.1f\n", size / 1048576.0 / elapsed.count());
  std::printf("cpu-seconds: %.3f\n", Seconds(usage.ru_utime) + Seconds(usage.ru_stime));
  std::printf("peak-rss-kib: %ld\n", usage.ru_maxrss);
  return 0;
}
