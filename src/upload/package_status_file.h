// Reading a package status file of the data directory as the kind of
// package it describes.
#pragma once

#include <memory>
#include <vector>

#include "packages/package_types.h"
#include "platform/tpath.h"

namespace ZorErrorReporting {

class Package;
class TrustBoundary;

// The statuses whose lower-case names end the status files that a run finds
// in the data directory ("Unknown" is never written).
inline constexpr UploadStatus kStoredStatuses[] = {UploadStatus::kPending, UploadStatus::kStarted,
                                                   UploadStatus::kPendingRetry,
                                                   UploadStatus::kFailed, UploadStatus::kComplete};

// Loads the status file at `path` and binds the package to it: a LogsPackage
// when the file's stem ends in ".zipped-logs-package" or its content says
// that type (only it knows that the user's zip is not its to delete), else a
// CrashPackage, within `boundary`. Throws what the packages' LoadFromFile
// throws.
std::shared_ptr<Package> LoadPackageStatusFile(const zor::platform::TPath& path,
                                               const TrustBoundary& boundary);

}  // namespace ZorErrorReporting
