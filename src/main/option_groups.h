// The option groups of the command line and the help text built from them.
//
// Each function builds a fresh description, with the option library's default
// line length and a minimum description width of half of it. No option has a
// default value or is marked required: the parser enforces required values
// itself. Switches are bool_switch values, so they are always present in a
// variables map and false unless given.
#pragma once

#include <boost/program_options/options_description.hpp>
#include <string>

namespace ZorErrorReporting {

// First pass, shown in the help: help, command, source, config-file,
// rotate-log-interval (-R), version.
boost::program_options::options_description MakeAllowedOptions();
// First pass, never shown: enable-features, crashdumps-dir, crashdumps-temp-dir.
boost::program_options::options_description MakeHiddenOptions();

// Second-pass groups, shown in the help.
boost::program_options::options_description MakeSendCrashOptions();
boost::program_options::options_description MakeSendLogsOptions();
boost::program_options::options_description MakeSimulateCrashOptions();
boost::program_options::options_description MakeListOptions();
boost::program_options::options_description MakeRetryOptions();
boost::program_options::options_description MakeMetadataOptions();
boost::program_options::options_description MakeConfigOverrideOptions();

// The older syntax without --command; never shown.
boost::program_options::options_description MakeLegacyOptions();

// The whole help text: every shown group in order, each followed by a newline,
// then a banner and four usage examples that start with `programName`.
std::string FormatHelpText(const std::string& programName);

}  // namespace ZorErrorReporting
