// The next step of a package's upload, derived from what the package has
// recorded and what of it is on disk. This is the one place that decides how
// an upload goes on after any interruption; the upload client, the protocol
// and reconciliation all ask it instead of testing files themselves.
//
// The rules, which keep a found crash uploadable whatever was cut short:
//   - Encryption is all or nothing: an encrypted file counts only together
//     with its metadata (both recorded and both on disk). Anything less, as a
//     kill or an older version leaves it, is dropped and the package is
//     encrypted again from its zip when it has one (a logs package's, or one
//     kept by preserve_upload_packages), else zipped and encrypted again in
//     one pass from its crash files. An encrypted file that was never synced
//     counts only in the boot that wrote it: after a restart the page cache
//     that held it is gone, whatever the disk shows, so it is made again.
//   - An upload id is part of the progress record or there is no upload: a
//     progress record without one, or one that describes another file or
//     size than the encrypted file, is dropped and a new upload id asked for.
//     A progress record without a complete encryption goes with it.
//   - A package with no remote id is registered first; a progress record
//     without one is dropped, since its upload id belongs to no registration.
//   - Parts go in ascending order, the first one without a tag next; with
//     every part tagged, the completion is next.
//   - A "Complete" package has only its clean-up left (when it still records
//     upload files and they are not to be kept); "Failed" and "Unknown" ones
//     have nothing.
// Deriving is pure: DescribeUpload does the reading, NextUploadStep decides.
#pragma once

#include <cstdint>
#include <set>

#include "packages/package_types.h"

namespace ZorErrorReporting {

class Package;

// What a package has, as far as its next step is concerned.
struct UploadRecord {
  UploadStatus status = UploadStatus::kPending;
  bool zip = false;                  // a zip recorded and on disk
  bool encrypted = false;            // an encrypted file recorded and on disk,
                                     // synced or written in this boot
  bool unsyncedBeforeRestart = false;  // one recorded and on disk, but neither
  bool metadata = false;             // encryption metadata recorded and on disk
  bool progress = false;             // an upload progress recorded
  bool progressUsable = false;       // ... readable, with an upload id, for this file and size
  zor::platform::TString progressRefusal;  // why a recorded progress cannot be read, if so
  bool remoteId = false;             // the server's id for the package is known
  bool keepUploadFiles = false;      // preserve_upload_packages
  bool hasUploadFiles = false;       // any of zip, encrypted file, metadata, progress on disk
  int partCount = 0;                 // from a usable progress record
  std::set<uint64_t> partsUploaded;  // from a usable progress record
};

enum class UploadStepKind {
  kZip,              // zip the package's files and encrypt them in one pass, recording
                     // the encrypted file, its metadata (and a kept zip) in one save
  kEncrypt,          // encrypt the zip, recording the file and its metadata in one save
  kRegister,         // ask the server for the package's remote id
  kRequestUploadId,  // ask for an upload id and start the progress record with it
  kSendPart,         // send part `part`
  kComplete,         // send the completion of the multipart upload
  kCleanUp,          // remove the upload files of a complete package
  kNothing,          // nothing is left to do
};

struct UploadStep {
  UploadStepKind kind = UploadStepKind::kNothing;
  uint64_t part = 0;  // for kSendPart, from 1
  // What must be unrecorded (and removed) before the step, because the rules
  // above do not accept it: kinds of DataFileKind.
  std::set<DataFileKind> discard;

  bool operator==(const UploadStep&) const = default;
};

// The step for `record`, by the rules above. Never throws.
UploadStep NextUploadStep(const UploadRecord& record);

// Reads what `package` records and checks which of its files exist; a
// progress record that cannot be loaded counts as not usable. `keepUploadFiles`
// is the preserve_upload_packages setting. Never throws for a missing or
// unreadable file; throws only what the file-system facade's existence checks
// throw.
UploadRecord DescribeUpload(Package& package, bool keepUploadFiles);

// The name of a step kind for log lines ("zip", "encrypt", ...).
const char* ToName(UploadStepKind kind);

}  // namespace ZorErrorReporting
