// LogPackageMetadata: the customer details file, written and read back.
#include "packages/log_package_metadata.h"

#include <gtest/gtest.h>

#include <string>

#include "packages/json_document.h"
#include "packages/package_for_test.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::TPath;

class LogPackageMetadataTest : public test_support::TempDirTest {
 protected:
  std::shared_ptr<LogPackageMetadata> LoadText(const std::string& text) {
    return test_support::WriteAndLoad<LogPackageMetadata>(path_, text);
  }

  std::string path_ = dir_.Sub("id.zipped-logs-package.metadata");
};

TEST_F(LogPackageMetadataTest, FileHoldsTypeThenDataAndReadsBack) {
  JsonFileSerializedObject::SaveNewFile(
      std::make_shared<LogPackageMetadata>("", "J\xC3\xBCrgen@example.com"), TPath(path_));
  EXPECT_EQ(zor::test::ReadFile(path_),
            R"({"type":"CustomerUploadDetails","data":{"SupportCaseNumber":"",)"
            R"("EmailAddress":"J\u00FCrgen@example.com"}})");
  const auto loaded = LogPackageMetadata::LoadFromFile(TPath(path_));
  EXPECT_EQ(loaded->GetType(), "CustomerUploadDetails");
  EXPECT_EQ(loaded->GetSupportCaseNumber(), "");
  EXPECT_EQ(loaded->GetEmailAddress(), "J\xC3\xBCrgen@example.com");

  // The type as read is not written back.
  EXPECT_EQ(Json::WriteCompact(LoadText(R"({"type":"Other","data":{}})")->ToJson()),
            R"({"type":"CustomerUploadDetails","data":{"SupportCaseNumber":"",)"
            R"("EmailAddress":""}})");
}

TEST_F(LogPackageMetadataTest, WrongJsonTypesFailTheLoadNamingTheFile) {
  for (const char* text :
       {R"({"type":1,"data":{}})", R"({"data":[]})", R"({"data":{"SupportCaseNumber":12345}})",
        R"({"data":{"emailaddress":null}})", "[]", "not json"}) {
    SCOPED_TRACE(text);
    EXPECT_NE(test_support::ErrorOf([&] { LoadText(text); }).find(path_), std::string::npos);
  }
}

}  // namespace
}  // namespace ZorErrorReporting
