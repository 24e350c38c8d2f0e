// The enumerations of the package model and their names.
//
// State files write an enumeration as its name, never as its number. Each
// enumeration has one fixed table of names (value to name, values 0..n-1):
//   - ToName of a value that is not in the table gives the name of value 0;
//   - ...FromName compares the text with the names in ascending order of
//     value, ignoring case, and gives the first match, or value 0 when none
//     matches.
// The numbers are what the program holds in memory; they do not follow the
// order of any lifecycle. Thread-safety: the tables are constant.
#pragma once

#include <optional>

#include "platform/tstring.h"

namespace ZorErrorReporting {

enum class PackageType : int {
  kUnknownPackage = 0,     // "unknown-package"
  kCrashPackage = 1,       // "crash-package"
  kZippedLogsPackage = 2,  // "zipped-logs-package"
};

// How far a package's upload has come; also the last extension of its status
// file name, in lower case (StatusFileExtension).
enum class UploadStatus : int {
  kUnknown = 0,       // "Unknown": only read from a file with an unknown name
  kPending = 1,       // "Pending": made, never tried
  kStarted = 2,       // "Started": an attempt is running (or the run died in it)
  kPendingRetry = 3,  // "PendingRetry": an attempt failed and will be retried
  kFailed = 4,        // "Failed": given up; files cleaned up
  kComplete = 5,      // "Complete": uploaded
};

// What a file recorded by a package holds; a package records at most one path
// per kind.
enum class DataFileKind : int {
  kUnknownFile = 0,                 // "unknown-file"
  kManifestFile = 1,                // "manifest-file": the crash manifest
  kZippedPackageFile = 2,           // "zipped-package-file": the zip of the package's files
  kZorEncryptionMetadataFile = 3,   // "zor-encryption-metadata-file"
  kUserEncryptionMetadataFile = 4,  // "user-encryption-metadata-file" (never written)
  kEncryptedPackageFile = 5,        // "encrypted-package-file": what is uploaded
  kPartsUploadedFile = 6,           // "parts-uploaded-file": the upload progress
  kPackageMetadataFile = 7,         // "package-metadata-file": extra package metadata
};

enum class UploadResultCode : int {
  kUnknown = 0,       // "Unknown": recorded by the program itself (stale or given-up package)
  kSuccess = 1,       // "Success"
  kClientError = 2,   // "ClientError": any failure but the transport's
  kNetworkError = 3,  // "NetworkError": the transport failed (no HTTP answer)
};

zor::platform::TString ToName(PackageType value);
zor::platform::TString ToName(UploadStatus value);
zor::platform::TString ToName(DataFileKind value);
zor::platform::TString ToName(UploadResultCode value);

PackageType PackageTypeFromName(const zor::platform::TString& name);
UploadStatus UploadStatusFromName(const zor::platform::TString& name);
UploadResultCode UploadResultCodeFromName(const zor::platform::TString& name);

// The kind whose name equals `name` ignoring case, or nullopt when none does
// (so that a reader can tell "unknown-file" from a name that is no kind).
std::optional<DataFileKind> FindDataFileKind(const zor::platform::TString& name);

// JSON member names that more than one document of a package uses: the
// crash's correlation id (status file, manifest, registration identity) and
// the issue id of a registered package (registration identity).
inline constexpr char kCrashCorrelationIdMember[] = "crash-correlation-id";
inline constexpr char kIssueIdMember[] = "issue-id";

// The lower-case status name that ends a status file's name ("pendingretry").
zor::platform::TString StatusFileExtension(UploadStatus status);

}  // namespace ZorErrorReporting
