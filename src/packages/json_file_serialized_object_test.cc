#include "packages/json_file_serialized_object.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "packages/json_document.h"
#include "packages/package_for_test.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using test_support::AllErrorsOf;
using ::testing::AllOf;
using test_support::ErrorOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using zor::platform::TPath;
using zor::platform::TString;
using zor::test::ReadFile;
using zor::test::WriteFile;

// A minimal state object: a name and a count, read with the usual rules
// (names without regard to case, members of other types skipped).
class Record : public JsonFileSerializedObject {
 public:
  Record(TString name, int64_t count) : name_(std::move(name)), count_(count) {}
  explicit Record(const rapidjson::Value& json) {
    for (const auto& member : json.GetObject()) {
      if (member.value.IsString() && Json::NameEqualsNoCase(member.name, "name")) {
        name_ = Json::GetText(member.value);
      } else if (Json::IsInteger(member.value) && Json::NameEqualsNoCase(member.name, "count")) {
        count_ = Json::GetInt64(member.value);
      }
    }
  }
  static std::shared_ptr<Record> LoadFromFile(const TPath& path) {
    return LoadObjectFromFile<Record>(path);
  }

  rapidjson::Document ToJson() const override {
    Json::Document document(rapidjson::kObjectType);
    auto& allocator = document.GetAllocator();
    document.AddMember("name", Json::MakeString(name_, allocator), allocator);
    document.AddMember("count", Json::Value(count_), allocator);
    return document;
  }

  TString name_;
  int64_t count_ = 0;
};

std::vector<std::string> DirectoryNames(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class JsonFileSerializedObjectTest : public test_support::TempDirTest {};

TEST_F(JsonFileSerializedObjectTest, SavedFileIsOneCompactLineAndStable) {
  Record unbound("a", 1);
  EXPECT_EQ(ErrorOf([&] { unbound.Save(); }), "Cannot save object as the path is not set");
  EXPECT_TRUE(DirectoryNames(dir_.path()).empty());

  const std::string path = dir_.Sub("r.status");
  auto record = JsonFileSerializedObject::SaveNewFile(
      std::make_shared<Record>("caf\u00e9 \"q\" \\ \t \U0001F600", -3), path);
  const std::string first = ReadFile(path);
  EXPECT_EQ(first, R"({"name":"caf\u00E9 \"q\" \\ \t \uD83D\uDE00","count":-3})");
  record->Save();
  EXPECT_EQ(ReadFile(path), first);
  // Only the target is left: no temporary file stays behind a save.
  EXPECT_EQ(DirectoryNames(dir_.path()), std::vector<std::string>{"r.status"});

  auto loaded = Record::LoadFromFile(path);
  EXPECT_EQ(loaded->name_, record->name_);
  EXPECT_EQ(loaded->GetFilePath(), TPath(path));
}

TEST_F(JsonFileSerializedObjectTest, BoundObjectMovesOnlyByRename) {
  const std::string from = dir_.Sub("p.pending");
  const std::string to = dir_.Sub("p.uploading");
  auto record = JsonFileSerializedObject::SaveNewFile(std::make_shared<Record>("a", 1), from);
  for (const std::string& other : {from, to}) {
    EXPECT_EQ(ErrorOf([&] { record->SetFilePath(other); }),
              "Object is already serialized to a different location.Use RenameFilePath to "
              "change serialized file location.Current serialization path is: '" +
                  from + "'.");
  }
  record->RenameFilePath(to);
  EXPECT_EQ(DirectoryNames(dir_.path()), std::vector<std::string>{"p.uploading"});
}

TEST_F(JsonFileSerializedObjectTest, FailedSaveKeepsPreviousContent) {
  const std::string path = dir_.Sub("r.status");
  auto record = JsonFileSerializedObject::SaveNewFile(std::make_shared<Record>("a", 1), path);
  const std::string before = ReadFile(path);
  // A full disk, for real and even for root: a file size limit below the
  // record's size fails the write of the temporary file.
  const zor::test::ProcessResult child = zor::test::RunInChild([&] {
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 4;
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 3;
    record->count_ = 2;
    std::printf("%s", AllErrorsOf([&] { record->Save(); }).c_str());
    return 0;
  });
  EXPECT_THAT(child.out, AllOf(StartsWith("Failed to open file for writing: '" + path + "'"),
                               HasSubstr("/.r.status."), HasSubstr("File too large")));
  EXPECT_EQ(ReadFile(path), before);
  EXPECT_EQ(DirectoryNames(dir_.path()), std::vector<std::string>{"r.status"});

  Record unsaved("b", 1);
  unsaved.SetFilePath(dir_.Sub("missing/dir/r.status"));
  EXPECT_THROW(unsaved.Save(), TPath::Exception);
}

TEST_F(JsonFileSerializedObjectTest, LoadFailsNamingTheFileForEveryTruncationAndNonObject) {
  const std::string path = dir_.Sub("r.status");
  JsonFileSerializedObject::SaveNewFile(std::make_shared<Record>("truncated", 42), path);
  const std::string whole = ReadFile(path);
  for (size_t length = 0; length < whole.size(); ++length) {
    const std::string cut = whole.substr(0, length);
    WriteFile(path, cut);
    const std::string error = AllErrorsOf([&] { Record::LoadFromFile(path); });
    EXPECT_THAT(error, AllOf(HasSubstr("Failed to read following content as JSON: '" + cut + "'"),
                             HasSubstr(path)));
  }
  for (const std::string& text : {std::string("[1,2]"), std::string("5"), std::string("{}{}"),
                                  std::string("{\"name\":\"a\"} x")}) {
    WriteFile(path, text);
    EXPECT_THAT(AllErrorsOf([&] { Record::LoadFromFile(path); }), HasSubstr(path));
  }
  EXPECT_THROW(Record::LoadFromFile(dir_.Sub("absent.status")), TPath::Exception);
}

TEST_F(JsonFileSerializedObjectTest, OversizedFileIsRefusedUnread) {
  const std::string path = dir_.Sub("huge.status");
  WriteFile(path, "{}");
  std::filesystem::resize_file(path, JsonFileSerializedObject::kMaxFileSize + 1);
  const std::string error = AllErrorsOf([&] { Record::LoadFromFile(path); });
  EXPECT_THAT(error, HasSubstr("File: '" + path + "'. Reason: the file has 16777217 bytes"));
}

}  // namespace
}  // namespace ZorErrorReporting
