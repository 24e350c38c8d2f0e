// LogPackageMetadata: the customer details file, written and read back.
#include "packages/log_package_metadata.h"

#include <gtest/gtest.h>

#include <string>

#include "packages/json_document.h"
#include "packages/package_for_test.h"
#include "platform/zorvane_exception.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using testing::ErrorOf;
using zor::platform::TPath;
using zor::test::ReadFile;
using zor::test::ScopedTempDir;
using zor::test::WriteFile;

class LogPackageMetadataTest : public ::testing::Test {
 protected:
  std::shared_ptr<LogPackageMetadata> LoadText(const std::string& text) {
    WriteFile(path_, text);
    return LogPackageMetadata::LoadFromFile(TPath(path_));
  }

  ScopedTempDir dir_;
  std::string path_ = dir_.Sub("id.zipped-logs-package.metadata");
};

TEST_F(LogPackageMetadataTest, FileHoldsTypeThenDataWithBothMembersEvenWhenEmpty) {
  JsonFileSerializedObject::SaveNewFile(std::make_shared<LogPackageMetadata>("12345", ""),
                                        TPath(path_));
  EXPECT_EQ(ReadFile(path_),
            R"({"type":"CustomerUploadDetails","data":{"SupportCaseNumber":"12345",)"
            R"("EmailAddress":""}})");
}

TEST_F(LogPackageMetadataTest, SavedFileReadsBack) {
  const auto saved = JsonFileSerializedObject::SaveNewFile(
      std::make_shared<LogPackageMetadata>("CS-0042", "J\xC3\xBCrgen@example.com"), TPath(path_));
  EXPECT_EQ(saved->GetType(), "");

  const auto loaded = LogPackageMetadata::LoadFromFile(TPath(path_));
  EXPECT_EQ(loaded->GetFilePath(), TPath(path_));
  EXPECT_EQ(loaded->GetType(), "CustomerUploadDetails");
  EXPECT_EQ(loaded->GetSupportCaseNumber(), "CS-0042");
  EXPECT_EQ(loaded->GetEmailAddress(), "J\xC3\xBCrgen@example.com");
}

TEST_F(LogPackageMetadataTest, ReadsNamesIgnoringCaseAndSkipsTheRest) {
  struct Case {
    const char* name;
    const char* json;
    const char* type;
    const char* caseNumber;
    const char* email;
  };
  const Case cases[] = {
      {"upper-case names",
       R"({"TYPE":"CustomerUploadDetails","DATA":{"SUPPORTCASENUMBER":"7","EMAILADDRESS":"a@b"}})",
       "CustomerUploadDetails", "7", "a@b"},
      {"unknown members skipped",
       R"({"extra":1,"type":"T","data":{"x":[1],"EmailAddress":"e","y":null},"more":{}})", "T", "",
       "e"},
      {"later member wins", R"({"data":{"SupportCaseNumber":"1","SupportCaseNumber":"2"}})", "",
       "2", ""},
      {"empty object", "{}", "", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto metadata = LoadText(c.json);
    EXPECT_EQ(metadata->GetType(), c.type);
    EXPECT_EQ(metadata->GetSupportCaseNumber(), c.caseNumber);
    EXPECT_EQ(metadata->GetEmailAddress(), c.email);
  }
}

TEST_F(LogPackageMetadataTest, TypeAsReadIsNotWrittenBack) {
  const auto metadata = LoadText(R"({"type":"Other","data":{}})");
  EXPECT_EQ(Json::WriteCompact(metadata->ToJson()),
            R"({"type":"CustomerUploadDetails","data":{"SupportCaseNumber":"",)"
            R"("EmailAddress":""}})");
}

TEST_F(LogPackageMetadataTest, WrongJsonTypesFailTheLoadNamingTheFile) {
  const char* const texts[] = {
      R"({"type":1,"data":{}})",
      R"({"type":"T","data":"not an object"})",
      R"({"data":[]})",
      R"({"data":{"SupportCaseNumber":12345}})",
      R"({"data":{"emailaddress":null}})",
      "[]",
      "not json",
  };
  for (const char* text : texts) {
    SCOPED_TRACE(text);
    EXPECT_NE(ErrorOf([&] { LoadText(text); }).find(path_), std::string::npos);
  }
}

}  // namespace
}  // namespace ZorErrorReporting
