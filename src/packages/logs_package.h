// LogsPackage: the package for a `send-logs` upload: a zip of log files that
// the user supplied, plus the customer's details (LogPackageMetadata).
//
// The package zips nothing itself: the user's zip is recorded as its
// "zipped-package-file" and is never deleted by the program, neither by
// CleanUpFiles nor by DeletePackage. The customer's details live in a file of
// their own, recorded as the "package-metadata-file".
//
// Naming: the package name is the last component of the base path the
// creator chooses (by convention "<uuid>.zipped-logs-package"), and the status
// file starts as "<base path>.pending"; status changes replace that last
// extension (see Package).
//
// Ownership: held by std::shared_ptr; the package owns its cached metadata
// object and shares it with callers. Thread-safety: none; one thread at a time.
#pragma once

#include <rapidjson/fwd.h>

#include <memory>

#include "packages/package.h"
#include "platform/tpath.h"
#include "platform/tstring.h"
#include "platform/tuuid.h"

namespace ZorErrorReporting {

class LogPackageMetadata;

class LogsPackage : public Package {
 public:
  // Creates a logs package named after the last component of `basePath`,
  // of type "zipped-logs-package" with `localId`, recording `zipPath` as the
  // "zipped-package-file" and `metadataPath` (unless empty) as the
  // "package-metadata-file", and saves its status file as `basePath` +
  // ".pending" (SaveNewFile) with both already recorded: no status file ever
  // names a logs package without its customer's details. Throws "Package
  // name is empty!" when `basePath` has no last component, and what
  // SaveNewFile throws (a file that could not be saved is not created).
  static std::shared_ptr<LogsPackage> Create(const zor::platform::TPath& basePath,
                                             const zor::platform::TPath& zipPath,
                                             const zor::platform::TPath& metadataPath,
                                             const zor::platform::TUUID& localId,
                                             const TrustBoundary& boundary);

  // Loads the status file at `path` and binds the package to it, its own
  // files held to its folder (LeaveOutDataFilesElsewhere). Throws what
  // JsonFileSerializedObject::ReadJsonFile and Package's JSON reading throw.
  static std::shared_ptr<LogsPackage> LoadFromFile(const zor::platform::TPath& path,
                                                   const TrustBoundary& boundary);

  // An unbound package with no data files; Create is the way to make one that
  // has a status file. Throws "Package name is empty!" when `name` is empty.
  LogsPackage(const zor::platform::TString& name, const zor::platform::TUUID& localId,
              TrustBoundary boundary);
  // Reads a status file's root object as Package does.
  LogsPackage(const rapidjson::Value& json, TrustBoundary boundary);
  ~LogsPackage() override;

  // Package:
  // The file name of the "zipped-package-file". Throws ZorvaneException "Data
  // file path 'zipped-package-file' is not set on package '<name>'" when none
  // is recorded.
  zor::platform::TString GetUploadFileName() const override;
  // {"log-package-name":"<name>"}, followed by "issue-id" (the remote package
  // id) only once the server has assigned one; compact.
  zor::platform::TString GetIdentityJson() const override;
  // The "zipped-package-file" is the user's zip: DeleteDataFiles neither logs
  // nor deletes it.
  bool KeepsDataFile(DataFileKind kind) const override;
  // "Unspecified": a logs package comes from no product build or edition.
  zor::platform::TString GetProductBuild() const override;
  zor::platform::TString GetEdition() const override;
  // The running system's facts (TSystem::OSShortName, SystemInfo).
  zor::platform::TString GetOs() const override;
  zor::platform::TString GetOsVersion() const override;
  zor::platform::TString GetProcessorArchitecture() const override;
  // The customer's details (a LogPackageMetadata), loaded from the recorded
  // "package-metadata-file" on the first call and kept; later calls return
  // the same object. Throws as GetDataFilePath when none is recorded, and
  // what LogPackageMetadata::LoadFromFile throws (nothing is kept then).
  std::shared_ptr<PackageMetadata> GetPackageMetadata() override;

 private:
  std::shared_ptr<LogPackageMetadata> packageMetadata_;
};

}  // namespace ZorErrorReporting
