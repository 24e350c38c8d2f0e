// The artifact-name recogniser: the input is a path text. None of these
// functions may throw, and a parser that reports a match must deliver what
// its pattern guarantees.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "packages/artifact_name_rules.h"

namespace names = ZorErrorReporting::ArtifactNames;
using zor::platform::TPath;
using zor::platform::TString;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zor::fuzz::Init(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const TString text = TString::fromUtf8(reinterpret_cast<const char*>(data), size);
  zor::fuzz::ExpectOnlyOurErrors(
      [&] {
        const auto type = names::RecognizeArtifactType(text);
        if (ZorErrorReporting::ArtifactTypeFromName(ZorErrorReporting::ToName(type)) != type) {
          zor::fuzz::Fail("type name does not read back", text.toStdString());
        }
        const TPath path(text);
        names::GetGroupingKey(path);
        names::GetFileNameKey(path);
        names::IsJavaFile(path);

        TString process, packageId;
        uint64_t pid = 0, signal = 0, timestamp = 0;
        // Every pattern demands at least one character of process name.
        if (names::ParseGdbStackFileName(path, &process, &pid, &signal, &timestamp) &&
            process.isEmpty()) {
          zor::fuzz::Fail("GDB stack name matched without a process", text.toStdString());
        }
        if (names::ParseProcessFileName(path, &process, &pid) && process.isEmpty()) {
          zor::fuzz::Fail("process file name matched without a process", text.toStdString());
        }
        if (names::ParseJavaFileName(path, &process, &pid, &timestamp, &packageId) &&
            (process.isEmpty() || packageId.size() != 32)) {
          zor::fuzz::Fail("Java name matched without process or package id",
                          text.toStdString());
        }
      },
      {});
  return 0;
}
