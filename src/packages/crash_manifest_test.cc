#include "packages/crash_manifest.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include "packages/json_document.h"
#include "packages/package_for_test.h"
#include "packages/system_info.h"
#include "platform/app_config.h"
#include "platform/tsystem.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"

namespace ZorErrorReporting {
namespace {

using test_support::ErrorOf;
using test_support::MemberNames;
using zor::platform::TPath;
using zor::platform::TString;
using zor::test::ReadFile;
using zor::test::WriteFile;

constexpr char kPackageId[] = "0123456789abcdef0123456789abcdef";

class FakeSystemInfo : public SystemInfo {
 public:
  TString GetComputerName() const override { return computerName; }
  TString GetOsVersion() const override { return "9.8.7"; }
  TString GetProcessorArchitecture() const override { return "fake-arch"; }

  TString computerName = "fake-host";
};

// The value of the last member called `name`, or null when there is none.
const Json::Value* LastMember(const Json::Value& object, const char* name) {
  const Json::Value* found = nullptr;
  for (const auto& member : object.GetObject()) {
    if (std::string(member.name.GetString()) == name) found = &member.value;
  }
  return found;
}

class CrashManifestTest : public test_support::TempDirTest {
 protected:
  CrashManifestTest() {
    WriteFile(dir_.Sub("config/zorvane/zorvane.ini"), "[Group34]\nLanguageCode=de_DE\n");
    SystemInfo::SetTestInstance(&system_);
  }
  ~CrashManifestTest() override { SystemInfo::SetTestInstance(nullptr); }

