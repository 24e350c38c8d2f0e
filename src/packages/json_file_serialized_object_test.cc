#include "packages/json_file_serialized_object.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "packages/json_document.h"
#include "packages/log_capture_for_test.h"
#include "platform/zorvane_exception.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
using zor::test::ReadFile;
using zor::test::ScopedTempDir;
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

std::string Message(const ZorvaneException& e) { return e.GetConcatenatedMessages().toStdString(); }

std::vector<std::string> DirectoryNames(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class JsonFileSerializedObjectTest : public ::testing::Test {
 protected:
  ScopedTempDir dir_;
};

TEST_F(JsonFileSerializedObjectTest, SaveWithoutPathThrowsAndCreatesNothing) {
  Record record("a", 1);
  try {
    record.Save();
    FAIL() << "Save of an unbound object succeeded";
  } catch (const ZorvaneException& e) {
    EXPECT_STREQ(e.what(), "Cannot save object as the path is not set");
  }
  EXPECT_TRUE(DirectoryNames(dir_.path()).empty());
}

TEST_F(JsonFileSerializedObjectTest, SavedFileIsOneCompactLineAndStable) {
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
  EXPECT_EQ(loaded->count_, -3);
  EXPECT_EQ(loaded->GetFilePath(), TPath(path));
}

TEST_F(JsonFileSerializedObjectTest, ReaderAcceptsCommentsAndNamesInAnyCase) {
  const std::string path = dir_.Sub("r.status");
  WriteFile(path,
            "// state\n{ /* first */ \"NAME\" : \"x\",\n \"Count\": 7, \"count\": \"no\" }\n");
  auto loaded = Record::LoadFromFile(path);
  EXPECT_EQ(loaded->name_, "x");
  EXPECT_EQ(loaded->count_, 7);
}

TEST_F(JsonFileSerializedObjectTest, SetFilePathOnBoundObjectThrowsEvenForSamePath) {
  const std::string path = dir_.Sub("r.status");
  auto record = JsonFileSerializedObject::SaveNewFile(std::make_shared<Record>("a", 1), path);
  for (const std::string& other : {path, dir_.Sub("other.status")}) {
    try {
      record->SetFilePath(other);
      FAIL() << "SetFilePath succeeded for " << other;
    } catch (const ZorvaneException& e) {
      EXPECT_EQ(std::string(e.what()),
                "Object is already serialized to a different location.Use RenameFilePath to "
                "change serialized file location.Current serialization path is: '" +
                    path + "'.");
    }
    EXPECT_EQ(record->GetFilePath(), TPath(path));
  }
}

TEST_F(JsonFileSerializedObjectTest, RenameMovesFileAndRebinds) {
  const std::string from = dir_.Sub("p.pending");
  const std::string to = dir_.Sub("p.uploading");
  auto record = JsonFileSerializedObject::SaveNewFile(std::make_shared<Record>("a", 1), from);
  const std::string content = ReadFile(from);
  record->RenameFilePath(to);
  EXPECT_EQ(record->GetFilePath(), TPath(to));
  EXPECT_EQ(DirectoryNames(dir_.path()), std::vector<std::string>{"p.uploading"});
  EXPECT_EQ(ReadFile(to), content);
  record->count_ = 2;
  record->Save();
  EXPECT_EQ(Record::LoadFromFile(to)->count_, 2);
}

TEST_F(JsonFileSerializedObjectTest, RenameToOwnPathWarnsAndChangesNothing) {
  const std::string path = dir_.Sub("p.pending");
  auto record = JsonFileSerializedObject::SaveNewFile(std::make_shared<Record>("a", 1), path);
  testing::LogCapture log;
  record->RenameFilePath(path);
  EXPECT_NE(log.Text().find("Not renaming file because destination already exists. " + path),
            std::string::npos);
  EXPECT_EQ(record->GetFilePath(), TPath(path));
  EXPECT_EQ(DirectoryNames(dir_.path()), std::vector<std::string>{"p.pending"});
}

TEST_F(JsonFileSerializedObjectTest, RenameOntoAnotherFileThrowsAndKeepsBoth) {
  const std::string from = dir_.Sub("p.pending");
  const std::string taken = dir_.Sub("p.uploading");
  auto record = JsonFileSerializedObject::SaveNewFile(std::make_shared<Record>("a", 1), from);
  WriteFile(taken, "someone else's");
  const std::string content = ReadFile(from);
  try {
    record->RenameFilePath(taken);
    FAIL() << "rename onto an existing file succeeded";
  } catch (const ZorvaneException& e) {
    EXPECT_EQ(std::string(e.what()),
              "Cannot rename file because destination already exists!Original file: '" + from +
                  "'. Destination file: '" + taken + "'");
  }
  EXPECT_EQ(record->GetFilePath(), TPath(from));
  EXPECT_EQ(ReadFile(from), content);
  EXPECT_EQ(ReadFile(taken), "someone else's");
}

TEST_F(JsonFileSerializedObjectTest, FailedSaveKeepsPreviousContent) {
  const std::string path = dir_.Sub("r.status");
  auto record = JsonFileSerializedObject::SaveNewFile(std::make_shared<Record>("a", 1), path);
  const std::string before = ReadFile(path);
  // A directory where the temporary file would go makes the save fail even
  // for root.
  std::filesystem::create_directory(dir_.Sub(".r.status.tmp"));
  record->count_ = 2;
  try {
    record->Save();
    FAIL() << "save succeeded";
  } catch (const TPath::Exception& e) {
    EXPECT_STREQ(e.what(), ("Failed to open file for writing: '" + path + "'").c_str());
    EXPECT_NE(Message(e).find(".r.status.tmp"), std::string::npos) << Message(e);
  }
  EXPECT_EQ(ReadFile(path), before);

  Record unsaved("b", 1);
  unsaved.SetFilePath(dir_.Sub("missing/dir/r.status"));
  EXPECT_THROW(unsaved.Save(), TPath::Exception);
}

TEST_F(JsonFileSerializedObjectTest, EveryTruncationFailsNamingTheFile) {
  const std::string path = dir_.Sub("r.status");
  JsonFileSerializedObject::SaveNewFile(std::make_shared<Record>("truncated", 42), path);
  const std::string whole = ReadFile(path);
  for (size_t length = 0; length < whole.size(); ++length) {
    const std::string cut = whole.substr(0, length);
    WriteFile(path, cut);
    try {
      Record::LoadFromFile(path);
      ADD_FAILURE() << "loaded a file cut to " << length << " bytes: " << cut;
    } catch (const ZorvaneException& e) {
      const std::string message = Message(e);
      EXPECT_NE(message.find("Failed to read following content as JSON: '" + cut + "'"),
                std::string::npos)
          << message;
      EXPECT_NE(message.find(path), std::string::npos) << message;
    }
  }
}

TEST_F(JsonFileSerializedObjectTest, LoadRejectsWhatIsNotOneObject) {
  const std::string path = dir_.Sub("r.status");
  for (const char* text : {"[1,2]", "5", "\"s\"", "{}{}", "{\"name\":\"a\"} x"}) {
    WriteFile(path, text);
    try {
      Record::LoadFromFile(path);
      ADD_FAILURE() << "loaded " << text;
    } catch (const ZorvaneException& e) {
      EXPECT_NE(Message(e).find(path), std::string::npos) << Message(e);
    }
  }
  EXPECT_THROW(Record::LoadFromFile(dir_.Sub("absent.status")), TPath::Exception);
}

// A process killed at any moment of a save leaves one of the whole contents.
TEST_F(JsonFileSerializedObjectTest, KilledSaveLeavesOldOrNewContent) {
  const std::string path = dir_.Sub("p.pending");
  const Record small("small", 1);
  const Record large(TString(std::string(200000, 'x')), 2);
  JsonFileSerializedObject::SaveNewFile(std::make_shared<Record>(small), path);

  constexpr int kKills = 50;
  for (int round = 0; round < kKills; ++round) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(fds[0]);
      Record record = round % 2 == 0 ? small : large;
      record.SetFilePath(path);
      for (int i = 0;; ++i) {
        record.name_ = (i % 2 == 0 ? large : small).name_;
        record.count_ = (i % 2 == 0 ? large : small).count_;
        record.Save();
        const char done = 1;
        if (write(fds[1], &done, 1) != 1) _exit(1);
      }
    }
    close(fds[1]);
    // Kill after a varying number of completed saves, so the kill lands at
    // different stages of the save that follows.
    const int saves = 1 + round % 7;
    char byte;
    for (int i = 0; i < saves; ++i) ASSERT_EQ(read(fds[0], &byte, 1), 1);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    close(fds[0]);
    ASSERT_TRUE(WIFSIGNALED(status));

    std::shared_ptr<Record> loaded;
    ASSERT_NO_THROW(loaded = Record::LoadFromFile(path)) << "round " << round;
    const bool isSmall = loaded->name_ == small.name_ && loaded->count_ == small.count_;
    const bool isLarge = loaded->name_ == large.name_ && loaded->count_ == large.count_;
    EXPECT_TRUE(isSmall || isLarge) << "round " << round;
  }
  // A temporary file left by a kill does not stop the next save.
  Record record(small);
  record.SetFilePath(path);
  record.Save();
  EXPECT_EQ(DirectoryNames(dir_.path()), std::vector<std::string>{"p.pending"});
}

}  // namespace
}  // namespace ZorErrorReporting
