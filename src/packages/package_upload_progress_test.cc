#include "packages/package_upload_progress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "packages/json_document.h"
#include "packages/package_for_test.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::ZorvaneException;
using zor::test::ReadFile;

constexpr uint64_t kPart = 52428800;  // the default part size
constexpr uint64_t kGiB = uint64_t{1} << 30;

class PackageUploadProgressTest : public test_support::TempDirTest {
 protected:
  // Writes `text` as a progress file and loads it, returning the log too.
  std::shared_ptr<PackageUploadProgress> Load(const std::string& text, std::string* log) {
    zor::test::WriteFile(path_, text);
    test_support::LogCapture capture;
    auto progress = PackageUploadProgress::LoadFromFile(path_);
    *log = capture.Text();
    return progress;
  }

  std::string path_ = dir_.Sub("pkg.uploaded.parts");
};

TEST_F(PackageUploadProgressTest, PartCountRoundsUp) {
  struct Case {
    uint64_t size;
    uint64_t partSize;
    int parts;
  };
  const Case cases[] = {
      {0, kPart, 0},
      {1, kPart, 1},
      {kPart, kPart, 1},
      {2 * kPart + 1, kPart, 3},
      {5 * kGiB + 1, kPart, 103},  // 5 GiB is 102.4 parts
      {(uint64_t{1} << 62) + 1, uint64_t{1} << 49, (1 << 13) + 1},
  };
  for (const Case& c : cases) {
    PackageUploadProgress progress("/d/p.zip", c.size, c.partSize);
    EXPECT_EQ(progress.GetPartCount(), c.parts) << c.size << " / " << c.partSize;
  }
}

// A damaged record is refused, so that the upload starts again rather than
// complete a cut object.
TEST_F(PackageUploadProgressTest, UnusablePartSizeIsRejected) {
  EXPECT_THROW(PackageUploadProgress("/d/p.zip", 10, 0), ZorvaneException);
  EXPECT_THROW(PackageUploadProgress("/d/p.zip", 10001, 1), ZorvaneException);
  EXPECT_NO_THROW(PackageUploadProgress("/d/p.zip", 10000, 1));
  std::string log;
  EXPECT_THROW(Load(R"({"upload-file-size":10,"max-part-size":0})", &log), ZorvaneException);
  EXPECT_THROW(Load(R"({"upload-file-size":10,"max-part-size":5,)"
                    R"("parts-completed":[{"part-number":3,"part-tag":"t"}]})",
                    &log),
               ZorvaneException);
  EXPECT_NO_THROW(Load(R"({"upload-file-size":10,"max-part-size":5,)"
                       R"("parts-completed":[{"part-number":2,"part-tag":"t"}]})",
                       &log));
}

TEST_F(PackageUploadProgressTest, ChangesAreSavedAtOnceAndReadBack) {
  const uint64_t size = 5 * kGiB + 7;
  auto progress = std::make_shared<PackageUploadProgress>("/data/p k.zip", size, kPart, "up-1");
  auto parts = progress->GetCompletedParts();
  progress->SetFilePath(path_);
  progress->AddCompletedPart(103, "\"tag103\"");
  progress->AddCompletedPart(1, "\"tag1\"");
  progress->AddCompletedPart(1, "again");  // a repeated confirmation keeps the first tag
  EXPECT_EQ(*parts, (PackageUploadProgress::CompletedParts{
                        {1, "\"tag1\""}, {103, "\"tag103\""}}));  // callers see the shared map
  EXPECT_EQ(ReadFile(path_),
            R"({"upload-package-file":"/data/p k.zip","upload-id":"up-1",)"
            R"("upload-file-size":5368709127,"max-part-size":52428800,"part-count":103,)"
            R"("parts-completed":[{"part-number":1,"part-tag":"\"tag1\""},)"
            R"({"part-number":103,"part-tag":"\"tag103\""}]})");

  std::string log;
  auto loaded = Load(ReadFile(path_), &log);
  EXPECT_EQ(log, "");  // the part count read matches the computed one
  EXPECT_EQ(loaded->GetUploadFileSize(), size);
  EXPECT_EQ(Json::WriteCompact(loaded->ToJson()), Json::WriteCompact(progress->ToJson()));

  // The loaded object is bound: the next change goes to the same file.
  loaded->AddCompletedPart(2, "second");
  EXPECT_EQ(PackageUploadProgress::LoadFromFile(path_)->GetCompletedParts()->size(), 3u);
}

TEST_F(PackageUploadProgressTest, ReaderToleratesOddMembers) {
  const std::string head = R"({"upload-file-size":400,"max-part-size":100,"part-count":4,)";
  const std::string ignoring = "Ignoring unexpected parameter ";
  // The file, what is read ("size|upload id|part=tag,..."), and the lines it logs.
  const std::tuple<std::string, std::string, std::vector<std::string>> cases[] = {
      // Incomplete parts are dropped, the first tag wins.
      {head + R"("parts-completed":[{"part-number":1},{"part-number":0,"part-tag":"z"},)"
              R"({"part-tag":"n"},{"part-number":2,"part-tag":"a"},)"
              R"({"part-number":2,"part-tag":"b"},{"Part-Number":"3","PART-TAG":"c"}]})",
       "400||2=a,3=c,",
       {}},
      {head +
           R"("extra":"x","list":[],"parts-completed":[{"part-number":1,"part-tag":"t","etag":1}]})",
       "400||1=t,",
       {ignoring + "'extra' in JSON string", ignoring + "'list' in JSON string",
        ignoring + "'etag' in JSON string"}},
      // Known names of an unexpected type are reported like unknown ones.
      {head + R"("upload-id":5,"max-part-size":true,"parts-completed":{}})",
       "400||",
       {ignoring + "'upload-id' in JSON string", ignoring + "'max-part-size' in JSON string",
        ignoring + "'parts-completed' in JSON string"}},
      {R"({"upload-file-size":400,"max-part-size":100,"part-count":5})",
       "400||",
       {"PartCount '5' in Json does not match calculated count '4' from file size and part size "
        "fields.  Calculated field will be used."}},
  };
  for (const auto& [json, read, logged] : cases) {
    SCOPED_TRACE(json);
    std::string log;
    auto loaded = Load(json, &log);
    std::string got = std::to_string(loaded->GetUploadFileSize()) + "|" +
                      loaded->GetUploadId().toStdString() + "|";
    for (const auto& [number, tag] : *loaded->GetCompletedParts()) {
      got += std::to_string(number) + "=" + tag.toStdString() + ",";
    }
    EXPECT_EQ(got, read);
    for (const std::string& line : logged) {
      EXPECT_NE(log.find(line), std::string::npos) << line << "\nnot in:\n" << log;
    }
    // Each line names the file; silently skipped members produce no line.
    EXPECT_EQ(log.empty(), logged.empty()) << log;
    EXPECT_EQ(log.find(path_) == std::string::npos, logged.empty()) << log;
    EXPECT_EQ(log.find("upload-file-size"), std::string::npos) << log;
  }
  // A part that is not an object fails the load.
  std::string log;
  EXPECT_NE(test_support::AllErrorsOf([&] {
              Load(R"({"upload-file-size":4,"max-part-size":1,"parts-completed":[1]})", &log);
            }).find(path_),
            std::string::npos);
}

}  // namespace
}  // namespace ZorErrorReporting
