#include "upload/package_status_file.h"

#include "packages/crash_package.h"
#include "packages/logs_package.h"

namespace ZorErrorReporting {

using zor::platform::TPath;

std::shared_ptr<Package> LoadPackageStatusFile(const TPath& path, const TrustBoundary& boundary) {
  const bool logsByName = path.ReplaceExtension("").Filename().endsWith(
      "." + ToName(PackageType::kZippedLogsPackage), false);
  if (logsByName) return LogsPackage::LoadFromFile(path, boundary);
  std::shared_ptr<CrashPackage> crash = CrashPackage::LoadFromFile(path, boundary);
  if (crash->GetPackageType() == PackageType::kZippedLogsPackage) {
    return LogsPackage::LoadFromFile(path, boundary);
  }
  return crash;
}

}  // namespace ZorErrorReporting
