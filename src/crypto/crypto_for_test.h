// Test helpers shared by the crypto tests: key files made by the openssl
// command (an implementation independent of ours), generated once per test
// process in a temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "crypto/crypto.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting::testing {

// The full path of `name` found on PATH (the subprocess helper does not
// search); `name` itself when it is nowhere.
inline std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
  for (size_t start = 0; start <= dirs.size();) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return name;
}

// Runs the openssl command; the test fails with its error output when it does.
inline zor::test::ProcessResult RunOpenssl(const std::vector<std::string>& args,
                                           const std::string& input = {}) {
  zor::test::ProcessOptions options;
  options.input = input;
  zor::test::ProcessResult result = zor::test::RunProcess(FindProgram("openssl"), args, options);
  EXPECT_EQ(result.status, 0) << "openssl " << args.at(0) << ": " << result.err;
  return result;
}

class TestKeys {
 public:
  // The forms of a key that RsaPublicEncrypt is given.
  enum class Form { kPrivate, kPublic, kPkcs1Public };

  // The file of an RSA key of `bits` bits in `form`, generated on first use.
  static std::string Rsa(int bits, Form form) {
    const std::string base = Dir().Sub("rsa" + std::to_string(bits));
    const std::string privateKey = base + ".key";
    if (!Generated(privateKey)) {
      RunOpenssl({"genpkey", "-algorithm", "RSA", "-pkeyopt",
                  "rsa_keygen_bits:" + std::to_string(bits), "-out", privateKey});
      RunOpenssl({"pkey", "-in", privateKey, "-pubout", "-out", base + ".pub"});
      RunOpenssl({"rsa", "-in", privateKey, "-RSAPublicKey_out", "-out", base + ".pkcs1"});
    }
    switch (form) {
      case Form::kPrivate:
        return privateKey;
      case Form::kPublic:
        return base + ".pub";
      case Form::kPkcs1Public:
        return base + ".pkcs1";
    }
    return {};
  }

  // The SubjectPublicKeyInfo PEM file of a P-256 elliptic-curve key.
  static std::string EcPublic() {
    const std::string privateKey = Dir().Sub("ec.key");
    if (!Generated(privateKey)) {
      RunOpenssl({"genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out",
                  privateKey});
      RunOpenssl({"pkey", "-in", privateKey, "-pubout", "-out", Dir().Sub("ec.pub")});
    }
    return Dir().Sub("ec.pub");
  }

  // The key text as the protocol hands it over: the PEM file and one NUL.
  static std::vector<char> PemWithNul(const std::string& path) {
    const std::string text = zor::test::ReadFile(path);
    std::vector<char> pem(text.begin(), text.end());
    pem.push_back('\0');
    return pem;
  }

  // Unwraps `wrapped` with the private key of `bits` bits by RSA-OAEP (SHA-1).
  static Crypto::Bytes Unwrap(int bits, const Crypto::Bytes& wrapped) {
    const std::string in = Dir().Sub("wrapped.bin");
    zor::test::WriteFile(in, std::string(wrapped.begin(), wrapped.end()));
    const zor::test::ProcessResult result =
        RunOpenssl({"pkeyutl", "-decrypt", "-inkey", Rsa(bits, Form::kPrivate), "-pkeyopt",
                    "rsa_padding_mode:oaep", "-in", in});
    return Crypto::Bytes(result.out.begin(), result.out.end());
  }

  static const zor::test::ScopedTempDir& Dir() {
    static const zor::test::ScopedTempDir dir;
    return dir;
  }

 private:
  static bool Generated(const std::string& path) {
    static std::map<std::string, bool> done;
    return std::exchange(done[path], true);
  }
};

inline Crypto::Bytes BytesOf(const std::string& text) {
  return Crypto::Bytes(text.begin(), text.end());
}

}  // namespace ZorErrorReporting::testing
