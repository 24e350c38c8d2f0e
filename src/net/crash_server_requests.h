// CrashServerRequests: what each request of the upload protocol says, as
// values: the request URLs, the upload-id request's JSON body and the
// completion XML. Nothing here sends, logs or reads the configuration, so
// every rule of the wire format is checked without a server.
//
// URLs are the upload endpoint's path extended by explicit segments, each
// percent-encoded as one segment, with the customer id as the one query
// member "customerId":
//   registration      <endpoint>/crash
//   upload id         <endpoint>/crash/<remote id>/<type word>/<file>
//   package location  <endpoint>/crash/<remote id>/<type word>/<file>/<upload id>
//   part location     ... /<upload id>/<part number>
//
// Thread-safety: an immutable value; any thread.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "packages/json_document.h"
#include "packages/package_types.h"
#include "packages/package_upload_progress.h"
#include "platform/tstring.h"
#include "platform/turl.h"

namespace ZorErrorReporting {

// The registration members of the upload-id request, in the order sent.
struct RegistrationFields {
  zor::platform::TString clientIssueId;
  zor::platform::TString productBuild;
  zor::platform::TString productType;
  zor::platform::TString channel;
  zor::platform::TString os;
  zor::platform::TString osVersion;
  zor::platform::TString osArch;
  bool beta = false;
};

class CrashServerRequests {
 public:
  CrashServerRequests(zor::platform::TUrl endpoint, zor::platform::TString customerId);

  zor::platform::TUrl Registration() const;
  zor::platform::TUrl UploadId(const zor::platform::TString& remoteId, PackageType type,
                               const zor::platform::TString& uploadFileName) const;
  zor::platform::TUrl PackageLocation(const zor::platform::TString& remoteId, PackageType type,
                                      const zor::platform::TString& uploadFileName,
                                      const zor::platform::TString& uploadId) const;
  zor::platform::TUrl PartLocation(const zor::platform::TString& remoteId, PackageType type,
                                   const zor::platform::TString& uploadFileName,
                                   const zor::platform::TString& uploadId,
                                   uint64_t partNumber) const;

  // The path word of a package type: "unknown", "crash" or "logs". Throws
  // ZorvaneException "Package type is unsupported." for any other value.
  static zor::platform::TString PathWord(PackageType type);
  // The upload-id request's body: `fields` as the members "client-issue-id",
  // "client-product-build", "client-product-type", "client-channel",
  // "system-os", "system-os-version", "system-os-arch" (each as
  // TextForRecord makes it; a change is logged at Warn) and the boolean
  // "client-product-beta", followed by every member of `encryptionMetadata`
  // (an object) in its order.
  static zor::platform::TString RegistrationJson(const RegistrationFields& fields,
                                                 const Json::Document& encryptionMetadata);
  // "<CompleteMultipartUpload>" and one <Part> per entry in ascending part
  // order, tags as stored with "&", "<" and ">" escaped for XML, no
  // declaration and no white space.
  static zor::platform::TString CompletionXml(const PackageUploadProgress::CompletedParts& parts);

 private:
  // The endpoint with "/crash" and `segments` appended, each encoded.
  zor::platform::TUrl Build(std::initializer_list<zor::platform::TString> segments) const;

  zor::platform::TUrl endpoint_;
  zor::platform::TString customerId_;
};

}  // namespace ZorErrorReporting
