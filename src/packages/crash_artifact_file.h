// CrashArtifactFile: one file that a crash left behind (a dump, a manifest, a
// log, ...) as a crash manifest and a crash package list it: its path, its
// type, its size and last write time, and whether it may be uploaded.
//
// Record JSON (an object, members in this order): "filename" (string),
// "type" (string, ToName of the type), "size" (unsigned integer),
// "last-write-time" (string, UTC, date pattern kLastWriteTimePattern),
// "upload-permission" (string). A reader matches names ignoring case and never
// reads the time back.
//
// Ownership: shared through std::shared_ptr. Thread-safety: a plain value; one
// thread at a time.
#pragma once

#include <rapidjson/fwd.h>

#include <cstddef>
#include <cstdint>

#include "packages/artifact_name_rules.h"
#include "platform/date_time.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

// Whether a crash artifact goes into the package zip. Written by name.
enum class UploadPermission : int {
  kUnknown = 0,                            // "Unknown": only read from a record
  kAllowed = 1,                            // "Allowed": zipped and uploaded
  kNotAllowedFileTypeDisabledByAdmin = 2,  // full dumps when turned off; middle rotated logs
  kNotAllowedFileExceedsSizeLimit = 3,     // never assigned; a name records may carry
};

// The permission's name. Throws ZorvaneException (after logging the same text
// at Debug) "Could not find entry in UploadPermission map. ..." for a value
// outside the table.
zor::platform::TString ToName(UploadPermission permission);
// The permission whose name equals `name` ignoring case; kUnknown when none.
UploadPermission UploadPermissionFromName(const zor::platform::TString& name);

// The permission a crash package gives a file of `type`: full dumps are
// turned off unless `fullDumpUploadAllowed`; everything else is allowed.
UploadPermission PermissionForArtifactType(ArtifactType type, bool fullDumpUploadAllowed);
// The permission of the file at `position` of an error log's rotated chain of
// `fileCount` files (position 0 is the log itself): the first three and the
// last three files are allowed, the ones between are not, so a long chain
// keeps the start and the end of what led up to the crash.
UploadPermission PermissionForRotatedLog(size_t position, size_t fileCount);

class CrashArtifactFile {
 public:
  // The file at `path` as it is now: name from the path's text, type from the
  // name, size and last write time from the file-system facade, permission
  // Allowed. Throws what the facade throws (TPath::Exception) when the file
  // cannot be examined.
  explicit CrashArtifactFile(const zor::platform::TPath& path);
  // A record with the given fields (no I/O).
  CrashArtifactFile(zor::platform::TString fileName, ArtifactType type, uint64_t size,
                    zor::platform::DateTime lastWriteTime, UploadPermission uploadPermission);
  // Reads a record (see above). String "filename", "type", "size" (decimal
  // text), "upload-permission" and integer "size" are read; anything else,
  // "last-write-time" included, is skipped. A member that repeats replaces the
  // earlier one. Missing members leave: type Unknown, size 0, permission
  // Allowed, an invalid time. Throws ZorvaneException when `json` is not an
  // object.
  explicit CrashArtifactFile(const rapidjson::Value& json);

  // The record as a JSON object allocated in `allocator`. Throws what
  // ToName(UploadPermission) throws for a permission outside the table.
  rapidjson::Value ToJson(rapidjson::MemoryPoolAllocator<rapidjson::CrtAllocator>& allocator) const;

  const zor::platform::TString& GetFileName() const { return fileName_; }
  ArtifactType GetType() const { return type_; }
  uint64_t GetSize() const { return size_; }
  // Local time; invalid for a record read from JSON.
  const zor::platform::DateTime& GetLastWriteTime() const { return lastWriteTime_; }
  UploadPermission GetUploadPermission() const { return uploadPermission_; }
  void SetUploadPermission(UploadPermission permission) { uploadPermission_ = permission; }

 private:
  zor::platform::TString fileName_;
  ArtifactType type_ = ArtifactType::kUnknown;
  uint64_t size_ = 0;
  zor::platform::DateTime lastWriteTime_;
  UploadPermission uploadPermission_ = UploadPermission::kAllowed;
};

}  // namespace ZorErrorReporting
