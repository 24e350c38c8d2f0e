// The CrashManifest reader on arbitrary file content.
#include <cstddef>
#include <cstdint>

#include "packages/crash_manifest.h"
#include "state_file_fuzz.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zor::fuzz::Init(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zor::fuzz::FuzzStateFile<ZorErrorReporting::CrashManifest>(data, size, "crash.manifest");
  return 0;
}
