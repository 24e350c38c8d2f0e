#include "upload/package_lister.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "packages/json_document.h"
#include "packages/package_for_test.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

namespace fs = std::filesystem;
using zor::platform::DateTime;
using zor::platform::TPath;
using zor::test::ReadFile;
using zor::test::WriteFile;

std::string StatusJson(const std::string& name, const std::string& type, const std::string& status,
                       const std::string& dataFiles = "", const std::string& results = "",
                       const std::string& remoteId = "") {
  return "{\"package-name\":\"" + name + "\",\"package-type\":\"" + type +
         "\",\"remote-package-id\":\"" + remoteId + "\",\"package-data-files\":{" + dataFiles +
         "},\"upload-status\":\"" + status + "\",\"upload-results\":[" + results + "]}";
}

std::string Result(const std::string& code, const std::string& message) {
  return "{\"timestamp\":\"2024-01-02T03:04:05.000\",\"upload-result-code\":\"" + code +
         "\",\"upload-message\":\"" + message + "\"}";
}

// Every path below `root` with its content and time: what "changes nothing" compares.
std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    const auto time = entry.last_write_time().time_since_epoch().count();
    files[entry.path().string()] =
        std::to_string(time) + ":" + (entry.is_regular_file() ? ReadFile(entry.path()) : "dir");
  }
  return files;
}

class PackageListerTest : public ::testing::Test {
 protected:
  // Writes `fileName` in the data directory and dates it `hoursAgo`.
  void Write(const std::string& fileName, const std::string& content, int hoursAgo) {
    const std::string path = data_ + "/" + fileName;
    WriteFile(path, content);
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(hoursAgo));
  }
  std::string Path(const std::string& fileName) const { return data_ + "/" + fileName; }

  zor::test::ScopedTempDir dir_;
  std::string data_ = dir_.Sub("data");
  std::string dumps_ = dir_.Sub("dumps");
};

