#include "packages/package.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <string>

#include "packages/json_document.h"
#include "packages/package_for_test.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using test_support::AllErrorsOf;
using test_support::ErrorOf;
using test_support::TestPackage;
using zor::platform::DateTime;
using zor::platform::TPath;
using zor::platform::TUUID;
using zor::test::ReadFile;
using Kind = DataFileKind;
using Status = UploadStatus;

constexpr char kId[] = "{1b4e28ba-2fa1-4fd2-883f-0016d3cca427}";

// 2024-03-05 10:20:30.123 on a clock two hours east of UTC.
DateTime FixedTime() {
  return DateTime(QDateTime(QDate(2024, 3, 5), QTime(10, 20, 30, 123), Qt::OffsetFromUTC, 7200));
}

class PackageTest : public test_support::TempDirTest {
 protected:
  // A new package saved as "<dir>/<name>.crash-package.<extension>".
  std::shared_ptr<TestPackage> Create(const std::string& extension = "pending",
                                      const std::string& name = "p") {
    return JsonFileSerializedObject::SaveNewFile(
        std::make_shared<TestPackage>(name, PackageType::kCrashPackage, TUUID(kId), boundary_),
        TPath(dir_.Sub(name + ".crash-package." + extension)));
  }
  std::shared_ptr<TestPackage> Load(const std::string& json) {
    return test_support::WriteAndLoad<TestPackage>(dir_.Sub("s.pending"), json, boundary_);
  }
};

TEST_F(PackageTest, StatusFileFormatRoundTrips) {
  auto package = Create();
  package->SetRemotePackageId("r-\u00e9");
  // Recorded out of order: the file lists them by kind.
  package->SetDataFilePath(Kind::kZippedPackageFile, TPath("/data/p.package.zip"));
  package->SetDataFilePath(Kind::kManifestFile, TPath("/dumps/a b/p.manifest"));
  package->AddUploadResult({FixedTime(), UploadResultCode::kClientError, "said \"no\""});
  package->AddUploadResult({DateTime(), UploadResultCode::kSuccess, ""});
  // Transient trouble after them: the last error and the delay, no result.
  package->RecordTransientFailure({FixedTime(), UploadResultCode::kNetworkError, "down"},
                                  FixedTime());
  package->SetUploadStatus(Status::kStarted);
  EXPECT_EQ(ReadFile(package->GetFilePath().NativeString()),
            std::string(R"({"package-name":"p","package-type":"crash-package",)") +
                R"("local-package-id":"{1b4e28ba-2fa1-4fd2-883f-0016d3cca427}",)"
                R"("remote-package-id":"r-\u00E9","package-data-files":{)"
                R"("manifest-file":"/dumps/a b/p.manifest",)"
                R"("zipped-package-file":"/data/p.package.zip"},"upload-status":"Started",)"
                R"("upload-results":[{"timestamp":"2024-03-05T10:20:30.123+02:00",)"
                R"("upload-result-code":"ClientError","upload-message":"said \"no\""},)"
                R"({"timestamp":"","upload-result-code":"Success","upload-message":""}],)"
                R"("last-error":{"timestamp":"2024-03-05T10:20:30.123+02:00",)"
                R"("upload-result-code":"NetworkError","upload-message":"down"},)"
                R"("transient-failures":1,"next-attempt":"2024-03-05T10:20:30.123+02:00",)" +
                R"("made-at":)" + std::to_string(package->GetMadeAt().GetAsUnixTimeMs()) + "}");

  auto loaded = TestPackage::LoadFromFile(package->GetFilePath(), boundary_);
  EXPECT_EQ(Json::WriteCompact(loaded->ToJson()), Json::WriteCompact(package->ToJson()));
  EXPECT_EQ(loaded->GetUploadResults()[0].time, FixedTime());
  EXPECT_EQ(loaded->GetNextAttempt(), FixedTime());
  EXPECT_EQ(loaded->GetMadeAt(), package->GetMadeAt());
  EXPECT_EQ(loaded->CountedAttempts(), 1);
}

// The package as one line: name, type, status, remote id, data files.
std::string Summary(const Package& package) {
  std::string text = package.GetPackageName().toStdString() + "|" +
                     ToName(package.GetPackageType()).toStdString() + "|" +
                     ToName(package.GetUploadStatus()).toStdString() + "|" +
                     package.GetRemotePackageId().toStdString() + "|";
  for (const auto& [kind, path] : package.GetDataFiles()) {
    text += ToName(kind).toStdString() + "=" + path.NativeString() + ";";
  }
  return text;
}

TEST_F(PackageTest, ReaderIsLenient) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"package-name":"p","upload-status":"complete"})", "p|unknown-package|Complete||"},
      {R"({"crash-correlation-id":"c0ffee"})", "c0ffee|unknown-package|Pending||"},
      {R"({"package-name":"a","CRASH-CORRELATION-ID":"b"})", "b|unknown-package|Pending||"},
      {R"({"PACKAGE-NAME":"p","Package-Type":"CRASH-PACKAGE","UPLOAD-STATUS":"pendingretry",)"
       R"("Remote-Package-Id":"r"})",
       "p|crash-package|PendingRetry|r|"},
      // Kind names in any case; a name that is no kind, or a value that is no
      // string, is skipped.
      {R"({"package-name":"p","package-data-files":{"MANIFEST-FILE":"/d/m","no-kind":"/d/x",)"
       R"("zipped-package-file":7,"Encrypted-Package-File":"/d/e"}})",
       "p|unknown-package|Pending||manifest-file=/d/m;encrypted-package-file=/d/e;"},
      // Known members of other types are skipped.
      {R"({"package-name":"p","package-type":1,"upload-status":["Complete"],)"
       R"("package-data-files":"x","upload-results":{"a":"b"},"remote-package-id":null,)"
       R"("crash-correlation-id":5})",
       "p|unknown-package|Pending||"},
  };
  for (const auto& [json, expected] : cases) {
    auto package = Load(json);
    EXPECT_EQ(Summary(*package), expected) << json;
    EXPECT_TRUE(package->GetUploadResults().empty()) << json;
    EXPECT_TRUE(package->GetLocalPackageId().IsNull()) << json;
  }
  EXPECT_EQ(
      Load(R"({"package-name":"p","LOCAL-PACKAGE-ID":"1B4E28BA-2FA1-4FD2-883F-0016D3CCA427"})")
          ->GetLocalPackageId(),
      TUUID(kId));
}

