// UploadClient: what both upload commands share. Construction prepares an
// upload (configuration file, the optional test controller, crash
// discovery, the crash server connection, the server's public key and the
// encryptor); UploadPackage carries out one attempt for one package.
//
// Construction, in this order: load the configuration file; run the test
// controller when one is named (blocks until the test says "continue");
// create the processor for the dump and data directories (may create the
// data directory); create the protocol for the upload endpoint with an
// empty customer id (with a progress line on standard output when that is a
// terminal); download the public key; create the encryptor. Any
// exception leaves the client unbuilt and reaches the caller.
//
// Ownership: the client owns the processor, the encryptor and the protocol
// (destroyed in the reverse order). Thread-safety: the command's thread only.
#pragma once

#include <memory>

#include "platform/interruption.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class CrashPackageProcessor;
class CrashServerProtocol;
class Package;
class PackageEncryptor;
class TerminalProgress;

class UploadClient {
 public:
  explicit UploadClient(const zor::platform::TString& configFile);
  virtual ~UploadClient();
  UploadClient(const UploadClient&) = delete;
  UploadClient& operator=(const UploadClient&) = delete;

 protected:
  // One attempt: status "Started"; the package's next upload steps
  // (packages/upload_step.h) from where earlier attempts left it: zip and
  // encrypt in one pass from the crash files, or encrypt the zip a package
  // already has (a finished encryption is used as it is, so the key in its
  // metadata stays valid; an unfinished one is done again), then the
  // protocol's upload; result "Success", status "Complete"; a crash
  // package's upload files are then cleaned up unless
  // preserve_upload_packages is set. Throws whatever fails, leaving the
  // package as far as it came (its results and status are the caller's);
  // PackageFilesUnreadable when a logs package's zip is gone.
  void UploadPackage(const std::shared_ptr<Package>& package);

  // What an upload loop does when a signal stops the attempt on `package`:
  // saves it as "PendingRetry" without adding a result (an interrupted run
  // says nothing about the package, so it costs no attempt), the interruption
  // as its last error with no wait (so the next run tries it after those not
  // stopped, InFairOrder) and returns the
  // exception to throw on, naming the package. Never throws: a failed save is
  // logged, and the next run settles the package it leaves "Started".
  static zor::platform::RunInterrupted PutBack(Package& package,
                                               const zor::platform::RunInterrupted& interrupted);

  // Records the failed attempt `e` on `package` where `list` shows it, and
  // saves it as "PendingRetry": a verdict (ClassifyFailure) is an upload
  // result, a counted attempt whose upload is not resumed; trouble of the
  // server or the network (an HTTPException or a CurlException) only delays
  // the next attempt (Package::RecordTransientFailure); any other trouble is
  // a wait (Package::RecordWait), no attempt at all. Returns false for a
  // wait met before the last UploadPackage asked the server anything, true
  // for an attempt (counted or not) and for local trouble after the server
  // was asked (then recorded as a wait, but the server's time was spent).
  // Never throws: saving may fail as the attempt did (a full disk), which is
  // logged; the status file then keeps what it had, and the next run settles
  // it without counting an attempt.
  bool RecordFailure(Package& package, const zor::platform::ZorvaneException& e) const;

  CrashPackageProcessor& Processor() { return *processor_; }
  // Whether the last UploadPackage sent the server a request about its
  // package.
  bool ServerAsked() const { return serverAsked_; }

 private:
  // The local steps (zip, encrypt) until the next one is the server's.
  void PrepareUpload(Package& package);
  // Syncs the encrypted file that an earlier run of this boot left unsynced,
  // before any of it is sent; where that fails, discards it with its
  // metadata and progress, so that the crash is zipped again from its files,
  // unless one of them is gone (Package::FirstSourceGone): then the sync's
  // TPath::Exception is thrown and the file kept. Throws what
  // Package::DiscardDataFiles throws.
  void SyncEncryptionOfAnEarlierRun(Package& package);
  // Keeps the encrypted file that a boot before this one left unsynced when
  // the crash cannot be made again from its files (one it was zipped from,
  // or the user's zip of logs, is gone): it is synced now and
  // sent as it is (Warn), since it may still be whole and is the crash's
  // last copy. Otherwise leaves it for the upload steps to discard. Throws
  // TPath::Exception when the sync fails (the file stays; the failure is the
  // disk's, not the package's) and what Package::MarkEncryptionSynced throws.
  void KeepEncryptionThatCannotBeMadeAgain(Package& package);
  // Discards the encryption of a package made for a key other than the one
  // the server gave this run, with whatever was sent of it: the server could
  // not read it. Unless a file it was made from is gone: then it is the
  // crash's last copy, sent as it is under its own key id (Warn). Throws
  // what Package::DiscardDataFiles throws.
  void DiscardEncryptionForAnotherKey(Package& package);
  // Discards the encryption of a package whose encrypted file is not as
  // long as its metadata says (cut short or grown since; Warn naming both
  // sizes), with whatever was sent of it: sent, it would be an object the
  // server cannot decrypt, and the crash would be deleted as uploaded.
  // Throws what Package::DiscardDataFiles throws.
  void DiscardEncryptionOfAnotherSize(Package& package);

  zor::platform::TString keyId_;  // of the key the server gave this run
  std::unique_ptr<TerminalProgress> progress_;
  std::unique_ptr<CrashPackageProcessor> processor_;
  std::unique_ptr<PackageEncryptor> encryptor_;
  std::unique_ptr<CrashServerProtocol> protocol_;
  // Whether the last UploadPackage got as far as the server.
  bool serverAsked_ = false;
};

}  // namespace ZorErrorReporting
