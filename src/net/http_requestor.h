// HttpRequestor: the program's one door to HTTP. It owns the network access
// manager, configured once from the configuration when it is made: the proxy
// (process-wide, only when a proxy host is set; credentials only when both
// user and password are set), the certificate rule and the user agent
// "zorcrashreporter/<build version>". Later configuration changes do not
// reach it.
//
// Get, Post and Put issue a request with a session of its own and return the
// reply unexamined; the transfer runs when the caller waits for it, and
// CurlException passes through unchanged then. Status checks, time-outs and
// headers are the callers' business.
//
// Thread-safety: GetInstance may be called from any thread; requests are made
// and waited for on the calling thread.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "config/config.h"
#include "packages/json_document.h"
#include "platform/tnetwork_access_manager.h"

namespace ZorErrorReporting {

// The start of a reply body as it can stand in a log line: at most 80
// bytes, up to the first NUL; line breaks and tabs become blanks, other bytes
// outside printable ASCII '?'.
zor::platform::TString ReplyPreview(const std::vector<char>& body);

class HttpRequestor {
 public:
  // The process-wide instance, made from Config::GetInstance() on first use
  // and never destroyed.
  static HttpRequestor& GetInstance();
  // Makes GetInstance return `instance` (not owned) until reset with null.
  static void SetTestInstance(HttpRequestor* instance);

  // Configures a manager from `config` (the process-wide proxy included).
  explicit HttpRequestor(const Config& config);
  virtual ~HttpRequestor() = default;
  HttpRequestor(const HttpRequestor&) = delete;
  HttpRequestor& operator=(const HttpRequestor&) = delete;

  // Reads up to `count` bytes of the open reply (the text ends at a NUL
  // byte) and parses them as JSON. Throws HTTPException with the reply's
  // status when that is not a JSON object: "Unable to retrieve data from
  // network reply: the reply from '<url>' (HTTP <status>, <n> bytes beginning
  // '<start>') is not JSON" (or "... is JSON but not an object"). Whatever
  // answered so (a portal, a proxy's page) is not the crash server, and
  // judged no package: the failure is the upload's, never the run's.
  virtual Json::Document ReadJsonReply(zor::platform::TNetworkReply& reply, uint64_t count);
  // The string value of the first member of `object` whose name equals
  // `name` exactly (case-sensitive). Throws ZorvaneException "Entry '<name>'
  // not found in response" when there is none, ZorvaneException "Entry
  // '<name>' in the response is not a string" when its value is not one.
  virtual zor::platform::TString GetJsonEntry(const Json::Value& object,
                                              const zor::platform::TString& name);

  // `body` must stay alive, open and at its first byte until the reply has
  // finished.
  virtual std::shared_ptr<zor::platform::TNetworkReply> Post(
      const zor::platform::TNetworkRequest& request, zor::platform::TSequentialIO& body);
  virtual std::shared_ptr<zor::platform::TNetworkReply> Put(
      const zor::platform::TNetworkRequest& request, zor::platform::TSequentialIO& body);
  virtual std::shared_ptr<zor::platform::TNetworkReply> Get(
      const zor::platform::TNetworkRequest& request);

 private:
  std::shared_ptr<zor::platform::TNetworkAccessManager> manager_;
};

}  // namespace ZorErrorReporting
