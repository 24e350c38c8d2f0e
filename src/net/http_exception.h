// HTTPException: a request that reached no successful answer. It carries
// the HTTP status (0 when no answer came) and the network layer's error text
// for the reply; the message is the full text the thrower builds.
// A value type; caught as ZorvaneException by callers that need no more.
#pragma once

#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

class HTTPException : public zor::platform::ZorvaneException {
 public:
  HTTPException(int httpCode, const zor::platform::TString& message,
                const zor::platform::TString& errorText, zor::platform::TError::ErrorInfo error,
                const zor::platform::TString& storeCode = {});

  int GetHttpCode() const { return httpCode_; }
  const zor::platform::TString& GetErrorText() const { return errorText_; }
  // The object store's error code of the answer ("NoSuchUpload"), or empty.
  const zor::platform::TString& GetStoreCode() const { return storeCode_; }
  // The store's code for parts below the least size it takes.
  static constexpr char kPartsTooSmall[] = "EntityTooSmall";
  // True iff the answer blames the configured part size, not the package:
  // parts below the store's least, or a request (a part, or the completion's
  // list of parts) larger than the store or a proxy on the way takes.
  bool SaysPartSizeRefused() const {
    return storeCode_ == kPartsTooSmall || storeCode_ == "EntityTooLarge" || httpCode_ == 413;
  }
  // True iff the store refused a completion for its parts' tags (one lost
  // or spoilt on the way), in whatever status it answered: the same tags
  // are refused again, the parts must be sent again.
  bool RefusesPartTags() const {
    return storeCode_ == "InvalidPart" || storeCode_ == "InvalidPartOrder";
  }
  // False for the refusal of a request that carries nothing of a package
  // (the registration): it judges the endpoint or whoever asks, and would
  // judge every package alike.
  bool JudgesThePackage() const { return judgesThePackage_; }
  void SetJudgesNoPackage() { judgesThePackage_ = false; }
  // True iff the crash server answered 404 to a request made under a
  // package's registration (its upload id, a location): it no longer knows
  // that registration (its records reset, the registration expired).
  bool SaysRegistrationUnknown() const { return registrationUnknown_; }
  void SetRegistrationUnknown() { registrationUnknown_ = true; }

 private:
  int httpCode_;
  zor::platform::TString errorText_;
  zor::platform::TString storeCode_;
  bool judgesThePackage_ = true;
  bool registrationUnknown_ = false;
};

}  // namespace ZorErrorReporting