  // Creates a crash file last written at `unixTime` and adds its record.
  void AddArtifact(const std::string& name, int64_t unixTime = 1500000000) {
    const std::string path = dir_.Sub(name);
    WriteFile(path, "data of " + name);
    const timeval times[2] = {{unixTime, 0}, {unixTime, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0);
    artifacts_.emplace(TPath(path), std::make_shared<CrashArtifactFile>(TPath(path)));
  }

  std::shared_ptr<CrashManifest> WriteAndLoad(const std::string& text) {
    return test_support::WriteAndLoad<CrashManifest>(manifestPath_, text);
  }

  Json::Document ReadBack() { return test_support::ParseOrFail(ReadFile(manifestPath_)); }

  test::ScopedEnv config_{"XDG_CONFIG_HOME", dir_.Sub("config")};
  FakeSystemInfo system_;
  std::string manifestPath_ = dir_.Sub("server.4242.manifest");
  CrashManifest::ArtifactFiles artifacts_;
};

TEST_F(CrashManifestTest, CompletingAppendsAfterTheApplicationsMembers) {
  // Compact ASCII, so that the writer reproduces it byte for byte.
  const std::string original =
      R"({"Id":"crash-7","vendor-data":{"a":[1,2,{"b":null}],"c":true},"Host":"app-host",)"
      R"("os":"First","OS":"Second","upload-full-dumps":"no","product-build":"5.1",)"
      R"("crash-artifact-files":"not an array","timestamp":0,"Id":"crash-8","count":-3})";
  auto manifest = WriteAndLoad(original);
  EXPECT_EQ(manifest->GetId(), "crash-8");
  EXPECT_TRUE(manifest->GetUploadFullDumps());  // the string is not read

  AddArtifact("server.4242.dmp");
  AddArtifact("server.4242.manifest");
  manifest->Complete(artifacts_, false, kPackageId);

  const std::string written = ReadFile(manifestPath_);
  const std::string kept = original.substr(0, original.size() - 1) + ",";
  ASSERT_EQ(written.substr(0, kept.size()), kept);

  Json::Document document = ReadBack();
  std::vector<std::string> names = MemberNames(document);
  const std::vector<std::string> appended(names.begin() + 11, names.end());
  // No "host", "os" or "product-build": the application wrote them, in some case.
  EXPECT_EQ(appended, (std::vector<std::string>{
                          "timestamp", "upload-full-dumps", "crash-artifact-files",
                          "crash-correlation-id", "manifest-version", "domain", "os-locale",
                          "zorvane-locale", "processor", "os-version", "processor-architecture"}));
  EXPECT_TRUE(LastMember(document, "upload-full-dumps")->IsFalse());
  EXPECT_EQ(Json::GetText(*LastMember(document, "crash-correlation-id")), kPackageId);
  EXPECT_EQ(Json::GetText(*LastMember(document, "zorvane-locale")), "de_DE");
  // The application's manifest is one of the crash's files.
  const Json::Value& records = *LastMember(document, "crash-artifact-files");
  ASSERT_EQ(records.Size(), 2u);
  EXPECT_EQ(Json::GetText(records[0]["filename"]), TString(dir_.Sub("server.4242.dmp")));
  EXPECT_EQ(Json::GetText(records[1]["type"]), "Manifest");

  EXPECT_FALSE(manifest->GetUploadFullDumps());
}

// A completion that fails (a file's write time can no longer be read) leaves
// the manifest as it was; one that succeeds is read back, and is not made
// again.
TEST_F(CrashManifestTest, ReloadReadsTheAppendedMembers) {
  const std::string original =
      R"({"upload-full-dumps":true,"crash-artifact-files":[],"OS-Version":"1.0","Id":"crash-9"})";
  auto manifest = WriteAndLoad(original);
  AddArtifact("gone.dmp");
  std::filesystem::remove(dir_.Sub("gone.dmp"));
  EXPECT_THROW(manifest->Complete(artifacts_, true, kPackageId), TPath::Exception);
  EXPECT_FALSE(manifest->IsCompleted());
  EXPECT_EQ(Json::WriteCompact(manifest->ToJson()), original);
  artifacts_.clear();
  AddArtifact("server.4242.dmp");
  manifest->Complete(artifacts_, false, kPackageId);

  auto reloaded = CrashManifest::LoadFromFile(manifestPath_);
  EXPECT_TRUE(reloaded->IsCompleted());
  EXPECT_FALSE(reloaded->GetUploadFullDumps());
  EXPECT_EQ(reloaded->GetOsVersion(), "1.0");
  EXPECT_EQ(reloaded->GetOs(), zor::platform::TSystem::OSShortName());
  EXPECT_EQ(reloaded->GetCrashArtifactFiles().count(dir_.Sub("server.4242.dmp")), 1u);
  // Completing again, in memory or read back, must not append a second time.
  const std::string once = ReadFile(manifestPath_);
  for (const auto& completed : {manifest, reloaded}) {
    EXPECT_EQ(ErrorOf([&] { completed->Complete(artifacts_, true, kPackageId); }),
              "Following manifest has already been updated: 'crash-9'");
  }
  EXPECT_EQ(ReadFile(manifestPath_), once);
}

// However a file is spelt, the first record of it counts.
TEST_F(CrashManifestTest, FirstRecordOfAFileCounts) {
  auto manifest = WriteAndLoad(
      R"({"crash-artifact-files":[{"filename":"/d/a.dmp","type":"ProcessMiniDump"},)"
      R"({"filename":"/d/./a.dmp","type":"ErrorLog"},{"filename":"//d//a.dmp"},)"
      R"({"filename":"/../x/../d/a.dmp"}],)"
      R"("crash-artifact-files":[{"filename":"/d/b.log","type":"ErrorLog","size":"12"},)"
      R"({"FILENAME":"/d/a.dmp","type":"ProcessFullDump"},{"filename":"sub/../c.dmp"}]})");
  const CrashManifest::ArtifactFiles& files = manifest->GetCrashArtifactFiles();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files.at("/d/a.dmp")->GetType(), ArtifactType::kProcessMiniDump);
  EXPECT_EQ(files.at("/d/b.log")->GetSize(), 12u);
  // A relative name lies beside the manifest, not in the working folder.
  EXPECT_EQ(files.count(NormalisedPath(TPath(manifestPath_).Parent().ToString() + "/c.dmp")), 1u);

