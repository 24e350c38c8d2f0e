// CrashServerProtocol: the crash server's HTTP protocol for one upload
// client: the download of the server's public key, and the upload of a
// package (registration, upload id, one presigned URL per part, the part
// PUTs, the completion XML).
//
// Resuming: the remote package id lives in the package's status file and
// the upload id and part tags in its upload progress file, each saved the
// moment it is known. What to send next is the package's next upload step
// (packages/upload_step.h), so a later Upload registers again only when no
// id was saved, asks for no new upload id once a usable progress record
// holds one, and sends only the parts without a tag. Generated URLs are
// never stored.
//
// URLs: the request URLs are generated from the upload endpoint, each id and
// name in them percent-encoded as one segment, and must keep the endpoint's
// scheme; a location the server hands out may name any host but must be
// http or https. Either refusal comes before anything is sent. Messages and
// log lines name URLs as TUrl::ForLog gives them (no query: a presigned
// URL's signature stays out of the log), and quote the server's text as
// QuoteServerText bounds it.
//
// Errors: HTTPException for an answer that is not 2xx (code 0 and "Network
// request timed out." when none came in time, its message naming the time
// allowed and its setting; a 3xx, as no redirect is followed); CurlException for a failure below HTTP, and with code
// CurlException::kRefusedScheme for a URL refused as above;
// ZorvaneException "Entry '<name>' not found in response", "... is not a
// usable id" (see CheckServerId) and the std::runtime_error of
// HttpRequestor::ReadJsonReply for a 2xx reply without the expected JSON;
// the file-system and JSON-file errors of the
// package's files; RunInterrupted (platform/interruption.h) when a signal
// ends the run, the transfer in progress included. Nothing is retried here;
// state saved before a failure stays saved.
//
// Thread-safety: one thread; each request is waited for before the next.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "net/crash_server_requests.h"
#include "net/http_exception.h"
#include "net/tchunk_file.h"
#include "packages/package_types.h"
#include "packages/package_upload_progress.h"
#include "platform/tnetwork_reply.h"
#include "platform/turl.h"

namespace ZorErrorReporting {

class Package;
struct UploadStep;

// The server's RSA public key as DownloadPublicKey returns it.
struct PublicKeyInfo {
  std::vector<char> key;  // the PEM text as received, then one NUL byte
  zor::platform::TString keyId;
};

// Where a part upload stands, for a display.
struct PartProgress {
  uint64_t partNumber = 0;
  int partCount = 0;
  int64_t partSent = 0;  // bytes of this part sent so far
  int64_t partSize = 0;
  int64_t fileSize = 0;    // the whole encrypted file
  int64_t partOffset = 0;  // where the part starts in the file
};

class CrashServerProtocol {
 public:
  using ProgressListener = std::function<void(const PartProgress&)>;

  // A part PUT ends as a time-out once no byte has moved for this long,
  // whatever time is left of its time-out.
  static constexpr int kPartStallSeconds = 60;
  // How much longer than the bandwidth limit's sending time a part is given.
  static constexpr double kPartTimeMargin = 1.5;

  // `baseUrl` starts every package request's URL (no trailing slash);
  // `customerId` is sent as the customerId parameter of each, even empty.
  // Logs a Warn line, naming the part size, the bandwidth limit, the PUT
  // time-out and the time each part gets instead, when the configured part
  // size cannot be sent at the limit within the time-out (see PartTimeoutMs).
  CrashServerProtocol(const zor::platform::TUrl& baseUrl, const zor::platform::TString& customerId);

  // The time a PUT of `partBytes` may take: `configuredMs`, unless sending
  // them at `bytesPerSecond` (0: no limit) takes longer than that with the
  // margin kPartTimeMargin, in which case that longer time. Without it every
  // part would time out and be sent again, forever.
  static int64_t PartTimeoutMs(int64_t partBytes, uint64_t bytesPerSecond, int64_t configuredMs);

  // Called while parts are sent (from inside the transfer: it must not
  // throw and should be quick). None by default.
  void SetProgressListener(ProgressListener listener) { listener_ = std::move(listener); }

  // GETs the configured key endpoint and returns the key only when it is one
  // the program may encrypt with (see CheckRsaPublicKey) and the reply names
  // a key id that CheckServerId accepts. A 2xx reply that is not throws ZorvaneException "The reply
  // (HTTP <status>, <n> bytes beginning '<first 80 bytes>') is not a usable
  // key: <what is wrong>" or "... has no key id", so a captive portal's page
  // fails the download before any package is encrypted. Every
  // ZorvaneException (HTTPException included) gets the front message "Error
  // occurred trying to download the Zorvane RSA public key from '<url>'."
  // and is thrown on.
  PublicKeyInfo DownloadPublicKey();

