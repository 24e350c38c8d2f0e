// Test helpers shared by the crypto tests: key files made by the openssl
// command (an implementation independent of ours), generated once per test
// process in a temporary directory; a fixture with a data directory, real
// zips and packages to encrypt.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "crypto/crypto.h"
#include "crypto/package_encryptor.h"
#include "files/filesystem.h"
#include "packages/log_package_metadata.h"
#include "packages/logs_package.h"
#include "packages/package_for_test.h"
#include "packages/system_info.h"
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

// A data directory of the test's own, the encryptor of a 2048-bit key, and
// packages around real zips.
class PackageEncryptorTest : public TempDirTest {
 protected:
  PackageEncryptorTest() { std::filesystem::create_directories(data_); }

  // A real zip of a few files (one spans many cipher blocks), outside the
  // data directory as a crash's zip is not.
  std::string MakeZip(const std::string& name) {
    std::set<zor::platform::TPath> files;
    std::string big(300 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131) ^ (i >> 9));
    const std::pair<std::string, std::string> contents[] = {
        {"app.dmp", big}, {"app.manifest", "{\"a\":1}"}, {"empty.log", ""}};
    for (const auto& [file, content] : contents) {
      zor::test::WriteFile(dir_.Sub("files/" + file), content);
      files.insert(zor::platform::TPath(dir_.Sub("files/" + file)));
    }
    const std::string zip = dir_.Sub(name);
    EXPECT_TRUE(Filesystem::GetInstance().CreateZip(zor::platform::TPath(zip), files));
    return zip;
  }

  // A crash package with a saved status file that records `zip`.
  std::shared_ptr<TestPackage> CrashPackage(const std::string& name, const std::string& zip) {
    auto package = JsonFileSerializedObject::SaveNewFile(
        std::make_shared<TestPackage>(name, PackageType::kCrashPackage),
        zor::platform::TPath(data_ + "/" + name + ".pending"));
    package->SetDataFilePath(DataFileKind::kZippedPackageFile, zor::platform::TPath(zip));
    return package;
  }

  // A logs package around `zip` with the customer's details, as send-logs
  // makes it.
  std::shared_ptr<LogsPackage> LogsPackageOf(const std::string& zip) {
    const zor::platform::TUUID id = SystemInfo::Get().CreateUuid();
    const std::string base =
        data_ + "/" + zor::platform::TString(id).toStdString() + ".zipped-logs-package";
    auto package = LogsPackage::Create(zor::platform::TPath(base), zor::platform::TPath(zip), id);
    JsonFileSerializedObject::SaveNewFile(
        std::make_shared<LogPackageMetadata>("12345", "user\u00e9@example.com"),
        zor::platform::TPath(base + ".metadata"));
    package->SetDataFilePath(DataFileKind::kPackageMetadataFile,
                             zor::platform::TPath(base + ".metadata"));
    return package;
  }

  std::string data_ = dir_.Sub("data");
  ScopedTestConfig config_{dir_, data_, 1 << 20};
  PackageEncryptor encryptor_{"key-7",
                              TestKeys::PemWithNul(TestKeys::Rsa(2048, TestKeys::Form::kPublic))};
};

}  // namespace ZorErrorReporting::testing
