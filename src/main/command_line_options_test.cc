#include "main/command_line_options.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "main/option_groups.h"

namespace ZorErrorReporting {
namespace {

constexpr const char* kProgram = "zorcrashreporter";

std::vector<const char*> Argv(const std::vector<const char*>& args) {
  std::vector<const char*> argv{kProgram};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::unique_ptr<CommandLineOptions> Parse(const std::vector<const char*>& args) {
  const std::vector<const char*> argv = Argv(args);
  return std::make_unique<CommandLineOptions>(static_cast<int>(argv.size()), argv.data());
}

// The text of the parse failure, or "" when parsing succeeded.
std::string ParseError(const std::vector<const char*>& args) {
  try {
    Parse(args);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

std::string Joined(const std::vector<const char*>& args) {
  std::string text;
  for (const char* arg : args) text += std::string(" ") + arg;
  return text;
}

TEST(CommandLineOptionsTest, SelectsCommandAndSource) {
  struct Case {
    std::vector<const char*> args;
    Command command;
    Source source;
  };
  const Case cases[] = {
      {{}, Command::Help, Source::None},
      {{"-H"}, Command::Help, Source::None},
      {{"--command", "send-crashes", "--help"}, Command::Help, Source::None},
      {{"--version", "--help"}, Command::Help, Source::None},
      {{"--version", "--command", "no-such-command", "--source", "x"},
       Command::Version,
       Source::None},
      {{"--command", "SEND-CRASHES"}, Command::SendCrashes, Source::None},
      {{"--source", "Desktop", "--command", "send-crashes"}, Command::SendCrashes, Source::Desktop},
      {{"--command", "Simulate-Crash", "--source", "SERVER"},
       Command::SimulateCrash,
       Source::Server},
      {{"--command", "write-dump"}, Command::WriteDump, Source::None},
      {{"--command", "send-logs", "--zipped-logs-file", "a.zip", "--support-case-number", "1"},
       Command::SendLogs,
       Source::None},
      // Without --command the older syntax applies.
      {{"-D", "c.yml"}, Command::SendCrashes, Source::Server},
      {{"--desktop"}, Command::SendCrashes, Source::Desktop},
      {{"-S"}, Command::SimulateCrash, Source::None},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    const auto options = Parse(c.args);
    EXPECT_EQ(options->GetCommand(), c.command);
    EXPECT_EQ(options->GetSource(), c.source);
  }
}

TEST(CommandLineOptionsTest, CreatesOnlyTheCommandsParts) {
  struct Case {
    std::vector<const char*> args;
    bool sendCrashes, sendLogs, desktop, simulateCrash;
  };
  const Case cases[] = {
      {{"--command", "send-crashes"}, true, false, true, false},
      {{"--command", "send-logs", "--zipped-logs-file", "a.zip", "--email", "a@b.cc"},
       false,
       true,
       false,
       false},
      {{"--command", "simulate-crash"}, false, false, true, true},
      {{"--command", "write-dump"}, false, false, true, true},
      {{"--help"}, false, false, false, false},
      {{"-D", "c.yml"}, true, false, false, false},
      {{"--desktop"}, true, false, true, false},
      {{"-S"}, false, false, false, true},
  };
  auto expectPart = [](bool present, auto get, const char* absentMessage) {
    if (present) {
      EXPECT_NO_THROW(get());
      return;
    }
    try {
      get();
      ADD_FAILURE() << "expected: " << absentMessage;
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), absentMessage);
    }
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    const auto options = Parse(c.args);
    expectPart(
        c.sendCrashes, [&] { options->GetSendCrashesOptions(); },
        "SendCrashes options were not specified by user.");
    expectPart(
        c.sendLogs, [&] { options->GetSendLogsOptions(); },
        "SendLogs options were not specified by user.");
    expectPart(
        c.desktop, [&] { options->GetDesktopOptions(); },
        "Desktop options were not specified by user.");
    expectPart(
        c.simulateCrash, [&] { options->GetSimulateCrashOptions(); },
        "SimulateCrash options were not specified by user.");
  }
}

TEST(CommandLineOptionsTest, SplitsSharedAndCommandOptionsInAnyOrder) {
  // clang-format off
  const auto options = Parse({"--no-full-dumps",
                              "--crashdumps-dir", "/dumps",
                              "--command", "send-crashes",
                              "--repository-path", "/repo",
                              "-R", "30",
                              "--config-file", "c.yml",
                              "--enable-features=crash-handler",
                              "--repository-language", "de",
                              "--crashdumps-temp-dir", "/tmp/d",
                              "--client-issue-id", "ISSUE-1",
                              "--crash-dump-directories", "/a;/b"});
  // clang-format on
  EXPECT_EQ(options->GetCrashDumpsDir(), "/dumps");
  EXPECT_EQ(options->GetCrashDumpsTempDir(), "/tmp/d");
  EXPECT_EQ(options->GetEnableFeatures(), "crash-handler");
  EXPECT_EQ(options->GetRotateLogInterval(), 30);
  EXPECT_EQ(options->GetConfigFile(), zor::platform::TPath("c.yml"));
  EXPECT_FALSE(options->GetSendCrashesOptions().includeFullDumps);
  EXPECT_EQ(options->GetDesktopOptions().repositoryPath, zor::platform::TPath("/repo"));
  EXPECT_EQ(options->GetDesktopOptions().repositoryLanguage, "de");
  EXPECT_EQ(options->GetMetadataOverrides().clientIssueId, "ISSUE-1");
  EXPECT_EQ(options->GetConfigOverrides().crashDumpDirectories, "/a;/b");

  const auto defaults = Parse({"--command", "send-crashes"});
  EXPECT_TRUE(defaults->GetSendCrashesOptions().includeFullDumps);
  EXPECT_TRUE(defaults->GetConfigFile().IsEmpty());
  EXPECT_EQ(defaults->GetRotateLogInterval(), 0);
  EXPECT_TRUE(defaults->GetDesktopOptions().repositoryPath.IsEmpty());
}

TEST(CommandLineOptionsTest, CopiesEveryMetadataOverride) {
  // clang-format off
  const auto options = Parse({"--command", "send-logs",
                              "--zipped-logs-file", "a.zip",
                              "--support-case-number", "77",
                              "--client-issue-id", "i",
                              "--client-product-build", "b",
                              "--client-product-type", "Pro",
                              "--client-channel", "c",
                              "--system-os", "o",
                              "--system-os-version", "v",
                              "--system-os-arch", "x64",
                              "--client-product-beta", "F"});
  // clang-format on
  const MetadataOverrideValues& m = options->GetMetadataOverrides();
  EXPECT_EQ(m.clientIssueId, "i");
  EXPECT_EQ(m.clientProductBuild, "b");
  EXPECT_EQ(m.clientProductType, "Pro");
  EXPECT_EQ(m.clientChannel, "c");
  EXPECT_EQ(m.systemOs, "o");
  EXPECT_EQ(m.systemOsVersion, "v");
  EXPECT_EQ(m.systemOsArch, "x64");
  EXPECT_EQ(m.clientProductBeta, "false");
  EXPECT_TRUE(options->GetConfigOverrides().deleteCompletedDumps.isEmpty());
  EXPECT_EQ(options->GetSendLogsOptions().zippedLogsFile, zor::platform::TPath("a.zip"));
  EXPECT_EQ(options->GetSendLogsOptions().supportCaseNumber, "77");
  EXPECT_TRUE(options->GetSendLogsOptions().email.isEmpty());
}

TEST(CommandLineOptionsTest, NormalisesTrueFalseOverrides) {
  struct Case {
    const char* option;
    const char* value;
    const char* stored;  // nullptr: rejected
  };
  const Case cases[] = {
      {"--client-product-beta", "T", "true"},       {"--client-product-beta", "true", "true"},
      {"--client-product-beta", "f", "false"},      {"--client-product-beta", "FALSE", "false"},
      {"--client-product-beta", "yes", nullptr},    {"--client-product-beta", "", nullptr},
      {"--delete-completed-dumps", "TRUE", "true"}, {"--delete-completed-dumps", "False", "false"},
      {"--delete-completed-dumps", "t", nullptr},   {"--delete-completed-dumps", "1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.option) + " " + c.value);
    const std::vector<const char*> args{"--command", "send-crashes", c.option, c.value};
    const bool beta = std::string(c.option) == "--client-product-beta";
    if (c.stored == nullptr) {
      const std::string expected =
          beta ? "Could not parse client-product-beta type: expected 'true' or 'false'\n"
               : "Could not parse delete-completed-dumps type: expected 'true' or 'false'\n";
      EXPECT_EQ(ParseError(args), expected + "\n" + FormatHelpText(kProgram) + "\n");
      continue;
    }
    const auto options = Parse(args);
    EXPECT_EQ(beta ? options->GetMetadataOverrides().clientProductBeta
                   : options->GetConfigOverrides().deleteCompletedDumps,
              c.stored);
  }
}

TEST(CommandLineOptionsTest, ReadsSimulateCrashOptions) {
  const auto options =
      Parse({"--command", "write-dump", "--type", "stackoverflow", "--min-crash-size", "2048",
             "--write-incompressible-data", "--rotate-log-n-times", "3"});
  const SimulateCrashOptions& s = options->GetSimulateCrashOptions();
  EXPECT_EQ(s.crashType, CrashType::StackOverflow);
  EXPECT_EQ(s.minCrashSize, 2048u);
  EXPECT_TRUE(s.writeIncompressibleData);
  EXPECT_EQ(s.rotateLogNTimes, 3);

  const auto defaults = Parse({"--command", "simulate-crash"});
  const SimulateCrashOptions& d = defaults->GetSimulateCrashOptions();
  EXPECT_EQ(d.crashType, CrashType::AccessViolation);
  EXPECT_EQ(d.minCrashSize, 100u);
  EXPECT_FALSE(d.writeIncompressibleData);
  EXPECT_EQ(d.rotateLogNTimes, 0);

  // The short letter reaches the second pass; a negative size wraps.
  EXPECT_EQ(
      Parse({"--command", "simulate-crash", "-M", "500"})->GetSimulateCrashOptions().minCrashSize,
      500u);
  EXPECT_EQ(Parse({"--command", "simulate-crash", "--min-crash-size=-1"})
                ->GetSimulateCrashOptions()
                .minCrashSize,
            UINT64_MAX);
}

TEST(CommandLineOptionsTest, MatchesCrashTypesIgnoringCase) {
  const std::pair<const char*, CrashType> cases[] = {
      {"accessviolation", CrashType::AccessViolation},
      {"LOGICASSERTFAILURE", CrashType::LogicAssertFailure},
      {"OutOfMemory", CrashType::OutOfMemory},
      {"StackOverFlow", CrashType::StackOverflow},
      {"multipleCrashes", CrashType::MultipleCrashes},
  };
  for (const auto& [text, type] : cases) {
    SCOPED_TRACE(text);
    EXPECT_EQ(
        Parse({"--command", "simulate-crash", "--type", text})->GetSimulateCrashOptions().crashType,
        type);
  }
}

TEST(CommandLineOptionsTest, ReadsLegacyOptions) {
  EXPECT_EQ(Parse({"-S", "-M", "200"})->GetSimulateCrashOptions().minCrashSize, 200u);
  EXPECT_EQ(Parse({"-S", "-M", "100"})->GetSimulateCrashOptions().minCrashSize, 100u);

  const auto desktop =
      Parse({"--desktop", "--repository-path", "/repo", "--repository-language", "fr", "-D", "c"});
  EXPECT_EQ(desktop->GetDesktopOptions().repositoryPath, zor::platform::TPath("/repo"));
  EXPECT_EQ(desktop->GetDesktopOptions().repositoryLanguage, "fr");
  EXPECT_TRUE(desktop->GetConfigFile().IsEmpty()) << "the config file is a server setting";
  EXPECT_TRUE(desktop->GetSendCrashesOptions().includeFullDumps);

  const auto server = Parse({"--config-file", "c.yml", "-L", "log.cfg", "-C", "/x"});
  EXPECT_EQ(server->GetConfigFile(), zor::platform::TPath("c.yml"));
}

TEST(CommandLineOptionsTest, ValidatesEmailLists) {
  const std::pair<const char*, bool> cases[] = {
      {"a@b.cc", true},
      {"first.last@mail.example.com", true},
      {"a@b.cc;c@d.ee", true},
      {" a@b.cc, ;c@d.ee ", true},
      {"", true},
      {";, ", true},
      {"a@bcc", false},      // no dot after the at sign
      {"a@.cc", false},      // dot right after the at sign
      {"a@b.c.d@e", false},  // two at signs
      {"@b.cc", false},      // nothing before the at sign
      {"ab.cc", false},      // no at sign
      {"a.b@cc", false},     // the only dot is before the at sign
      {"a\"b@c.cc", false},  // forbidden characters
      {"a\\b@c.cc", false},
      {"<a@b.cc>", false},
      {"a@b.cc;not-an-address", false},  // every address counts
  };
  for (const auto& [value, valid] : cases) {
    SCOPED_TRACE(value);
    EXPECT_EQ(IsValidEmailList(value), valid);
  }
}

TEST(CommandLineOptionsTest, EnforcesSendLogsRequirements) {
  const std::string help = "\n" + FormatHelpText(kProgram) + "\n";
  EXPECT_EQ(ParseError({"--command", "send-logs", "--email", "a@b.cc"}),
            "Command 'send-logs' is missing required argument, 'zipped-logs-file'" + help);
  EXPECT_EQ(ParseError({"--command", "send-logs", "--zipped-logs-file", "a.zip"}),
            "Command 'send-logs' is missing required argument. Please include "
            "'support-case-number' or 'email'" +
                help);
  EXPECT_EQ(ParseError({"--command", "send-logs", "--zipped-logs-file", "a.zip", "--email",
                        "a@b.cc;a@bcc"}),
            "Command option 'email' is not valid, 'a@b.cc;a@bcc'" + help);

  const auto options = Parse({"--command", "send-logs", "--zipped-logs-file", "logs.zip", "--email",
                              "a@b.cc;c@d.ee", "--support-case-number", "123"});
  EXPECT_EQ(options->GetSendLogsOptions().email, "a@b.cc;c@d.ee");
  EXPECT_EQ(options->GetSendLogsOptions().supportCaseNumber, "123");
}

TEST(CommandLineOptionsTest, ReportsErrorsFollowedByTheHelp) {
  const std::pair<std::vector<const char*>, std::string> cases[] = {
      {{"-S", "-M", "50"}, "'min-crash-size' must be larger than 100 Kilobytes\n"},
      {{"--crashdumps-dir", "/dumps"}, "Error in Legacy options \n"},
      {{"-S", "--no-such-option"}, "Error in Legacy options \n"},
      {{"-S", "-M", "lots"}, "Error in Legacy options \n"},
      {{"--command", "upload"}, "Unsupported command 'upload' received."},
      {{"--command", "send-crashes", "--source", "cloud"}, "Could not parse source value"},
      {{"--command", "write-dump", "--type", "Segfault"}, "Unsupported crash type: Segfault\n"},
  };
  for (const auto& [args, message] : cases) {
    SCOPED_TRACE(Joined(args));
    EXPECT_EQ(ParseError(args), message + "\n" + FormatHelpText(kProgram) + "\n");
  }
}

TEST(CommandLineOptionsTest, SecondPassErrorsShowTheCommandsGroups) {
  struct Case {
    std::vector<const char*> args;
    const char* command;
    std::vector<std::string> shown, hidden;
  };
  const Case cases[] = {
      {{"--command", "send-crashes", "--zipped-logs-file", "a.zip"},
       "send-crashes",
       {"Send Crash options", "Metadata options", "Configuration overrides"},
       {"Send zipped Logs options", "Simulate crash options"}},
      {{"--command", "SEND-LOGS", "--type", "OutOfMemory"},
       "send-logs",
       {"Send zipped Logs options", "Metadata options", "Configuration overrides"},
       {"Send Crash options", "Simulate crash options"}},
      {{"--command", "simulate-crash", "--rotate-log-n-times", "many"},
       "simulate-crash",
       {"Simulate crash options"},
       {"Send Crash options", "Metadata options"}},
      {{"--command", "write-dump", "--min-crash-size"},
       "write-dump",
       {"Simulate crash options"},
       {"Metadata options"}},
  };
  const std::string help = FormatHelpText(kProgram);
  for (const Case& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    const std::string error = ParseError(c.args);
    const std::string prefix = std::string("Error in options for command: ") + c.command + "\n";
    ASSERT_EQ(error.rfind(prefix, 0), 0u) << error;
    ASSERT_GT(error.size(), prefix.size() + help.size() + 2);
    ASSERT_EQ(error.substr(error.size() - help.size() - 2), "\n" + help + "\n");
    const std::string groups = error.substr(0, error.size() - help.size() - 2);
    for (const std::string& caption : c.shown) EXPECT_NE(groups.find(caption), std::string::npos);
    for (const std::string& caption : c.hidden) EXPECT_EQ(groups.find(caption), std::string::npos);
  }
}

TEST(CommandLineOptionsTest, HelpTextListsShownGroupsAndExamples) {
  const char* argv[] = {"./bin/zcr"};
  const CommandLineOptions options(1, argv);
  EXPECT_EQ(options.GetCommand(), Command::Help);
  EXPECT_EQ(options.GetProgramName(), "./bin/zcr");
  const std::string help = options.HelpText();

  size_t position = 0;
  for (const char* caption :
       {"Allowed Options", "Send Crash options", "Send zipped Logs options",
        "Simulate crash options", "Metadata options", "Configuration overrides"}) {
    const size_t found = help.find(caption, position);
    ASSERT_NE(found, std::string::npos) << caption << " missing or out of order";
    position = found;
  }
  for (const char* hidden : {"Hidden Options", "Legacy Options", "enable-features",
                             "crashdumps-temp-dir", "crash-write-location", "log-config-file"}) {
    EXPECT_EQ(help.find(hidden), std::string::npos) << hidden;
  }

  const std::string examples =
      "\n=============\nExamples:\n=============\n"
      "Find and send crashes example:\n"
      "\t./bin/zcr --command send-crashes --config-file zorcrashreporter.yml \n\n"
      "Send Logs example:\n"
      "\t./bin/zcr --command send-logs --zipped-logs-file logs.zip --email user@example.com "
      "--support-case-number 123456789\n\n"
      "Simulate Crash example:\n"
      "\t./bin/zcr --command simulate-crash\n\n";
  ASSERT_GT(help.size(), examples.size());
  EXPECT_EQ(help.substr(help.size() - examples.size()), examples);
}

}  // namespace
}  // namespace ZorErrorReporting
