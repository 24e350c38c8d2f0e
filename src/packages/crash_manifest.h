// CrashManifest: the small JSON file that a crashing application leaves next
// to its dump, naming the product build, the host and the system, and that
// this program completes once per crash with the list of the crash's files and
// the system facts the application did not write.
//
// The document is kept whole as read: every member the application wrote
// stays, in its order, repeated names included. Completing only appends (see
// Complete), so a file completed by this program still begins with exactly the
// application's members.
//
// Reading (the JSON constructor): member names are compared without regard to
// case; of two members of one name the later counts. String members "Id",
// "product-build", "host", "os", "edition", "os-version",
// "processor-architecture", "manifest-version"; boolean "upload-full-dumps";
// array "crash-artifact-files" of artifact records, keyed by their "filename"
// normalised (NormalisedPath)
// (a record whose file name is already known is not added again). A member of
// another type, and every other member, stays in the document unread.
//
// Lifecycle:
//   1. read (LoadFromFile) or made from an empty object by the crash package;
//   2. completed exactly once (Complete), which saves it; completed iff the
//      crash artifact files map is not empty;
//   3. read again in later runs, completed.
//
// Ownership: held by std::shared_ptr; the artifact records are shared with
// whoever asks for the map. Thread-safety: one thread at a time.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <unordered_set>

#include "packages/crash_artifact_file.h"
#include "packages/json_document.h"
#include "packages/json_file_serialized_object.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class CrashManifest : public JsonFileSerializedObject {
 public:
  // Crash files by path, in TPath order.
  using ArtifactFiles = std::map<zor::platform::TPath, std::shared_ptr<CrashArtifactFile>>;

  // The value of every text field that the document does not give.
  static constexpr char kUnspecified[] = "Unspecified";

  // A manifest of an empty object: nothing read, not completed, unbound.
  CrashManifest();
  // Reads `json` as described above. Throws ZorvaneException when `json` is
  // not an object; what CrashArtifactFile's JSON constructor throws for a
  // record.
  explicit CrashManifest(const rapidjson::Value& json);
  // The document is large and the records shared; copies would be surprising.
  CrashManifest(const CrashManifest&) = delete;
  CrashManifest& operator=(const CrashManifest&) = delete;

  // Loads the file at `path` and binds the new manifest to it; a relative
  // file name of its records is keyed as it lies beside the manifest (in
  // `path`'s folder, normalised). Throws what
  // JsonFileSerializedObject::ReadJsonFile and the JSON constructor throw.
  static std::shared_ptr<CrashManifest> LoadFromFile(const zor::platform::TPath& path);
  // As above, from the open `file`, bound to its path.
  static std::shared_ptr<CrashManifest> LoadFromFile(zor::platform::TFile& file);

  // JsonFileSerializedObject:
  // A copy of the document (with the appended members once completed).
  rapidjson::Document ToJson() const override;

  // Completes the manifest and saves it:
  //   - every file of `artifactFiles` goes into the crash artifact files map,
  //     keyed by its normalised file name; a "Manifest" among them is the
  //     application's, which belongs to the crash like its dumps (this
  //     manifest, the program's completed record, is never one of them);
  //   - appended after the document's members, in this order:
  //       "executable"   process name of the last Java fatal-error log, if any;
  //       "timestamp"    Unix time of the last write of the last minidump,
  //                      else of the last Java fatal-error log, if either;
  //       "upload-full-dumps"     `uploadFullDumps` (the field is set too);
  //       "crash-artifact-files"  one record per file of the map, map order;
  //     these four even where the application wrote members of those names
  //     (being later, ours count when the file is read again); then, each
  //     only when no member of its name (in any case) was read:
  //       "crash-correlation-id" `packageName`; "manifest-version"
  //       "Unspecified"; "product-build" this program's version; "host" the
  //       computer name; "domain" the DNS domain; "os"; "os-locale" the
  //       system locale (en_US); "zorvane-locale" the product's language
  //       setting; "processor"; "os-version"; "processor-architecture".
  //     "host" and "domain" are cut to at most 64 bytes of UTF-8. The
  //     product build, os, os version and processor architecture fields take
  //     the values appended for them.
  // Throws ZorvaneException "Following manifest has already been updated:
  // '<id>'" when already completed; the facade's TPath::Exception when the
  // last write time of the dump or log cannot be read (the manifest is then
  // unchanged); what Save throws (the manifest is then completed in memory
  // only).
  void Complete(const ArtifactFiles& artifactFiles, bool uploadFullDumps,
                const zor::platform::TString& packageName);

  // Compares the manifest version (left) with the dotted `version` (right):
  // both split at "." keeping empty parts, the parts at each shared position
  // read as std::stoi reads them (leading blanks and a sign allowed, trailing
  // text ignored); the first differing position decides, else the side with
  // more parts is greater. Returns -1, 0 or 1.
  // Throws std::invalid_argument("invalid stoi argument") for a compared part
  // that does not start with a number (the default "Unspecified" does not),
  // std::out_of_range("stoi argument out of range") for one beyond int.
  int CompareManifestVersion(const zor::platform::TString& version) const;

  const zor::platform::TString& GetId() const { return id_; }
  const zor::platform::TString& GetProductBuild() const { return productBuild_; }
  const zor::platform::TString& GetHost() const { return host_; }
  const zor::platform::TString& GetOs() const { return os_; }
  const zor::platform::TString& GetEdition() const { return edition_; }
  const zor::platform::TString& GetOsVersion() const { return osVersion_; }
  const zor::platform::TString& GetProcessorArchitecture() const { return processorArchitecture_; }
  const zor::platform::TString& GetManifestVersion() const { return manifestVersion_; }
  bool GetUploadFullDumps() const { return uploadFullDumps_; }
  const ArtifactFiles& GetCrashArtifactFiles() const { return crashArtifactFiles_; }
  bool IsCompleted() const { return !crashArtifactFiles_.empty(); }

 private:
  struct NameHash {
    std::size_t operator()(const zor::platform::TString& name) const;
  };

  void ReadMember(const rapidjson::Value& name, const rapidjson::Value& value);
  // Keys each relative file name of the map by the bound file's folder.
  void AnchorRelativeNames();
  bool WasRead(const char* lowerCaseName) const;

  rapidjson::Document document_;
  std::unordered_set<zor::platform::TString, NameHash> namesPresent_;  // lower case
  zor::platform::TString id_;
  zor::platform::TString productBuild_ = kUnspecified;
  zor::platform::TString host_ = kUnspecified;
  zor::platform::TString os_ = kUnspecified;
  zor::platform::TString edition_ = kUnspecified;
  zor::platform::TString osVersion_ = kUnspecified;
  zor::platform::TString processorArchitecture_ = kUnspecified;
  zor::platform::TString manifestVersion_ = kUnspecified;
  bool uploadFullDumps_ = true;
  ArtifactFiles crashArtifactFiles_;
};

// The longest prefix of `text` whose UTF-8 form has at most `maxBytes` bytes
// and ends at a character boundary (a character is never split).
zor::platform::TString CutToUtf8Bytes(const zor::platform::TString& text, std::size_t maxBytes);

// `path` with empty and "." components dropped and each ".." taking away the
// component before it, by text alone (no link is resolved): the key under
// which a manifest records a file. "/.." is "/"; an empty path is ".".
zor::platform::TPath NormalisedPath(const zor::platform::TString& path);

}  // namespace ZorErrorReporting
