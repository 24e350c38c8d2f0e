// The records of command-line overrides. The command line fills them, the
// override holders publish them; an empty field means "not overridden".
#pragma once

#include "platform/tstring.h"

namespace ZorErrorReporting {

// Overrides of two configuration settings.
struct ConfigOverrideValues {
  // Empty, "true" or "false" (already lower-cased and validated).
  zor::platform::TString deleteCompletedDumps;
  // Raw list text in the form of the dump-directories setting.
  zor::platform::TString crashDumpDirectories;
  // The program's own crash dump directory, scanned with the dump
  // directories (not an override of a setting: the driver fills it).
  zor::platform::TString ownCrashDumpsDirectory;
};

// Overrides of the crash metadata sent when a package is registered.
struct MetadataOverrideValues {
  zor::platform::TString clientIssueId;
  zor::platform::TString clientProductBuild;
  zor::platform::TString clientProductType;
  zor::platform::TString clientChannel;
  zor::platform::TString systemOs;
  zor::platform::TString systemOsVersion;
  zor::platform::TString systemOsArch;
  // Empty, "true" or "false".
  zor::platform::TString clientProductBeta;
};

}  // namespace ZorErrorReporting
