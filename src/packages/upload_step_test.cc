#include "packages/upload_step.h"

#include <gtest/gtest.h>

#include <string>

namespace ZorErrorReporting {
namespace {

using Kind = UploadStepKind;
using File = DataFileKind;

const std::set<File> kEncryption = {File::kEncryptedPackageFile, File::kZorEncryptionMetadataFile,
                                    File::kPartsUploadedFile};

// The situations an interruption leaves, one row each.
TEST(UploadStepTest, EachRecordedStateHasOneNextStep) {
  struct Row {
    const char* what;
    UploadRecord record;
    UploadStep step;
  };
  const auto with = [](auto change) {
    UploadRecord r;
    r.status = UploadStatus::kPendingRetry;
    change(r);
    return r;
  };
  const auto ready = [](UploadRecord& r) {
    r.zip = r.encrypted = r.metadata = r.remoteId = true;
  };
  const auto uploading = [&](UploadRecord& r) {
    ready(r);
    r.progress = r.progressUsable = true;
    r.partCount = 3;
  };
  std::set<File> withZip = kEncryption;
  withZip.insert(File::kZippedPackageFile);
  const Row rows[] = {
      {"new", with([](UploadRecord&) {}), {Kind::kZip, 0, withZip}},
      {"zipped", with([](UploadRecord& r) { r.zip = true; }), {Kind::kEncrypt, 0, kEncryption}},
      {"encrypted file without its metadata",
       with([](UploadRecord& r) { r.zip = r.encrypted = true; }),
       {Kind::kEncrypt, 0, kEncryption}},
      {"metadata without the encrypted file, zip gone",
       with([](UploadRecord& r) { r.metadata = true; }),
       {Kind::kZip, 0, withZip}},
      {"encrypted, not registered",
       with([](UploadRecord& r) { r.encrypted = r.metadata = true; }),
       {Kind::kRegister, 0, {}}},
      {"registered", with(ready), {Kind::kRequestUploadId, 0, {}}},
      {"progress without an upload id", with([&](UploadRecord& r) {
         ready(r);
         r.progress = true;
       }),
       {Kind::kRequestUploadId, 0, {File::kPartsUploadedFile}}},
      {"progress but the remote id lost", with([&](UploadRecord& r) {
         uploading(r);
         r.remoteId = false;
       }),
       {Kind::kRegister, 0, {File::kPartsUploadedFile}}},
      {"no part sent", with(uploading), {Kind::kSendPart, 1, {}}},
      {"parts 1 and 3 sent", with([&](UploadRecord& r) {
         uploading(r);
         r.partsUploaded = {1, 3};
       }),
       {Kind::kSendPart, 2, {}}},
      {"every part sent", with([&](UploadRecord& r) {
         uploading(r);
         r.partsUploaded = {1, 2, 3};
       }),
       {Kind::kComplete, 0, {}}},
      {"complete with upload files", with([](UploadRecord& r) {
         r.status = UploadStatus::kComplete;
         r.hasUploadFiles = true;
       }),
       {Kind::kCleanUp, 0, {}}},
      {"complete, files kept on purpose", with([](UploadRecord& r) {
         r.status = UploadStatus::kComplete;
         r.hasUploadFiles = r.keepUploadFiles = true;
       }),
       {Kind::kNothing, 0, {}}},
      {"failed", with([&](UploadRecord& r) {
         uploading(r);
         r.status = UploadStatus::kFailed;
       }),
       {Kind::kNothing, 0, {}}},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(NextUploadStep(row.record), row.step) << row.what;
  }
}

// Every combination of what a package may record for an active upload: the
// rules that keep a crash uploadable hold in each.
TEST(UploadStepTest, NoCombinationSendsWhatCannotBeDecrypted) {
  for (unsigned bits = 0; bits < (1u << 7); ++bits) {
    for (const UploadStatus status :
         {UploadStatus::kPending, UploadStatus::kStarted, UploadStatus::kPendingRetry}) {
      UploadRecord r;
      r.status = status;
      r.zip = bits & 1;
      r.encrypted = bits & 2;
      r.metadata = bits & 4;
      r.progress = bits & 8;
      r.progressUsable = r.progress && (bits & 16);
      r.remoteId = bits & 32;
      r.partCount = 2;
      if (bits & 64) r.partsUploaded = {1, 2};
      const UploadStep step = NextUploadStep(r);
      const std::string what = "combination " + std::to_string(bits);
      const bool encryptionWhole = r.encrypted && r.metadata;
      const bool local = step.kind == Kind::kZip || step.kind == Kind::kEncrypt;
      // Only a whole encryption goes to the server; anything less is redone.
      EXPECT_EQ(local, !encryptionWhole) << what;
      EXPECT_TRUE(step.kind != Kind::kEncrypt || r.zip) << what;
      // Redoing the encryption drops every part sent under the old key.
      EXPECT_TRUE(!local || step.discard.count(File::kPartsUploadedFile)) << what;
      // Parts go only under an upload id of this package's registration.
      const bool resumes = step.kind == Kind::kSendPart || step.kind == Kind::kComplete;
      EXPECT_EQ(resumes, encryptionWhole && r.progressUsable && r.remoteId) << what;
      // What can be resumed is never thrown away.
      EXPECT_TRUE(!resumes || step.discard.empty()) << what;
      EXPECT_NE(step.kind, Kind::kNothing) << what;
    }
  }
}

}  // namespace
}  // namespace ZorErrorReporting
