// The package status file: the Package JSON constructor, reached through a
// minimal concrete package (the abstract parts are not read from the file).
#include <cstddef>
#include <cstdint>
#include <memory>

#include "packages/package.h"
#include "state_file_fuzz.h"

namespace {

class FuzzPackage : public ZorErrorReporting::Package {
 public:
  using Package::Package;

  static std::shared_ptr<FuzzPackage> LoadFromFile(const zor::platform::TPath& path) {
    // Nothing is trusted: the fuzzer must never make a package delete.
    return LoadObjectFromFile<FuzzPackage>(path, ZorErrorReporting::TrustBoundary({}));
  }
  zor::platform::TString GetUploadFileName() const override { return "upload"; }
  zor::platform::TString GetIdentityJson() const override { return "{}"; }
  zor::platform::TString GetProductBuild() const override { return "build"; }
  zor::platform::TString GetEdition() const override { return "edition"; }
  zor::platform::TString GetOs() const override { return "os"; }
  zor::platform::TString GetOsVersion() const override { return "version"; }
  zor::platform::TString GetProcessorArchitecture() const override { return "arch"; }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zor::fuzz::Init(argc, argv);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zor::fuzz::FuzzStateFile<FuzzPackage>(data, size, "status.json");
  return 0;
}
