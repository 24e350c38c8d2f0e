// PackageUploadProgress: what a later run needs to resume an interrupted
// multipart upload of one package file: the file, its size, the part size, the
// upload id the server assigned and the tag of every part the server has
// confirmed. Kept in "<package name>.uploaded.parts" in the data directory.
//
// Lifecycle:
//   1. made by Package::StartUploadProgress as soon as the server has given
//      an upload id, before any part is sent: saved first (created bound as
//      "<package name>.uploaded.parts"), then recorded in the package's status
//      file, so that a recorded progress always holds its upload id (a record
//      without one is one that an older version left; it stands for no
//      upload);
//   2. AddCompletedPart saves it again after every confirmed part, so a
//      process that dies loses at most the part in flight;
//   3. a later run loads it (LoadFromFile) and skips the parts it lists.
//
// File format (a JSON object, members in this order): "upload-package-file"
// (string, native path), "upload-id" (string), "upload-file-size" (integer),
// "max-part-size" (integer), "part-count" (integer, informative only),
// "parts-completed" (array of {"part-number": integer, "part-tag": string},
// ascending). Readers match names without regard to case.
//
// Thread-safety: one thread at a time; the completed-parts map handed out by
// GetCompletedParts is not locked and changes with AddCompletedPart.
#pragma once

#include <cstdint>
#include <map>
#include <memory>

#include "packages/json_file_serialized_object.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class PackageUploadProgress : public JsonFileSerializedObject {
 public:
  // Part number (from 1) to the tag the server answered for that part.
  using CompletedParts = std::map<std::uint64_t, zor::platform::TString>;
  // The most parts an object store takes in one upload.
  static constexpr uint64_t kMaxParts = 10000;

  // A new upload of `uploadPackageFile` (`uploadFileSize` bytes) in parts of
  // `maxPartSize` bytes under `uploadId`: no completed parts, unbound, not
  // saved.
  // Throws ZorvaneException when the part size is 0 or would give more than
  // kMaxParts parts.
  PackageUploadProgress(const zor::platform::TPath& uploadPackageFile, uint64_t uploadFileSize,
                        uint64_t maxPartSize, const zor::platform::TString& uploadId = {});
  // Copies would share the completed-parts map while saving to one file.
  PackageUploadProgress(const PackageUploadProgress&) = delete;
  PackageUploadProgress& operator=(const PackageUploadProgress&) = delete;

  // Reads a progress object (see the file format above). Unknown names of
  // string, integer or array members are logged at Warn and skipped; members
  // of other types are skipped silently; a "parts-completed" element without
  // a part number above 0 or without a tag is dropped, and of two elements
  // with the same number the first wins. A "part-count" that differs from the
  // computed count is logged at Warn and otherwise ignored. `source`, when not
  // empty, is named in the log lines.
  // Throws ZorvaneException when `json` is not an object, when a
  // "parts-completed" element is not an object or names a part above the
  // count, or when the part size is unusable (as the other constructor):
  // such a record was damaged, and resuming from it would send a cut object.
  explicit PackageUploadProgress(const rapidjson::Value& json,
                                 const zor::platform::TPath& source = {});

  // Loads the file at `path` and binds the new object to it. Throws what
  // JsonFileSerializedObject::ReadJsonFile and the JSON constructor throw.
  static std::shared_ptr<PackageUploadProgress> LoadFromFile(const zor::platform::TPath& path);

  // JsonFileSerializedObject:
  rapidjson::Document ToJson() const override;

  const zor::platform::TPath& GetUploadPackageFile() const { return uploadPackageFile_; }
  const zor::platform::TString& GetUploadId() const { return uploadId_; }
  uint64_t GetUploadFileSize() const { return uploadFileSize_; }
  uint64_t GetMaxPartSize() const { return maxPartSize_; }
  // The number of parts: the file size divided by the part size, rounded up
  // (0 for an empty file).
  int GetPartCount() const;
  // The shared map of completed parts, ordered by part number.
  std::shared_ptr<const CompletedParts> GetCompletedParts() const { return completedParts_; }

  // Records `tag` for `partNumber` unless that part is already recorded (the
  // first tag stays), then saves in either case. Throws what Save throws; the
  // part is recorded even then.
  void AddCompletedPart(uint64_t partNumber, const zor::platform::TString& tag);

 private:
  void CheckPartSize() const;
  void ReadPart(const rapidjson::Value& part, const zor::platform::TPath& source);

  zor::platform::TPath uploadPackageFile_;
  zor::platform::TString uploadId_;
  uint64_t uploadFileSize_ = 0;
  uint64_t maxPartSize_ = 0;
  std::shared_ptr<CompletedParts> completedParts_ = std::make_shared<CompletedParts>();
};

}  // namespace ZorErrorReporting