  const std::pair<const char*, const char*> spellings[] = {
      {"/a/./b//c/", "/a/b/c"}, {"/a/../../b", "/b"}, {"a/../../b", "../b"},
      {"./a/..", "."},          {"/", "/"},           {"a/b/../c\\..\\d", "a/c\\..\\d"},
  };
  for (const auto& [path, normal] : spellings) {
    EXPECT_EQ(NormalisedPath(path).ToString(), normal) << path;
  }
}

TEST_F(CrashManifestTest, NewManifestHoldsExactlyTheAppendedMembers) {
  auto manifest = JsonFileSerializedObject::SaveNewFile(std::make_shared<CrashManifest>(),
                                                        TPath(manifestPath_));
  // "é" takes bytes 64 and 65: cutting the host at 64 bytes would split it.
  system_.computerName = TString(std::string(63, 'h') + "\xC3\xA9" + "tail");
  AddArtifact("server.4242.log");
  manifest->Complete(artifacts_, true, kPackageId);

  Json::Document document = ReadBack();
  EXPECT_EQ(MemberNames(document),
            (std::vector<std::string>{"upload-full-dumps", "crash-artifact-files",
                                      "crash-correlation-id", "manifest-version", "product-build",
                                      "host", "domain", "os", "os-locale", "zorvane-locale",
                                      "processor", "os-version", "processor-architecture"}));
  const TString build = zor::platform::AppConfig::GetInstance().GetBuildVersion();
  EXPECT_EQ(Json::GetText(document["product-build"]), build);
  EXPECT_EQ(Json::GetText(document["host"]), TString(std::string(63, 'h')));
}

TEST_F(CrashManifestTest, TimestampComesFromTheMinidumpElseTheJavaLog) {
  // Which files the crash has; the first member written, then the timestamp
  // and executable members.
  const std::tuple<bool, bool, std::string> cases[] = {
      {true, true, "executable timestamp=1100000000 executable=server"},
      {false, true, "executable timestamp=1200000000 executable=server"},
      {true, false, "timestamp timestamp=1100000000"},
      {false, false, "upload-full-dumps"},
  };
  for (const auto& [miniDump, java, expected] : cases) {
    artifacts_.clear();
    AddArtifact("server.4242.log", 1300000000);
    if (miniDump) AddArtifact("server.4242.dmp", 1100000000);
    if (java) AddArtifact(std::string("hs_err_server_pid_4242.") + kPackageId + ".log", 1200000000);
    WriteAndLoad("{}")->Complete(artifacts_, true, kPackageId);

    Json::Document document = ReadBack();
    std::string got = MemberNames(document)[0];
    if (auto* timestamp = LastMember(document, "timestamp")) {
      got += " timestamp=" + std::to_string(timestamp->GetInt64());
    }
    if (auto* executable = LastMember(document, "executable")) {
      got += " executable=" + Json::GetText(*executable).toStdString();
    }
    EXPECT_EQ(got, expected);
  }
}

TEST(CutToUtf8BytesTest, NeverSplitsACharacter) {
  const std::string euro = "\xE2\x82\xAC";       // 3 bytes
  const std::string smile = "\xF0\x9F\x98\x80";  // 4 bytes
  const std::pair<std::string, std::string> cases[] = {
      {std::string(65, 'a'), std::string(64, 'a')},
      {std::string(62, 'a') + euro, std::string(62, 'a')},
      {std::string(61, 'a') + smile, std::string(61, 'a')},
      {std::string(60, 'a') + smile + "b", std::string(60, 'a') + smile},
  };
  for (const auto& [text, cut] : cases) {
    EXPECT_EQ(CutToUtf8Bytes(TString(text), 64).toStdString(), cut) << text.size();
  }
}

// Compares the version a manifest names (null: none, "Unspecified") with `other`.
int Compare(const char* manifestVersion, const char* other) {
  Json::Document json(rapidjson::kObjectType);
  if (manifestVersion != nullptr) {
    json.AddMember("Manifest-Version", Json::MakeString(manifestVersion, json.GetAllocator()),
                   json.GetAllocator());
  }
  return CrashManifest(json).CompareManifestVersion(other);
}

TEST(CompareManifestVersionTest, ComparesPartsAsNumbers) {
  const std::tuple<const char*, const char*, int> cases[] = {
      {"1.1", "1.0", 1},   {"1.0.0", "1.0", 1},  {"1.0", "1.0", 0},   {"1.10", "1.9", 1},
      {"1.9", "1.10", -1}, {"1.0", "1.0.0", -1}, {" 1.+2", "1.2", 0}, {"1.0beta", "1.0", 0},
      {"-1", "0", -1},     {"1.x", "2.0", -1},  // parts past the deciding one are not read
  };
  for (const auto& [version, other, outcome] : cases) {
    EXPECT_EQ(Compare(version, other), outcome) << version << " vs " << other;
  }
  const std::tuple<const char*, const char*, const char*> errors[] = {
      {nullptr, "1.0", "invalid stoi argument"},
      {"1..2", "1.0.2", "invalid stoi argument"},
      {"1.0", "1.x", "invalid stoi argument"},
      {"1.99999999999", "1.0", "stoi argument out of range"},
  };
  for (const auto& [version, other, error] : errors) {
    EXPECT_EQ(ErrorOf([&v = version, &o = other] { Compare(v, o); }), error) << other;
  }
}

}  // namespace
}  // namespace ZorErrorReporting
