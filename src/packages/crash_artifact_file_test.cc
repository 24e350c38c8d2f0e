#include "packages/crash_artifact_file.h"

#include <gtest/gtest.h>
#include <utime.h>

#include <string>
#include <vector>

#include "packages/json_document.h"
#include "packages/package_for_test.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::DateTime;
using zor::platform::TPath;

TEST(CrashArtifactFile, DescribesAFileOnDisk) {
  zor::test::ScopedTempDir dir;
  const std::string path = dir.Sub("server.77-full.dmp");
  zor::test::WriteFile(path, std::string(1234, 'x'));
  const utimbuf times{1700000000, 1700000000};  // 2023-11-14T22:13:20Z
  ASSERT_EQ(utime(path.c_str(), &times), 0);

  const CrashArtifactFile file{TPath(path)};
  EXPECT_EQ(file.GetFileName().toStdString(), path);
  EXPECT_EQ(file.GetType(), ArtifactType::kProcessFullDump);
  EXPECT_EQ(file.GetSize(), 1234u);
  EXPECT_EQ(file.GetLastWriteTime().GetAsUnixTime(), 1700000000);

  EXPECT_THROW(CrashArtifactFile{TPath(dir.Sub("gone.dmp"))}, TPath::Exception);
}

TEST(CrashArtifactFile, WritesTheRecordWithTheTimeInUtc) {
  // A local clock away from UTC, so that a missing conversion shows.
  test::ScopedEnv zone("TZ", "XST-05:30");
  const CrashArtifactFile file("/d/crashed.1.dmp", ArtifactType::kProcessMiniDump,
                               uint64_t{5} << 40, DateTime::FromUnixTimeMs(1700000000000),
                               UploadPermission::kNotAllowedFileTypeDisabledByAdmin);
  Json::Document document;
  document.CopyFrom(file.ToJson(document.GetAllocator()), document.GetAllocator());
  EXPECT_EQ(Json::WriteCompact(document),
            R"({"filename":"/d/crashed.1.dmp","type":"ProcessMiniDump","size":5497558138880,)"
            R"("last-write-time":"2023-11-14T22:13:20Z",)"
            R"("upload-permission":"NotAllowedFileTypeDisabledByAdmin"})");
}

// The smallest reader of the members table shows the rules every stored
// object is read by: names in any case, the later of two members, members of
// other types skipped.
TEST(CrashArtifactFile, ReadsRecordsLeniently) {
  // The record, and what is read: "file name|type|size|permission".
  const std::pair<const char*, std::string> cases[] = {
      {R"({"filename":"a.dmp","type":"ProcessMiniDump","size":"1024",)"
       R"("last-write-time":"2023-11-14T22:13:20Z","upload-permission":"Allowed"})",
       "a.dmp|ProcessMiniDump|1024|Allowed"},
      {R"({"FileName":"b.log","TYPE":"errorlog","Size":"18446744073709551615",)"
       R"("Upload-Permission":"notallowedfileexceedssizelimit"})",
       "b.log|ErrorLog|18446744073709551615|NotAllowedFileExceedsSizeLimit"},
      // A type or permission of no known name reads as Unknown, a member of
      // no known name is skipped; a repeated member replaces the earlier one.
      {R"({"type":"Core","upload-permission":"Maybe","filename":"x","x":[1],"filename":"y"})",
       "y|Unknown|0|Unknown"},
      // Values of other JSON types are skipped.
      {R"({"size":1.5,"type":3,"filename":null,"upload-permission":["Allowed"]})",
       "|Unknown|0|Allowed"},
  };
  for (const auto& [json, read] : cases) {
    const CrashArtifactFile file(test_support::ParseOrFail(json));
    EXPECT_EQ(file.GetFileName().toStdString() + "|" + ToName(file.GetType()).toStdString() + "|" +
                  std::to_string(file.GetSize()) + "|" +
                  ToName(file.GetUploadPermission()).toStdString(),
              read)
        << json;
    EXPECT_FALSE(file.GetLastWriteTime().IsValid());
  }
  EXPECT_THROW(CrashArtifactFile(test_support::ParseOrFail("[]")), zor::platform::ZorvaneException);
}

TEST(CrashArtifactFile, PermissionNamesAndRules) {
  // A record that holds a value outside the table cannot be written.
  CrashArtifactFile file("a.dmp", ArtifactType::kProcessMiniDump, 1, DateTime(),
                         UploadPermission::kAllowed);
  file.SetUploadPermission(static_cast<UploadPermission>(4));
  Json::Document document;
  test_support::LogCapture capture;
  EXPECT_EQ(test_support::ErrorOf([&] { file.ToJson(document.GetAllocator()); }),
            "Could not find entry in UploadPermission map. If a new value was added to "
            "UploadPermission enum then it must be added to the map as well!");
  EXPECT_NE(capture.Text().find("Could not find entry in UploadPermission map."),
            std::string::npos);

  // Chains of rotated error logs: which positions stay allowed ('y').
  const std::pair<size_t, std::string> chains[] = {
      {1, "y"}, {6, "yyyyyy"}, {7, "yyynyyy"}, {8, "yyynnyyy"}, {19, "yyynnnnnnnnnnnnnyyy"},
  };
  for (const auto& [count, allowed] : chains) {
    std::string got;
    for (size_t position = 0; position < count; ++position) {
      got += PermissionForRotatedLog(position, count) == UploadPermission::kAllowed ? 'y' : 'n';
    }
    EXPECT_EQ(got, allowed) << count << " files";
  }
}

}  // namespace
}  // namespace ZorErrorReporting