  // Uploads an encrypted `package` completely, one upload step after another
  // (discarding what a step says cannot be resumed): registration (the id
  // saved at once), upload id, the parts without a tag, the completion. On
  // return the progress file holds the upload id and every part's tag.
  // Throws ZorvaneException "Package '<name>' cannot be uploaded: its next
  // step is to <step>" when the package is not encrypted (or has nothing
  // left to send), and HTTPException (its 2xx status) "The object store
  // answered the upload completion (URL: '<url>') with HTTP <n> but no
  // completion result: '<body>'" unless the completion's body holds a
  // <CompleteMultipartUploadResult> and no <Error>, or "The object store
  // answered part '<n>' (URL: '<url>') with HTTP <n> but no ETag", besides
  // the errors above. An upload an earlier attempt began that the store no
  // longer knows (404 NoSuchUpload on a part: stores drop unfinished uploads
  // after a while) is begun again, once, within the call; on the completion
  // it is a refusal, as that upload may have been completed. A completion
  // refused for its parts' tags (InvalidPart, InvalidPartOrder) is a refusal
  // too, after which the next attempt sends the parts again. A package
  // registered at another upload endpoint (the setting changed since) forgets
  // that registration and its upload first, and registers here; one whose
  // earlier registration the server answers with 404 (it lost it) does so
  // once within the call.
  void Upload(Package& package);

  // Returns on a 2xx status; else throws HTTPException as described above,
  // with the body (bounded) in the message of a 5xx answer, and of another
  // answer but a redirect only the store's error code (StoreErrorCode): a
  // store's 4xx body may spell out the signed request of a presigned URL.
  // A time-out's message says what the request was `allowed` (a time and the
  // setting that gives it) when that is not empty; a too large one's says
  // `tooLarge` (AdviceFor).
  static void CheckReply(zor::platform::TNetworkReply& reply,
                         const zor::platform::TString& allowed = {},
                         const zor::platform::TString& tooLarge = {});
  // The text of the first <Code> element of an object store's error body
  // when it is 1 to 64 letters, digits and dots; else empty.
  static zor::platform::TString StoreErrorCode(const std::string& body);
  // What the operator can do about an answer of `status` with `storeCode`
  // (parts below the store's least size or above its most, a server or a
  // proxy that wants credentials), as a sentence with a leading space; empty
  // when nothing. A request too large is told as `tooLarge` when the caller,
  // who knows what it sent, gives that sentence.
  static zor::platform::TString AdviceFor(int status, const zor::platform::TString& storeCode,
                                          const zor::platform::TString& tooLarge = {});
  // Returns iff `value`, an id the server gave as `member` (crash_id,
  // upload_id, key-id), is one the program puts into a URL or a file: 1 to
  // 128 characters of [A-Za-z0-9._-], and not "." or "..". Else throws
  // ZorvaneException "Entry '<member>' <where> is not a usable id: ..." (a
  // reply the protocol cannot use; `where` says where it was read).
  static void CheckServerId(const char* member, const zor::platform::TString& value,
                            const zor::platform::TString& where = "in the response");
  // Makes `package`'s records fit this server, before anything about it is
  // sent (Upload does it too, a no-op then): a registration made at another
  // upload endpoint is forgotten, and the ids read back from the records are
  // held to CheckServerId's rule (a damaged one would be put into a URL, and
  // its refusal counted): an unusable registration is forgotten, an unusable
  // upload id's record of parts dropped (Info). Throws what saving the
  // package throws.
  void SettleRecordedIds(Package& package) const;
  // True iff `e` is the store's answer for an upload id it does not know.
  static bool IsForgottenUpload(const HTTPException& e);

 private:
  // Carries out one network step; false once the upload is complete.
  bool PerformStep(Package& package, const UploadStep& step);
  // After a completion refused for its part list (InvalidPart,
  // InvalidPartOrder), drops the package's record of its parts, so that the
  // next attempt begins a new upload; one that cannot be saved stays, with a
  // Warn. Never throws.
  static void ForgetRefusedParts(Package& package, const HTTPException& e);
  zor::platform::TString RegisterPackage();
  zor::platform::TString RequestUploadId(const zor::platform::TUrl& url,
                                         const zor::platform::TString& body);
  // The server-given location that a GET of `url` returns; refused unless
  // http or https (see the header comment).
  zor::platform::TUrl FetchLocationUrl(const zor::platform::TUrl& url);
  // `url`, refused unless it has the endpoint's scheme.
  zor::platform::TUrl Generated(const zor::platform::TUrl& url) const;
  void UploadPackagePart(Package& package, uint64_t partNumber);
  zor::platform::TString UploadPart(const zor::platform::TUrl& url,
                                    const std::shared_ptr<TChunkFile>& chunk, uint64_t partNumber);
  void PostUploadComplete(const zor::platform::TUrl& url,
                          const PackageUploadProgress::CompletedParts& parts);
  // POSTs `body` (no body when null) with `header`, waits with the POST
  // time-out, checks the reply and returns the string member `member`.
  zor::platform::TString PostForEntry(const zor::platform::TUrl& url, const char* header,
                                      const zor::platform::TString* body, const char* member);

  zor::platform::TUrl baseUrl_;
  CrashServerRequests requests_;
  ProgressListener listener_;
  PartProgress progress_;  // the part in flight
};

}  // namespace ZorErrorReporting
