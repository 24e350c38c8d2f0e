#include "packages/package_encryption_metadata.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "packages/json_document.h"
#include "packages/package_for_test.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::TPath;
using zor::test::ReadFile;
using Bytes = PackageEncryptionMetadata::Bytes;
using Metadata = PackageEncryptionMetadata;

class PackageEncryptionMetadataTest : public test_support::TempDirTest {
 protected:
  std::shared_ptr<Metadata> Save(std::shared_ptr<Metadata> metadata) {
    std::filesystem::remove(path_);
    return JsonFileSerializedObject::SaveNewFile(std::move(metadata), TPath(path_));
  }
  std::shared_ptr<Metadata> Load(const std::string& json) {
    return test_support::WriteAndLoad<Metadata>(path_, json);
  }

  std::string path_ = dir_.Sub("id.zip.zormeta");
};

TEST_F(PackageEncryptionMetadataTest, CustomDataMembersOnlyWithCustomData) {
  // The custom IV is held without custom data but not written.
  Save(std::make_shared<Metadata>("k-1", Metadata::kContentEncryptionAlgorithm,
                                  Metadata::kKeyWrapAlgorithm, 5, Bytes{1, 2, 3}, Bytes(12, 0),
                                  Bytes{0xff}, Bytes{}, Bytes(12, 7), Bytes{}));
  EXPECT_EQ(ReadFile(path_),
            R"({"enc-key-id":"k-1","enc-cek-alg":"AES/GCM/NoPadding","enc-wrap-alg":"RSAES-OAEP",)"
            R"("enc-unencrypted-content-length":5,"enc-key":"AQID","enc-iv":"AAAAAAAAAAAAAAAA",)"
            R"("enc-tag":"/w=="})");

  Save(std::make_shared<Metadata>("k-1", "a", "w", 0, Bytes{}, Bytes{}, Bytes{}, Bytes{'h', 'i'},
                                  Bytes{1}, Bytes{2, 2}));
  EXPECT_EQ(ReadFile(path_),
            R"({"enc-key-id":"k-1","enc-cek-alg":"a","enc-wrap-alg":"w",)"
            R"("enc-unencrypted-content-length":0,"enc-key":"","enc-iv":"","enc-tag":"",)"
            R"("client-custom-data":"aGk=","client-custom-data-iv":"AQ==",)"
            R"("client-custom-data-tag":"AgI="})");
}

TEST_F(PackageEncryptionMetadataTest, EveryFieldRoundTrips) {
  Bytes wrappedKey(256);  // long enough for Base64 to come in several lines
  for (size_t i = 0; i < wrappedKey.size(); ++i) wrappedKey[i] = static_cast<uint8_t>(i * 7);
  const auto saved = Save(std::make_shared<Metadata>(
      "key \"7\"", Metadata::kContentEncryptionAlgorithm, Metadata::kKeyWrapAlgorithm, UINT64_MAX,
      wrappedKey, Bytes(12, 0xa5), Bytes(16, 0x5a), Bytes(300, 'c'), Bytes(12, 1), Bytes(16, 2)));
  EXPECT_EQ(ReadFile(path_).find('\n'), std::string::npos);

  auto loaded = Metadata::LoadFromFile(TPath(path_));
  EXPECT_EQ(loaded->GetUnencryptedContentLength(), UINT64_MAX);
  EXPECT_EQ(loaded->GetEncryptedKey(), wrappedKey);
  EXPECT_EQ(loaded->GetClientCustomDataTag(), Bytes(16, 2));
  EXPECT_EQ(Json::WriteCompact(loaded->ToJson()), Json::WriteCompact(saved->ToJson()));
}

TEST_F(PackageEncryptionMetadataTest, KnownMembersOfAnotherTypeFailTheLoad) {
  for (const char* json :
       {R"({"enc-unencrypted-content-length":"5"})", R"({"enc-unencrypted-content-length":-1})",
        R"({"enc-unencrypted-content-length":1.5})", R"({"enc-key-id":7})", R"({"ENC-TAG":null})",
        R"({"client-custom-data-iv":["AQ=="]})", R"({"enc-key":"not base64!"})"}) {
    EXPECT_NE(test_support::AllErrorsOf([&] { Load(json); }).find(path_), std::string::npos) << json;
  }
}

}  // namespace
}  // namespace ZorErrorReporting
