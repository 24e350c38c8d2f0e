// Test helpers shared by the crypto tests: key files made by the openssl
// command (an implementation independent of ours), each generated once per
// test process in a temporary directory, as RSA key generation is slow.
#pragma once

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "crypto/crypto.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting::test_support {

// Runs `program` found on PATH (the subprocess helper does not search).
inline zor::test::ProcessResult RunOnPath(const std::string& program,
                                          std::vector<std::string> args) {
  args.insert(args.begin(), program);
  return zor::test::RunProcess("/usr/bin/env", args);
}

// Runs the openssl command; the test fails with its error output when it does.
inline zor::test::ProcessResult RunOpenssl(const std::vector<std::string>& args) {
  zor::test::ProcessResult result = RunOnPath("openssl", args);
  EXPECT_EQ(result.status, 0) << "openssl " << args.at(0) << ": " << result.err;
  return result;
}

inline const zor::test::ScopedTempDir& KeyDir() {
  static const zor::test::ScopedTempDir dir;
  return dir;
}

// The private key file of an RSA key of `bits` bits; beside it, `.pub` holds
// its SubjectPublicKeyInfo PEM and `.pkcs1` its PKCS#1 "RSA PUBLIC KEY" PEM.
inline std::string RsaKey(int bits) {
  static std::set<int> generated;
  const std::string key = KeyDir().Sub("rsa" + std::to_string(bits));
  if (generated.insert(bits).second) {
    RunOpenssl({"genpkey", "-algorithm", "RSA", "-pkeyopt",
                "rsa_keygen_bits:" + std::to_string(bits), "-out", key});
    RunOpenssl({"pkey", "-in", key, "-pubout", "-out", key + ".pub"});
    RunOpenssl({"rsa", "-in", key, "-RSAPublicKey_out", "-out", key + ".pkcs1"});
  }
  return key;
}

// The key text as the protocol hands it over: the PEM file and one NUL.
inline std::vector<char> PemWithNul(const std::string& path) {
  const std::string text = zor::test::ReadFile(path);
  std::vector<char> pem(text.begin(), text.end());
  pem.push_back('\0');
  return pem;
}

// Unwraps the key in the file `wrapped` with the private key of `bits` bits
// by RSA-OAEP (SHA-1).
inline std::string Unwrap(int bits, const std::string& wrapped) {
  return RunOpenssl({"pkeyutl", "-decrypt", "-inkey", RsaKey(bits), "-pkeyopt",
                     "rsa_padding_mode:oaep", "-in", wrapped})
      .out;
}

inline Crypto::Bytes BytesOf(const std::string& text) {
  return Crypto::Bytes(text.begin(), text.end());
}

}  // namespace ZorErrorReporting::test_support