TEST_F(PackageListerTest, ListsEveryStatusOfBothTypesAndUnreadableFiles) {
  // The started package has its zip, encrypted file and one of three parts.
  Write("started.package.zip", std::string(30, 'z'), 3);
  Write("started.encrypted", std::string(25, 'e'), 3);
  Write("started.uploaded.parts",
        "{\"upload-package-file\":\"" + Path("started.encrypted") +
            "\",\"upload-id\":\"u\",\"upload-file-size\":25,\"max-part-size\":10,"
            "\"parts-completed\":[{\"part-number\":1,\"part-tag\":\"t1\"}]}",
        3);
  Write("logs.zip", "user's zip", 1000);
  const std::string startedFiles = "\"zipped-package-file\":\"" + Path("started.package.zip") +
                                   "\",\"encrypted-package-file\":\"" + Path("started.encrypted") +
                                   "\",\"parts-uploaded-file\":\"" +
                                   Path("started.uploaded.parts") + "\"";
  Write("pending.crash-package.pending", StatusJson("pending", "crash-package", "Pending"), 1);
  Write("started.crash-package.started",
        StatusJson("started", "crash-package", "Started", startedFiles,
                   Result("NetworkError", "timed out"), "remote-7\\n\\u001b[2Jspoof"),
        3);
  // One verdict and older transient trouble; now waiting two and a half hours.
  const std::string nextAttempt =
      DateTime::FromUnixTimeMs(DateTime::GetLocalTime().GetAsUnixTimeMs() + 150 * 60 * 1000)
          .Format(zor::platform::LookupDateTimeParsingFormatString(
              zor::platform::kStatusTimestampPattern))
          .toStdString();
  std::string retry = StatusJson("retry", "crash-package", "PendingRetry", "",
                                 Result("ClientError", "a") + "," + Result("NetworkError", "b"));
  retry.pop_back();
  Write("retry.crash-package.pendingretry",
        retry + ",\"last-error\":" + Result("NetworkError", "server\\u001b[2K down") +
            ",\"transient-failures\":2,\"next-attempt\":\"" + nextAttempt + "\"}",
        5);
  Write("failed.crash-package.failed",
        StatusJson("failed", "crash-package", "Failed", "", Result("Unknown", "gave up")), 7);
  Write("done.crash-package.complete",
        StatusJson("done", "crash-package", "Complete", "", Result("Success", "ok"), "r-1"), 9);
  Write("u1.zipped-logs-package.pending",
        StatusJson("u1.zipped-logs-package", "zipped-logs-package", "Pending",
                   "\"zipped-package-file\":\"" + Path("logs.zip") + "\""),
        2);
  Write("u2.zipped-logs-package.complete",
        StatusJson("u2.zipped-logs-package", "zipped-logs-package", "Complete"), 50);
  Write("broken.crash-package.pendingretry", "{not json", 4);
  // Half an hour ago, the hour's one upload under the rate limit listed below.
  const std::string state = R"({"upload-times":[)" +
                            std::to_string(DateTime::GetLocalTime().GetAsUnixTime() - 1800) +
                            R"(],"held-back-packages":["pending"]})";
  Write("upload-rate-limit.state", state, 0);
  Write(".retry.crash-package.pendingretry.tmp", "left over", 0);  // never a status file
  // In the dump directory: the pending package's own dump, and a crash that
  // no package holds yet, written six hours ago.
  WriteFile(dumps_ + "/pending.dmp", "MDMP");
  WriteFile(dumps_ + "/app.7/app.7.dmp", "MDMP");
  fs::last_write_time(dumps_ + "/app.7/app.7.dmp",
                      fs::file_time_type::clock::now() - std::chrono::hours(6));
  // A new crash of the finished package's key, whose files are gone.
  WriteFile(dumps_ + "/later/done.dmp", "MDMP");
  fs::last_write_time(dumps_ + "/later/done.dmp",
                      fs::file_time_type::clock::now() - std::chrono::hours(8));

  const auto before = Snapshot(dir_.path());
  std::vector<PackageListEntry> entries;
  {
    test_support::LogCapture capture;  // loading warns of the missing manifests
    entries = PackageLister(TPath(data_), {TPath(dumps_)}, 1).List();
    // Under a limit that leaves room, or none, nothing due is held back.
    for (const std::optional<uint32_t> limit :
         {std::optional<uint32_t>(2), std::optional<uint32_t>()}) {
      for (const PackageListEntry& entry :
           PackageLister(TPath(data_), {TPath(dumps_)}, limit).List())
        EXPECT_FALSE(entry.heldBack) << entry.name;
    }
  }
  const DateTime now = DateTime::GetLocalTime();
  const std::string text = PackageLister::FormatText(entries, now);
  const std::string json = PackageLister::FormatJson(entries, now);
  EXPECT_EQ(Snapshot(dir_.path()), before) << "listing must change nothing";

  // Text: a header, then newest first; the unreadable one says why on its line.
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> errorLines;  // the line below an entry with a last error
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("  last error")) {
      errorLines.push_back(rows.back()[0] + ":" + line.substr(line.find(" ago: ") + 6));
      continue;
    }
    std::istringstream words(line);
    rows.emplace_back();
    for (std::string word; words >> word;) rows.back().push_back(word);
  }
  // Newest first: name, type, status, attempts, last result (the first five columns).
  using Row = std::vector<std::string>;
  const std::vector<Row> expected = {
      {"pending", "crash", "Pending", "0", "-"},
      {"u1.zipped-logs-package", "logs", "Pending", "0", "-"},
      {"started", "crash", "Started", "0", "NetworkError"},
      {"broken", "crash", "Unreadable", "-", "-"},
      {"retry", "crash", "PendingRetry", "1", "NetworkError"},
      {"app.7", "crash", "Waiting", "0", "-"},
      {"failed", "crash", "Failed", "0", "Unknown"},
      {"done", "crash", "Waiting", "0", "-"},
      {"done", "crash", "Complete", "0", "Success"},
      {"u2.zipped-logs-package", "logs", "Complete", "0", "-"},
  };
  ASSERT_EQ(rows.size(), expected.size() + 1) << text;
  EXPECT_EQ(rows[0], (Row{"NAME", "TYPE", "STATUS", "ATTEMPTS", "LAST-RESULT", "ZIP", "ENCRYPTED",
                          "AGE", "REMOTE-ID", "PARTS", "NEXT-ATTEMPT"}));
  for (size_t i = 0; i < expected.size(); ++i) {
    ASSERT_GE(rows[i + 1].size(), 10u) << text;
    EXPECT_EQ(Row(rows[i + 1].begin(), rows[i + 1].begin() + 5), expected[i]) << text;
  }
  // A server's id or message shown escaped: no row of its own, no terminal control.
  EXPECT_EQ(rows[3], (Row{"started", "crash", "Started", "0", "NetworkError", "30", "25", "3h",
                          "remote-7\\n\\x1b[2Jspoof", "1/3", "-"}));
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  EXPECT_EQ(rows[5].back(), "2h");  // "in 2h": two and a half hours from now
  EXPECT_EQ(rows[1].back(), "rate-limit");
  EXPECT_EQ(errorLines, std::vector<std::string>{"retry:server\\x1b[2K down"});
  // The user's zip counts as the logs package's zip, but its old date does
  // not age the package.
  EXPECT_EQ(rows[2], (Row{"u1.zipped-logs-package", "logs", "Pending", "0", "-", "10", "-", "2h",
                          "-", "-", "rate-limit"}));
  EXPECT_NE(text.find("Failed to read following content as JSON"), std::string::npos);

  // JSON: parsed back, the same facts in the same order.
  Json::Document doc;
  zor::platform::TString error;
  ASSERT_TRUE(Json::Parse(json, &doc, &error)) << error;
  ASSERT_TRUE(doc.IsArray());
  ASSERT_EQ(doc.Size(), expected.size());
  for (rapidjson::SizeType i = 0; i < doc.Size(); ++i) {
    const auto& item = doc[i];
    const bool readable = item["readable"].GetBool();
    // An unreadable entry has no result member at all.
    const bool hasResult = readable && !item["last-result"].IsNull();
    const Row row = {item["name"].GetString(), item["type"].GetString(),
                     readable ? item["status"].GetString() : "Unreadable",
                     readable ? std::to_string(item["attempts"].GetUint64()) : "-",
                     hasResult ? item["last-result"]["code"].GetString() : "-"};
    EXPECT_EQ(row, expected[i]);
    EXPECT_TRUE(item["age-seconds"].IsInt64());
  }
  EXPECT_STREQ(doc[3]["status"].GetString(), "PendingRetry");  // from the file name
  EXPECT_STREQ(doc[4]["last-error"]["message"].GetString(), "server\x1b[2K down");
  EXPECT_EQ(std::string(doc[4]["next-attempt"].GetString()).substr(0, 19),
            nextAttempt.substr(0, 19));
  EXPECT_NE(std::string(doc[3]["error"].GetString()).find("not json"), std::string::npos);
  const auto& started = doc[2];
  EXPECT_EQ(started["zip-bytes"].GetUint64(), 30u);
  EXPECT_EQ(started["encrypted-bytes"].GetUint64(), 25u);
  EXPECT_STREQ(started["remote-package-id"].GetString(), "remote-7\n\x1b[2Jspoof");
  EXPECT_EQ(started["parts-uploaded"].GetUint64(), 1u);
  EXPECT_EQ(started["parts-total"].GetUint64(), 3u);
  EXPECT_NEAR(started["age-seconds"].GetInt64(), 3 * 3600, 60);
  EXPECT_TRUE(doc[0]["zip-bytes"].IsNull());
  EXPECT_TRUE(doc[0]["held-back"].GetBool());
  EXPECT_TRUE(doc[1]["held-back"].GetBool());
  // Only one that would be sent now: not a sent, given-up, started or
  // waiting one.
  for (const auto& item : doc.GetArray()) {
    if (!item.HasMember("held-back") || !item["status"].IsString()) continue;
    const std::string status = item["status"].GetString();
    const std::string name = item["name"].GetString();
    if (name == "pending" || name == "u1.zipped-logs-package") continue;
    EXPECT_FALSE(item["held-back"].GetBool()) << name << " " << status;
  }
  EXPECT_TRUE(doc[0]["remote-package-id"].IsNull());
  EXPECT_TRUE(doc[5]["status-file"].IsNull());
  EXPECT_NEAR(doc[5]["age-seconds"].GetInt64(), 6 * 3600, 60);
}

TEST_F(PackageListerTest, DataDirectoryThatDoesNotExistListsNothingAndIsNotMade) {
  EXPECT_TRUE(PackageLister(TPath(data_)).List().empty());
  EXPECT_FALSE(fs::exists(data_));
  EXPECT_EQ(PackageLister::FormatJson({}, DateTime::GetLocalTime()), "[]\n");
}

}  // namespace
}  // namespace ZorErrorReporting