TEST_F(PackageTest, MalformedStatusFilesFailToLoad) {
  for (const char* json :
       {R"({"package-type":"crash-package"})", R"({"package-name":""})", R"({"Package-Name":7})"}) {
    // Among many status files, the message must say which one is broken.
    EXPECT_EQ(AllErrorsOf([&] { Load(json); }),
              "Failed to read the JSON object in '" + dir_.Sub("s.pending") +
                  "': Package name is empty!")
        << json;
  }
  for (const char* json :
       {R"({"package-name":"p","upload-results":["Success"]})",
        R"({"package-name":"p","upload-results":[{"upload-result-code":"Success","extra":1}]})"}) {
    EXPECT_THROW(Load(json), zor::platform::ZorvaneException) << json;
  }
  EXPECT_EQ(ErrorOf([&] { TestPackage("", PackageType::kCrashPackage, boundary_); }),
            "Package name is empty!");
}

TEST_F(PackageTest, UnparsableTimestampKeepsTheResult) {
  test_support::LogCapture capture;
  auto package =
      Load(R"({"package-name":"p","upload-results":[)"
           R"({"TIMESTAMP":"yesterday","Upload-Result-Code":"networkerror","upload-message":"m"},)"
           R"({"timestamp":"2024-03-05T10:20:30.123+02:00","upload-result-code":"Success",)"
           R"("upload-message":"ok","note":"x"}]})");
  EXPECT_EQ(capture.Text(), "Could not parse timestamp\n");
  const auto results = package->GetUploadResults();
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(results[0].time.IsValid());
  EXPECT_EQ(results[0].code, UploadResultCode::kNetworkError);
  EXPECT_EQ(results[0].message, "m");
  EXPECT_EQ(results[1].time, FixedTime());
}

// A status change renames the file, but never over another one.
TEST_F(PackageTest, StatusChangeRenamesTheLastExtension) {
  auto package = Create("started");
  const TPath started = package->GetFilePath();
  package->SetUploadStatus(Status::kPendingRetry);
  EXPECT_EQ(package->GetFilePath(), TPath(dir_.Sub("p.crash-package.pendingretry")));
  EXPECT_FALSE(test_support::Exists(started));
  EXPECT_EQ(TestPackage::LoadFromFile(package->GetFilePath(), boundary_)->GetUploadStatus(),
            Status::kPendingRetry);

  // A logs package's name already ends with its type.
  auto logs = JsonFileSerializedObject::SaveNewFile(
      std::make_shared<TestPackage>("id.zipped-logs-package", PackageType::kZippedLogsPackage,
                                    boundary_),
      TPath(dir_.Sub("id.zipped-logs-package.pending")));
  logs->SetUploadStatus(Status::kComplete);
  EXPECT_EQ(logs->GetFilePath(), TPath(dir_.Sub("id.zipped-logs-package.complete")));

  // The same status: the file is saved in place, quietly.
  package->SetUploadStatus(Status::kStarted);
  const TPath path = package->GetFilePath();
  package->SetRemotePackageId("r-9");
  {
    test_support::LogCapture capture;
    package->SetUploadStatus(Status::kStarted);
    EXPECT_EQ(capture.Text(), "");
  }
  EXPECT_EQ(package->GetFilePath(), path);
  EXPECT_EQ(TestPackage::LoadFromFile(path, boundary_)->GetRemotePackageId(), "r-9");

  // Another file's name: nothing is overwritten, the new status is saved in place.
  const std::string stale = dir_.Sub("p.crash-package.complete");
  zor::test::WriteFile(stale, "stale");
  EXPECT_EQ(ErrorOf([&] { package->SetUploadStatus(Status::kComplete); }),
            "Cannot rename file because destination already exists!Original file: '" +
                path.NativeString() + "'. Destination file: '" + stale + "'");
  EXPECT_EQ(ReadFile(stale), "stale");
  EXPECT_EQ(package->GetFilePath(), path);
  EXPECT_EQ(TestPackage::LoadFromFile(path, boundary_)->GetUploadStatus(), Status::kComplete);
}

TEST_F(PackageTest, UploadInProgressNeedsAnActiveStatusAndAProgressFile) {
  const std::pair<Status, bool> cases[] = {
      {Status::kUnknown, false},     {Status::kPending, true}, {Status::kStarted, true},
      {Status::kPendingRetry, true}, {Status::kFailed, false}, {Status::kComplete, false},
  };
  for (const auto& [status, inProgress] : cases) {
    SCOPED_TRACE(ToName(status).toStdString());
    auto package = Create("new", "p" + ToName(status).toStdString());
    package->SetUploadStatus(status);
    package->SetDataFilePath(Kind::kEncryptedPackageFile, TPath("/p.zip.enc"));
    EXPECT_FALSE(package->IsUploadInProgress());
    package->SetDataFilePath(Kind::kPartsUploadedFile, TPath("/p.uploaded.parts"));
    EXPECT_EQ(package->IsUploadInProgress(), inProgress);
  }
}

}  // namespace
}  // namespace ZorErrorReporting
