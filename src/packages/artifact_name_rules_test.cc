#include "packages/artifact_name_rules.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ZorErrorReporting {
namespace {

using zor::platform::TPath;
using zor::platform::TString;
using namespace ArtifactNames;

const std::string kId = "0123456789abcdef0123456789ABCDEF";
const std::string kOtherId = "fedcba9876543210fedcba9876543210";
const std::string kId31 = kId.substr(1);
const std::string kId33 = kId + "0";

struct NameCase {
  std::string path;
  ArtifactType type;
  std::string key;
};

TEST(ArtifactNameRules, TypeAndGroupingKeyOfEachName) {
  const std::vector<NameCase> cases = {
      // One crash's files by name: all give the same key.
      {"/d/crashed.1234.dmp", ArtifactType::kProcessMiniDump, "crashed.1234"},
      {"/d/crashed.1234-full.dmp", ArtifactType::kProcessFullDump, "crashed.1234"},
      {"/d/crashed.1234.full.dmp", ArtifactType::kProcessFullDump, "crashed.1234"},
      {"/d/crashed.1234.log", ArtifactType::kErrorLog, "crashed.1234"},
      {"/d/crashed.1234.manifest", ArtifactType::kManifest, "crashed.1234"},
      // Only the end of the name marks a full dump, not a folder or a program,
      // and only that marker leaves the key.
      {"/d/a-full.b-full.dmp", ArtifactType::kProcessFullDump, "a-full.b"},
      {"/d/a.full-full.dmp", ArtifactType::kProcessFullDump, "a.full"},
      {"/d/a.full.log", ArtifactType::kErrorLog, "a.full"},
      {"/d/run.full/crash.dmp", ArtifactType::kProcessMiniDump, "crash"},
      {"/d/team-fullstack/app-fullscreen.12.dmp", ArtifactType::kProcessMiniDump,
       "app-fullscreen.12"},
      // A GDB stack file ends with ".txt" but is no error log.
      {"/d/core_server.77.11.42.txt", ArtifactType::kGdbStacks, "core_server.77.11.42"},
      {"/d/core_server.77.11.42.TXT", ArtifactType::kUnknown, ""},
      // Java files are keyed by the package id in their names.
      {"/d/hs_err_server_pid_4242." + kId + ".log", ArtifactType::kJavaFatalErrorLog, kId},
      {"/d/java_heap_server_pid_7." + kOtherId + ".hprof", ArtifactType::kJavaHeapDump, kOtherId},
      {"/d/jstack_my_app_pid_7." + kId + ".txt", ArtifactType::kJavaStackFile, kId},
      // Almost Java files: the id must be 32 digits between dots.
      {"/d/hs_err_server_pid_4242." + kId31 + ".log", ArtifactType::kErrorLog,
       "hs_err_server_pid_4242." + kId31},
      {"/d/hs_err_server_pid_4242." + kId33 + ".log", ArtifactType::kErrorLog,
       "hs_err_server_pid_4242." + kId33},
      {"/d/hs_err_server_pid_x." + kId + ".log", ArtifactType::kErrorLog,
       "hs_err_server_pid_x." + kId},
      // Suffixes are case-sensitive; unknown names have no key.
      {"/d/dump.12.DMP", ArtifactType::kUnknown, ""},
      {"/d/dump.12.Log", ArtifactType::kUnknown, ""},
      {"/d/crashed.1234.dmp.old", ArtifactType::kUnknown, ""},
      {"/d/notes.manifest.txt", ArtifactType::kErrorLog, "notes.manifest"},
      // A crash directory's id wins over any name inside it.
      {"/dumps/app_" + kId + ".crash/whatever.bin", ArtifactType::kUnknown, kId},
      {"/dumps/app_" + kId + ".crash/crashed.1234.dmp", ArtifactType::kProcessMiniDump, kId},
      {"/dumps/" + kId + ".crash/hs_err_s_pid_1." + kOtherId + ".log",
       ArtifactType::kJavaFatalErrorLog, kId},
      {"/dumps/app_" + kId + ".crash.old/crashed.1.dmp", ArtifactType::kProcessMiniDump, kId},
      // Not a crash directory: 31 digits, wrong case, or the crash is a grandparent.
      {"/dumps/app_" + kId31 + ".crash/crashed.1.dmp", ArtifactType::kProcessMiniDump, "crashed.1"},
      {"/dumps/app_" + kId + ".CRASH/crashed.1.dmp", ArtifactType::kProcessMiniDump, "crashed.1"},
      {"/dumps/app_" + kId + ".crash/sub/x.bin", ArtifactType::kUnknown, ""},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(RecognizeArtifactType(TString(c.path)), c.type)
        << "got " << ToName(RecognizeArtifactType(TString(c.path)));
    EXPECT_EQ(GetGroupingKey(TPath(c.path)).toStdString(), c.key);
  }
}

TEST(ArtifactNameRules, ParsesProcessNamesAndNumbers) {
  // The process name and pid found, or "" for no match.
  const std::pair<std::string, std::string> processCases[] = {
      {"/d/crashed.1234.dmp", "crashed 1234"},
      {"/d/crashed.1234.full.dmp", "crashed 1234"},
      {"/d/crashed.1234-full.dmp", ""},  // no dot after the pid
      {"/d/my.app.1234.log", "my.app 1234"},
      {"/d/crash.12.34.dmp", "crash.12 34"},
      {"/d/x.99999999999999999999999.dmp", "x 0"},  // beyond 64 bits
      {"/d/noprocess.dmp", ""},
      {"/d/app.١٢.dmp", ""},  // digits of other scripts are no pid
  };
  for (const auto& [path, expected] : processCases) {
    TString name;
    uint64_t pid = 99;
    const bool matched = ParseProcessFileName(TPath(path), &name, &pid);
    EXPECT_EQ(matched ? name.toStdString() + " " + std::to_string(pid) : "", expected) << path;
  }

  TString name;
  uint64_t pid = 0, signal = 0, timestamp = 0;
  ASSERT_TRUE(ParseGdbStackFileName(TPath("/d/core_server.77.11.42.txt"), &name, &pid, &signal,
                                    &timestamp));
  EXPECT_EQ(name.toStdString() + " " + std::to_string(pid) + " " + std::to_string(signal) + " " +
                std::to_string(timestamp),
            "server 77 11 42");
  // The part before the last '_' that still leaves a match is not the name.
  ASSERT_TRUE(
      ParseGdbStackFileName(TPath("gdb_my_server.5.6.7.txt"), &name, &pid, &signal, &timestamp));
  EXPECT_EQ(name, "server");
  for (const char* other : {"server.77.11.42.txt", "core_server.77.11.txt"}) {
    EXPECT_FALSE(ParseGdbStackFileName(TPath(other), &name, &pid, &signal, &timestamp)) << other;
  }

  TString packageId;
  timestamp = 5;
  ASSERT_TRUE(ParseJavaFileName(TPath("/d/hs_err_my_server_pid_4242." + kId + ".log"), &name, &pid,
                                &timestamp, &packageId));
  EXPECT_EQ(name.toStdString() + " " + std::to_string(pid) + " " + std::to_string(timestamp),
            "my_server 4242 0");
  EXPECT_EQ(packageId.toStdString(), kId);
  EXPECT_FALSE(ParseJavaFileName(TPath("/d/hs_err_s_pid_1." + kId31 + ".log"), &name, &pid,
                                 &timestamp, &packageId));
}

TEST(ArtifactNameRules, RecognisesJavaFilesByTheirNameAlone) {
  const std::pair<std::string, bool> names[] = {
      {"hs_err_a_pid_1." + kId + ".log", true},
      {"java_heap_a_pid_1." + kId + ".hprof", true},
      {"jstack_a_pid_1." + kId + ".txt", true},
      // Searched, not anchored: text around the name does not matter.
      {"old-jstack_a_pid_1." + kId + ".txt", true},
      {"jstack_a_pid_1." + kId31 + ".txt", false},
      {"JSTACK_a_pid_1." + kId + ".txt", false},
      // Only the file name is looked at, not its directories.
      {"/jstack_a_pid_1." + kId + ".d/x.txt", false},
  };
  for (const auto& [name, java] : names) EXPECT_EQ(IsJavaFile(TPath(name)), java) << name;
}

}  // namespace
}  // namespace ZorErrorReporting
