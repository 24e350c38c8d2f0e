#include "main/command_line_options.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "main/option_groups.h"
#include "platform/error_of_for_test.h"

namespace ZorErrorReporting {
namespace {

constexpr const char* kProgram = "zorcrashreporter";

std::unique_ptr<CommandLineOptions> Parse(const std::vector<const char*>& args) {
  std::vector<const char*> argv{kProgram};
  argv.insert(argv.end(), args.begin(), args.end());
  return std::make_unique<CommandLineOptions>(static_cast<int>(argv.size()), argv.data());
}

std::string ParseError(const std::vector<const char*>& args) {
  return zor::test::ErrorOf([&] { Parse(args); });
}

std::string Joined(const std::vector<const char*>& args) {
  std::string text;
  for (const char* arg : args) text += std::string(" ") + arg;
  return text;
}

// `parts` names the option parts a command creates: Crashes, Logs, Desktop, Simulate.
TEST(CommandLineOptionsTest, SelectsCommandSourceAndTheirParts) {
  struct Case {
    std::vector<const char*> args;
    Command command;
    Source source;
    std::string parts;
  };
  using enum Command;
  const Case cases[] = {
      {{"-H"}, Help, Source::None, ""},
      {{"--command", "send-crashes", "--help"}, Help, Source::None, ""},
      {{"--version", "--command", "no-such-command", "--source", "x"}, Version, Source::None, ""},
      {{"--command", "SEND-CRASHES"}, SendCrashes, Source::None, "CD"},
      {{"--source", "Desktop", "--command", "send-crashes"}, SendCrashes, Source::Desktop, "CD"},
      {{"--command", "Simulate-Crash", "--source", "SERVER"}, SimulateCrash, Source::Server, "DS"},
      {{"--command", "write-dump"}, WriteDump, Source::None, "DS"},
      {{"--command", "send-logs", "--zipped-logs-file", "a.zip", "--support-case-number", "1"},
       SendLogs,
       Source::None,
       "L"},
      // Without --command the older syntax applies.
      {{"-D", "c.yml"}, SendCrashes, Source::Server, "C"},
      {{"--desktop"}, SendCrashes, Source::Desktop, "CD"},
      {{"-S"}, SimulateCrash, Source::None, "S"},
      {{"--command", "LIST", "--config-file", "c.yml"}, List, Source::None, "O"},
  };
  using O = const CommandLineOptions&;
  const std::tuple<char, const char*, void (*)(O)> parts[] = {
      {'C', "SendCrashes", [](O o) { o.GetSendCrashesOptions(); }},
      {'L', "SendLogs", [](O o) { o.GetSendLogsOptions(); }},
      {'D', "Desktop", [](O o) { o.GetDesktopOptions(); }},
      {'S', "SimulateCrash", [](O o) { o.GetSimulateCrashOptions(); }},
      {'O', "List", [](O o) { o.GetListOptions(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Joined(c.args));
    const auto options = Parse(c.args);
    EXPECT_EQ(options->GetCommand(), c.command);
    EXPECT_EQ(options->GetSource(), c.source);
    for (const auto& [part, name, get] : parts) {
      if (c.parts.find(part) != std::string::npos) {
        EXPECT_NO_THROW(get(*options)) << part;
      } else {
        EXPECT_EQ(zor::test::ErrorOf([&, get = get] { get(*options); }),
                  std::string(name) + " options were not specified by user.");
      }
    }
  }
}

TEST(CommandLineOptionsTest, SplitsSharedCommandAndMetadataOptionsInAnyOrder) {
  // clang-format off
  const auto options = Parse({"--no-full-dumps", "--crashdumps-dir", "/dumps",
                              "--command", "send-crashes", "--repository-path", "/repo",
                              "-R", "30", "--config-file", "c.yml",
                              "--enable-features=crash-handler", "--repository-language", "de",
                              "--crashdumps-temp-dir", "/tmp/d", "--client-issue-id", "i",
                              "--crash-dump-directories", "/a;/b", "--client-product-build", "b",
                              "--client-product-type", "Pro", "--client-channel", "c",
                              "--system-os", "o", "--system-os-version", "v",
                              "--system-os-arch", "x64", "--client-product-beta", "F"});
  // clang-format on
  EXPECT_EQ(options->GetCrashDumpsDir(), "/dumps");
  EXPECT_EQ(options->GetCrashDumpsTempDir(), "/tmp/d");
  EXPECT_EQ(options->GetEnableFeatures(), "crash-handler");
  EXPECT_EQ(options->GetRotateLogInterval(), 30);
  EXPECT_EQ(options->GetConfigFile(), zor::platform::TPath("c.yml"));
  EXPECT_FALSE(options->GetSendCrashesOptions().includeFullDumps);
  EXPECT_EQ(options->GetDesktopOptions().repositoryPath, zor::platform::TPath("/repo"));
  EXPECT_EQ(options->GetDesktopOptions().repositoryLanguage, "de");
  EXPECT_EQ(options->GetConfigOverrides().crashDumpDirectories, "/a;/b");
  EXPECT_TRUE(options->GetConfigOverrides().deleteCompletedDumps.isEmpty());
  const MetadataOverrideValues& m = options->GetMetadataOverrides();
  using Texts = std::vector<zor::platform::TString>;
  EXPECT_EQ(Texts({m.clientIssueId, m.clientProductBuild, m.clientProductType, m.clientChannel,
                   m.systemOs, m.systemOsVersion, m.systemOsArch, m.clientProductBeta}),
            Texts({"i", "b", "Pro", "c", "o", "v", "x64", "false"}));

  const auto defaults = Parse({"--command", "send-crashes"});
  EXPECT_TRUE(defaults->GetSendCrashesOptions().includeFullDumps);
  EXPECT_TRUE(defaults->GetConfigFile().IsEmpty());

  // The legacy syntax: the config file is a server setting.
  const auto desktop =
      Parse({"--desktop", "--repository-path", "/repo", "--repository-language", "fr", "-D", "c"});
  EXPECT_EQ(desktop->GetDesktopOptions().repositoryPath, zor::platform::TPath("/repo"));
  EXPECT_EQ(desktop->GetDesktopOptions().repositoryLanguage, "fr");
  EXPECT_TRUE(desktop->GetConfigFile().IsEmpty());
  EXPECT_EQ(Parse({"--config-file", "c.yml", "-L", "log.cfg", "-C", "/x"})->GetConfigFile(),
            zor::platform::TPath("c.yml"));
}

TEST(CommandLineOptionsTest, NormalisesTrueFalseOverrides) {
  struct Case {
    std::string option;
    const char* value;
    const char* stored;  // nullptr: rejected
  };
  const Case cases[] = {
      {"client-product-beta", "T", "true"},       {"client-product-beta", "true", "true"},
      {"client-product-beta", "f", "false"},      {"client-product-beta", "FALSE", "false"},
      {"client-product-beta", "yes", nullptr},    {"client-product-beta", "", nullptr},
      {"delete-completed-dumps", "TRUE", "true"}, {"delete-completed-dumps", "False", "false"},
      {"delete-completed-dumps", "t", nullptr},   {"delete-completed-dumps", "1", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.option + " " + c.value);
    const std::string option = "--" + c.option;
    const std::vector<const char*> args{"--command", "send-crashes", option.c_str(), c.value};
    if (c.stored == nullptr) {
      EXPECT_EQ(ParseError(args), "Could not parse " + c.option +
                                      " type: expected 'true' or 'false'\n\n" +
                                      FormatHelpText(kProgram) + "\n");
      continue;
    }
    const auto options = Parse(args);
    EXPECT_EQ(c.option == "client-product-beta"
                  ? options->GetMetadataOverrides().clientProductBeta
                  : options->GetConfigOverrides().deleteCompletedDumps,
              c.stored);
  }
}

TEST(CommandLineOptionsTest, ReadsSimulateCrashAndListOptions) {
  auto simulate = [](std::vector<const char*> args) {
    args.insert(args.begin(), {"--command", "simulate-crash"});
    return Parse(args)->GetSimulateCrashOptions();
  };
  const SimulateCrashOptions s = simulate({"--type", "StackOverFlow", "--min-crash-size", "2048",
                                           "--write-incompressible-data", "--rotate-log-n-times",
                                           "3"});
  EXPECT_EQ(std::tuple(s.crashType, s.minCrashSize, s.writeIncompressibleData, s.rotateLogNTimes),
            std::tuple(CrashType::StackOverflow, uint64_t{2048}, true, 3));
  const SimulateCrashOptions d = simulate({});
  EXPECT_EQ(std::tuple(d.crashType, d.minCrashSize, d.writeIncompressibleData, d.rotateLogNTimes),
            std::tuple(CrashType::AccessViolation, uint64_t{100}, false, 0));
  // The short letter reaches the second pass; 100 is the smallest size the
  // legacy syntax accepts.
  EXPECT_EQ(simulate({"-M", "500"}).minCrashSize, 500u);
  EXPECT_EQ(Parse({"-S", "-M", "100"})->GetSimulateCrashOptions().minCrashSize, 100u);
  EXPECT_EQ(simulate({"--type", "LOGICASSERTFAILURE"}).crashType, CrashType::LogicAssertFailure);
  // The list is text unless JSON is asked.
  EXPECT_FALSE(Parse({"--command", "list", "--output", "Text"})->GetListOptions().json);
  EXPECT_TRUE(Parse({"--command", "list", "--output", "JSON"})->GetListOptions().json);
}

TEST(CommandLineOptionsTest, ValidatesEmailLists) {
  for (const char* valid :
       {"a@b.cc", "first.last@mail.example.com", "a@b.cc;c@d.ee", " a@b.cc, ;c@d.ee ", "", ";, "}) {
    EXPECT_EQ(WhyNotEmailList(valid), "") << valid;
  }
  const std::pair<const char*, const char*> invalid[] = {
      {"a@bcc", "the domain of 'a@bcc' is no name with a '.'"},
      {"a@.cc", "the domain of 'a@.cc' is no name with a '.'"},
      {"a.b@cc", "the domain of 'a.b@cc' is no name with a '.'"},
      {"a@b.c.d@e", "'a@b.c.d@e' has more than one '@'"},
      {"@b.cc", "'@b.cc' has nothing before its '@'"},
      {"ab.cc", "'ab.cc' has no '@'"},
      {"a\"b@c.cc", "'a\"b@c.cc' holds '\"'"},
      {"a\\b@c.cc", "'a\\b@c.cc' holds '\\'"},
      {"<a@b.cc>", "'<a@b.cc>' holds '<'"},
      {"a@b.cc;not-an-address", "'not-an-address' has no '@'"},  // every address counts
      {"a\u00a0b@c.cc", "'a\u00a0b@c.cc' holds a blank"},        // pasted from a mail
  };
  for (const auto& [list, why] : invalid) EXPECT_EQ(WhyNotEmailList(list), why) << list;
}

TEST(CommandLineOptionsTest, ReportsErrorsFollowedByTheHelp) {
  const std::string noCase =
      "Command 'send-logs' is missing required argument. Please include 'support-case-number' or "
      "'email'";
  const std::pair<std::vector<const char*>, std::string> cases[] = {
      {{"-S", "-M", "50"}, "'min-crash-size' must be larger than 100 Kilobytes\n"},
      {{"--crashdumps-dir", "/dumps"}, "Error in Legacy options \n"},
      {{"-S", "--no-such-option"}, "Error in Legacy options \n"},
      {{"-S", "-M", "lots"}, "Error in Legacy options \n"},
      {{"--command", "send-crashes", "--source", "cloud"}, "Could not parse source value"},
      {{"--command", "write-dump", "--type", "Segfault"}, "Unsupported crash type: Segfault\n"},
      {{"--command", "send-logs", "--email", "a@b.cc"},
       "Command 'send-logs' is missing required argument, 'zipped-logs-file'"},
      {{"--command", "send-logs", "--zipped-logs-file", "a.zip"}, noCase},
      {{"--command", "send-logs", "--zipped-logs-file", "a.zip", "--email", ""}, noCase},
      // Blanks and separators name no one either.
      {{"--command", "send-logs", "--zipped-logs-file", "a.zip", "--email", ";, \u00a0",
        "--support-case-number", " \u00a0"},
       noCase},
      {{"--command", "send-logs", "--zipped-logs-file", "a.zip", "--email", "a@b.cc\n"},
       "Command option 'email' is not valid, 'a@b.cc\\n': it holds characters that are no text"},
      {{"--command", "send-logs", "--zipped-logs-file", "a.zip", "--support-case-number", "12\xff"},
       "Command option 'support-case-number' is not valid, '12\\xff': it holds characters that "
       "are no text"},
      {{"--command", "send-logs", "--zipped-logs-file", "a.zip", "--email", "a@b.cc;a@bcc"},
       "Command option 'email' is not valid, 'a@b.cc;a@bcc': the domain of 'a@bcc' is no name "
       "with a '.'"},
      {{"--command", "send-logs", "--zipped-logs-file", "a.zip", "--support-case-number",
        "12\nINFO forged"},
       "Command option 'support-case-number' is not valid, '12\\nINFO forged': it holds "
       "characters that are no text"},
      {{"--command", "send-logs", "--zipped-logs-file", "l\xff.zip", "--email", "a@b.cc"},
       "Command option 'zipped-logs-file' is not valid, 'l\\xff.zip': the name is not UTF-8"},
      {{"--command", "send-crashes", "--crash-dump-directories",
        "[/d/a\xff"
        "b]"},
       "Command option 'crash-dump-directories' is not valid, '[/d/a\\xffb]': the name is not "
       "UTF-8"},
      {{"--command", "send-crashes", "--client-issue-id", "7\x1b[2J"},
       "Command option 'client-issue-id' is not valid, '7\\x1b[2J': it holds characters that are "
       "no text"},
      {{"--command", "list", "--output", "xml"},
       "Unsupported output format 'xml': expected 'text' or 'json'"},
      // The option library's own message would never finish substituting.
      {{"-R", "%value%"}, "Invalid argument for option '--rotate-log-interval'"},
      // A count below 0 would wrap into a huge one.
      {{"--command", "send-crashes", "-R", "-3"},
       "Command option 'rotate-log-interval' has the value '-3', which is not a whole number of 0 "
       "or more"},
      {{"--command", "simulate-crash", "--rotate-log-n-times", "-1"},
       "Command option 'rotate-log-n-times' has the value '-1', which is not a whole number of 0 "
       "or more"},
      {{"--command", "simulate-crash", "-M", "-5"},
       "Command option 'min-crash-size' has the value '-5', which is not a whole number of 0 or "
       "more"},
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
    ASSERT_EQ(error.substr(error.size() - help.size() - 2), "\n" + help + "\n");
    const std::string groups = error.substr(0, error.size() - help.size() - 2);
    for (const std::string& caption : c.shown) EXPECT_NE(groups.find(caption), std::string::npos);
    for (const std::string& caption : c.hidden) EXPECT_EQ(groups.find(caption), std::string::npos);
  }
}

TEST(CommandLineOptionsTest, HelpTextListsShownGroupsAndExamples) {
  const char* argv[] = {"./bin/zcr"};
  const std::string help = CommandLineOptions(1, argv).HelpText();

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

  // Every command is named.
  for (const char* command :
       {"send-crashes", "send-logs", "retry", "list", "simulate-crash", "write-dump"}) {
    EXPECT_NE(help.find(std::string(command) + ","), help.find(std::string(command) + "]"))
        << command;
  }

  // The examples close the help and use the program name as given.
  EXPECT_TRUE(help.ends_with("\n\t./bin/zcr --command simulate-crash\n\n")) << help;
}

}  // namespace
}  // namespace ZorErrorReporting
