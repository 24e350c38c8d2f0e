// The configuration file: the input is the file's text, read by Config::Load
// and then queried through every getter, so that the line rules, the quote
// rules, the environment substitution and the value conversions all see it.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>

#include "config/config.h"
#include "config/config_parser.h"
#include "fuzz_support.h"

using ZorErrorReporting::Config;
using zor::platform::TPath;
using zor::platform::TString;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zor::fuzz::Init(argc, argv);
  // Variables for the substitution to find: a plain one, one that brings in
  // another reference, and one that names itself.
  setenv("ZF_A", "alpha", 1);
  setenv("ZF_B", "<%=ENV[ZF_A]%>/b", 1);
  setenv("ZF_SELF", "x<%=ENV[ZF_SELF]%>", 1);
  setenv("ZF_EMPTY", "", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = zor::fuzz::WriteScratchFile("config.yml", data, size);
  Config config;
  zor::fuzz::ExpectOnlyOurErrors([&] { config.Load(TPath(path)); }, {path});

  // Each getter on its own: one setting's bad value must not hide the next.
  // Errors name the file or the setting with its value.
  const std::vector<std::string> names = {path, "setting"};
  const auto check = [&](auto getter) { zor::fuzz::ExpectOnlyOurErrors(getter, names); };
  check([&] { config.GetUploadEndpoint(); });
  check([&] { config.GetRsaEndpoint(); });
  check([&] { config.GetChannel(); });
  check([&] { config.GetDisableCertValidation(); });
  check([&] { config.GetDumpDirectories(); });
  check([&] { config.GetFollowSymlinks(); });
  check([&] { config.GetDataDirectory(); });
  check([&] { config.GetDeleteCompletedDumps(); });
  check([&] { config.GetPreserveUploadPackages(); });
  check([&] { config.GetFilenameExclusionRegex(); });
  check([&] { config.GetHttpGetTimeout(); });
  check([&] { config.GetUploadPartSize(); });
  check([&] { config.GetUploadBandwidthLimit(); });
  check([&] { config.GetProxySettings(); });
  check([&] { config.GetTestControllerName(); });
  check([&] { config.GetLogDirectory(); });
  check([&] { config.GetRetentionMaxAgeDays(); });
  check([&] { config.GetRetentionMaxTotalMb(); });
  check([&] { config.GetMaxUploadsPerHour(); });
  check([&] { config.GetMetricsFile(); });
  check([&] { config.Validate(); });
  config.GetSettingWarnings();

  // The raw text rules straight, with every value substituted and converted.
  const TString text = TString::fromUtf8(reinterpret_cast<const char*>(data), size);
  for (const ZorErrorReporting::ConfigLine& line : ZorErrorReporting::ReadConfigLines(text)) {
    if (line.kind != ZorErrorReporting::ConfigLine::Kind::kSetting) continue;
    check([&, key = line.key, value = line.value] {
      const TString substituted = ZorErrorReporting::SubstituteEnvironment(key, value, TPath(path));
      ZorErrorReporting::ConfigTextToPathList(substituted);
      ZorErrorReporting::ConfigMinutesToMs(substituted);
    });
  }
  return 0;
}
