#include "net/crash_server_protocol.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include "config/config.h"
#include "config/overrides.h"
#include "crypto/crypto.h"
#include "log/log_functions.h"
#include "net/http_exception.h"
#include "net/http_requestor.h"
#include "packages/json_document.h"
#include "packages/package.h"
#include "packages/package_encryption_metadata.h"
#include "packages/upload_step.h"
#include "platform/app_config.h"
#include "platform/curl_exception.h"
#include "platform/interruption.h"
#include "platform/server_text.h"
#include "platform/tbuffer.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::CurlException;
using zor::platform::OpenMode;
using zor::platform::QuoteServerText;
using zor::platform::TBuffer;
using zor::platform::TFormatString;
namespace TLog = zor::platform::TLog;
using zor::platform::TNetworkReply;
using zor::platform::TNetworkRequest;
using zor::platform::TString;
using zor::platform::TUrl;
using zor::platform::ZorvaneException;

namespace {

// The settings that bound each kind of request.
constexpr char kGetTimeout[] = "servercrashupload.http_get_timeout_in_minutes";
constexpr char kPostTimeout[] = "servercrashupload.http_post_timeout_in_minutes";
constexpr char kPutTimeout[] = "servercrashupload.http_put_timeout_in_minutes";

void LogDebug(const TString& text) { LogText(TLog::Debug, text); }

void LogRequestUrl(const TUrl& url) {
  LogDebug(TFormatString("Request URL: '%1'").arg(url.ForLog()));
}

// A callback that takes the string member `member` of a 2xx JSON reply into
// `*out`; other statuses are left to CheckReply. An empty member is refused
// as a reply the protocol cannot use: an empty id would be asked for again
// and again, and an empty location leads nowhere.
TNetworkReply::ReplyCallback EntryCallback(TString* out, const char* member) {
  return [out, member](TNetworkReply& reply, uint64_t bytesReady) {
    if (!TNetworkReply::IsSuccessStatus(reply.GetStatusCode())) return;
    HttpRequestor& requestor = HttpRequestor::GetInstance();
    const Json::Document document = requestor.ReadJsonReply(reply, bytesReady);
    *out = requestor.GetJsonEntry(document, member);
    if (out->trim().isEmpty()) {
      throw ZorvaneException(TFormatString("Entry '%1' is empty in the response from '%2'")
                                 .arg(member)
                                 .arg(reply.GetUrl().ForLog()));
    }
  };
}

// What `request` (a request to `url`, `what` in a message) returns; a 2xx
// reply whose content cannot be used (a member missing, empty or no usable
// id) fails as trouble that judges no package: a server, or a portal in
// front of it, that answers every request so has judged none. An HTTP
// status, the transport's failure and an interruption pass as they are.
template <typename Request>
auto UsableReplyOf(const TUrl& url, const char* what, Request request) -> decltype(request()) {
  try {
    return request();
  } catch (const HTTPException&) {
    throw;
  } catch (const CurlException&) {
    throw;
  } catch (const zor::platform::RunInterrupted&) {
    throw;
  } catch (const ZorvaneException& e) {
    HTTPException unusable(200,
                           TFormatString("The answer to %1 (URL: '%2') cannot be used: %3")
                               .arg(what)
                               .arg(url.ForLog())
                               .arg(e.GetConcatenatedMessages()),
                           "unusable reply", {});
    unusable.SetJudgesNoPackage();
    throw unusable;
  }
}

// `request()`, a request to the crash server under a package's
// registration: a 404 says the server no longer knows it.
template <typename Request>
auto UnderRegistration(Request request) -> decltype(request()) {
  try {
    return request();
  } catch (HTTPException& e) {
    if (e.GetHttpCode() == 404) e.SetRegistrationUnknown();
    throw;
  }
}

// Opens the reply, runs it within `timeoutMs` (what `setting` allows) and
// checks its status; `tooLarge` is CheckReply's.
void Finish(TNetworkReply& reply, int64_t timeoutMs, const char* setting,
            const TString& tooLarge = {}) {
  reply.Open(OpenMode::ReadWrite);
  reply.WaitForFinished(timeoutMs);
  CrashServerProtocol::CheckReply(
      reply, TFormatString("%1 ms (%2)").arg(timeoutMs).arg(TString(setting)), tooLarge);
}

const char kTooLarge[] = " is larger than the object store, or a proxy on the way, takes";

// A 2xx reply that is not a usable key fails as an unreachable server does:
// encrypting against it would make every package unreadable to the server.
void CheckKeyReply(const PublicKeyInfo& info, int status) {
  const TString reply = TFormatString("The reply (HTTP %1, %2 bytes beginning '%3')")
                            .arg(status)
                            .arg(static_cast<uint64_t>(info.key.empty() ? 0 : info.key.size() - 1))
                            .arg(ReplyPreview(info.key));
  try {
    CheckRsaPublicKey(info.key);
  } catch (ZorvaneException& e) {
    e.StackMessageFront(reply + " is not a usable key");
    throw;
  }
  if (info.keyId.trim().isEmpty()) throw ZorvaneException(reply + " has no key id");
  CrashServerProtocol::CheckServerId("key-id", info.keyId);
}

TString Override(const TString& value, const TString& fallback) {
  return value.isEmpty() ? fallback : value;
}

// The registration members: each override when one is set, else the
// package's own value.
RegistrationFields RegistrationFieldsOf(const Package& package) {
  const MetadataOverrideValues overrides = MetadataOverrides::GetInstance().Get();
  RegistrationFields fields;
  fields.clientIssueId = Override(overrides.clientIssueId, package.GetPackageName());
  fields.productBuild = Override(overrides.clientProductBuild, package.GetProductBuild());
  fields.productType = Override(overrides.clientProductType, package.GetEdition());
  fields.channel = Override(overrides.clientChannel, Config::GetInstance().GetChannel());
  fields.os = Override(overrides.systemOs, package.GetOs());
  fields.osVersion = Override(overrides.systemOsVersion, package.GetOsVersion());
  fields.osArch = Override(overrides.systemOsArch, package.GetProcessorArchitecture());
  fields.beta = overrides.clientProductBeta.isEmpty() ? zor::platform::AppConfig::IsBetaTrial()
                                                      : overrides.clientProductBeta == "true";
  return fields;
}

}  // namespace

CrashServerProtocol::CrashServerProtocol(const TUrl& baseUrl, const TString& customerId)
    : baseUrl_(baseUrl), requests_(baseUrl, customerId) {
  LogDebug(TFormatString("Upload Endpoint: '%1'").arg(baseUrl_.ForLog()));
  const Config& config = Config::GetInstance();
  const int64_t partSize = config.GetUploadPartSize();
  const uint64_t limit = config.GetUploadBandwidthLimit();
  const int64_t configured = config.GetHttpPutTimeout();
  const int64_t allowed = PartTimeoutMs(partSize, limit, configured);
  if (allowed != configured) {
    LogText(TLog::Warn,
            TFormatString("A part of %1 bytes at the upload bandwidth limit of %2 bytes/s takes "
                          "%3 ms, which does not fit in the PUT time-out of %4 ms: each part is "
                          "allowed %5 ms")
                .arg(partSize)
                .arg(limit)
                .arg(static_cast<int64_t>(1000.0 * static_cast<double>(partSize) /
                                          static_cast<double>(limit)))
                .arg(configured)
                .arg(allowed));
  }
}

int64_t CrashServerProtocol::PartTimeoutMs(int64_t partBytes, uint64_t bytesPerSecond,
                                           int64_t configuredMs) {
  if (bytesPerSecond == 0 || partBytes <= 0) return configuredMs;
  // Sending at the limit leaves no room for a slow start or a slow store.
  const double neededMs = 1000.0 * static_cast<double>(partBytes) /
                          static_cast<double>(bytesPerSecond) * kPartTimeMargin;
  if (neededMs <= static_cast<double>(configuredMs)) return configuredMs;
  return static_cast<int64_t>(std::ceil(neededMs));
}

PublicKeyInfo CrashServerProtocol::DownloadPublicKey() {
  const TUrl url = Config::GetInstance().GetRsaEndpoint();
  try {
    LogDebug("Requesting RSA public key from Issue Upload server");
    LogRequestUrl(url);
    PublicKeyInfo info;
    auto reply = HttpRequestor::GetInstance().Get(TNetworkRequest(url));
    reply->SetReplyCallback([&info](TNetworkReply& r, uint64_t bytesReady) {
      if (!TNetworkReply::IsSuccessStatus(r.GetStatusCode())) return;
      info.key.resize(bytesReady);
      info.key.resize(std::max<int64_t>(0, r.Read(info.key.data(), bytesReady)));
      info.key.push_back('\0');
      info.keyId = r.GetHeader("key-id");
    });
    Finish(*reply, Config::GetInstance().GetHttpGetTimeout(), kGetTimeout);
    LogDebug(TFormatString("Server responded with key Id '%1' and key value '%2'")
                 .arg(QuoteServerText(info.keyId.toStdString()))
                 .arg(QuoteServerText(info.key.data())));
    CheckKeyReply(info, reply->GetStatusCode());
    return info;
  } catch (ZorvaneException& e) {
    e.StackMessageFront(
        TFormatString("Error occurred trying to download the Zorvane RSA public key from '%1'.")
            .arg(url.ForLog()));
    throw;
  }
}

void CrashServerProtocol::Upload(Package& package) {
  SettleRecordedIds(package);
  bool first = true;
  // A registration of an earlier attempt, which the server may have lost
  // since (its records reset or expired).
  bool registeredBefore = package.HasRemotePackageId();
  // An upload begun by an earlier attempt, which the store may have dropped
  // since (stores expire unfinished uploads, as while a server was down).
  bool resumed = false;
  bool completionFirst = false;
  for (;;) {
    const UploadStep step = NextUploadStep(DescribeUpload(package, true));
    if (!step.discard.empty()) {
      package.DiscardDataFiles(step.discard, "the upload it describes cannot be resumed");
    }
    if (first) {
      resumed = step.kind == UploadStepKind::kSendPart || step.kind == UploadStepKind::kComplete;
      completionFirst = step.kind == UploadStepKind::kComplete;
      if (step.kind == UploadStepKind::kSendPart && step.part > 1) {
        LogText(TLog::Warn,
                TFormatString("UploadPackage '%1' was partially uploaded previously and "
                              "upload will resume from where it left off before.")
                    .arg(package.GetIdentityJson()));
      }
    }
    first = false;
    try {
      if (!PerformStep(package, step)) break;
    } catch (const HTTPException& e) {
      if (step.kind == UploadStepKind::kComplete) ForgetRefusedParts(package, e);
      // Says nothing about the package either: it registers anew, once, in
      // this attempt. A new registration the server forgets at once is its
      // refusal.
      if (registeredBefore && e.SaysRegistrationUnknown()) {
        registeredBefore = false;
        resumed = false;
        // Registered first: a 404 of what stands in front of a server that
        // is away (a proxy) would otherwise cost the upload begun, for nothing.
        const TString fresh = RegisterPackage();
        package.ForgetRegistration(TFormatString("the crash server no longer knows its "
                                                 "registration '%1' (HTTP 404); registered anew")
                                       .arg(package.GetRemotePackageId()));
        package.SetRemotePackageId(fresh, baseUrl_.ForLog());
        package.Save();
        continue;
      }
      // Says nothing about the package: it starts a new upload, once, in this
      // attempt. A new upload the store forgets at once is its refusal.
      if (!resumed || !IsForgottenUpload(e)) throw;
      resumed = false;
      // A completion an earlier attempt sent may have been carried out, and
      // a store forgets a completed upload too: sending again may store the
      // crash twice, but never sending it could lose it.
      package.DiscardDataFiles({DataFileKind::kPartsUploadedFile},
                               completionFirst && step.kind == UploadStepKind::kComplete
                                   ? "the object store no longer knows the upload whose parts an "
                                     "earlier attempt sent, which may have been completed then; "
                                     "starting a new one, so the crash may reach the server twice"
                                   : "the object store no longer knows the upload an earlier "
                                     "attempt began; starting a new one");
    }
  }
  LogText(TLog::Info,
          TFormatString("Upload complete for package '%1'.").arg(package.GetIdentityJson()));
}

bool CrashServerProtocol::PerformStep(Package& package, const UploadStep& step) {
  switch (step.kind) {
    case UploadStepKind::kRegister:
      // Throws for a type the server takes no package of, before anything is sent.
      CrashServerRequests::PathWord(package.GetPackageType());
      package.SetRemotePackageId(RegisterPackage(), baseUrl_.ForLog());
      package.Save();
      return true;
    case UploadStepKind::kRequestUploadId: {
      LogText(TLog::Info,
              TFormatString("Starting upload for package '%1'").arg(package.GetIdentityJson()));
      const TString registration = CrashServerRequests::RegistrationJson(
          RegistrationFieldsOf(package), package.GetEncryptionMetadata()->ToJson());
      package.StartUploadProgress(
          RequestUploadId(requests_.UploadId(package.GetRemotePackageId(),
                                             package.GetPackageType(), package.GetUploadFileName()),
                          registration));
      return true;
    }
    case UploadStepKind::kSendPart:
      UploadPackagePart(package, step.part);
      return true;
    case UploadStepKind::kComplete: {
      const std::shared_ptr<PackageUploadProgress> progress = package.GetUploadProgress();
      LogDebug("UploadPackage file upload complete.");
      const TUrl url = Generated(requests_.PackageLocation(package.GetRemotePackageId(),
                                                           package.GetPackageType(),
                                                           package.GetUploadFileName(),
                                                           progress->GetUploadId()));
      LogDebug(TFormatString("Requesting generated URL from crash server for package with remote "
                             "Id '%1' from server")
                   .arg(package.GetRemotePackageId()));
      LogRequestUrl(url);
      PostUploadComplete(FetchLocationUrl(url), *progress->GetCompletedParts());
      return false;
    }
    case UploadStepKind::kZip:
    case UploadStepKind::kEncrypt:
    case UploadStepKind::kCleanUp:
    case UploadStepKind::kNothing:
      break;
  }
  throw ZorvaneException(TFormatString("Package '%1' cannot be uploaded: its next step is to %2")
                             .arg(package.GetPackageName())
                             .arg(ToName(step.kind)));
}

TString CrashServerProtocol::PostForEntry(const TUrl& url, const char* header, const TString* body,
                                          const char* member) {
  TNetworkRequest request(url);
  request.AddHeader(header);
  TBuffer buffer;
  if (body != nullptr) {
    buffer.Open(OpenMode::ReadWrite);
    buffer.Write(body->toStdString());
    buffer.Seek(0);
  }
  auto reply = HttpRequestor::GetInstance().Post(request, buffer);
  TString result;
  reply->SetReplyCallback(EntryCallback(&result, member));
  Finish(*reply, Config::GetInstance().GetHttpPostTimeout(), kPostTimeout);
  return result;
}

TString CrashServerProtocol::RegisterPackage() {
  const TUrl url = Generated(requests_.Registration());
  LogDebug("Registering package for upload...");
  LogRequestUrl(url);
  TString id;
  // The registration is one empty request, the same for every package: a
  // wrong endpoint, a proxy that refuses it or a server that answers it with
  // something else has judged none of them.
  try {
    id = UsableReplyOf(url, "the registration", [&] {
      TString got = PostForEntry(url, "Content-Type: application/json", nullptr, "crash_id");
      CheckServerId("crash_id", got);
      return got;
    });
  } catch (HTTPException& e) {
    e.SetJudgesNoPackage();
    throw;
  }
  LogDebug(TFormatString("Server responded successfully with remote package id: '%1").arg(id));
  return id;
}

TString CrashServerProtocol::RequestUploadId(const TUrl& requestUrl, const TString& body) {
  const TUrl url = Generated(requestUrl);
  LogDebug("Requesting upload ID from server...");
  LogRequestUrl(url);
  const TString id = UnderRegistration([&] {
    return UsableReplyOf(url, "the upload id request", [&] {
      TString got = PostForEntry(url, "Content-Type: application/json", &body, "upload_id");
      CheckServerId("upload_id", got);
      return got;
    });
  });
  LogDebug(TFormatString("Server responded succesfully upload id: '%1").arg(id));
  return id;
}

TUrl CrashServerProtocol::FetchLocationUrl(const TUrl& url) {
  TString location;
  UnderRegistration([&] {
    return UsableReplyOf(url, "the location request", [&] {
      auto reply = HttpRequestor::GetInstance().Get(TNetworkRequest(url));
      reply->SetReplyCallback(EntryCallback(&location, "location"));
      Finish(*reply, Config::GetInstance().GetHttpGetTimeout(), kGetTimeout);
      return 0;
    });
  });
  const TUrl given(location);
  LogDebug(TFormatString("Server responded successfully with generated Url: '%1'")
               .arg(given.ForLog()));
  // A location may name another host (the object store), never another
  // kind of transfer: file://, ftp:// and the like would let whoever answers
  // have a part written or sent where they like.
  if (!given.IsValid() || !given.IsHttp() || given.Host().isEmpty()) {
    throw CurlException(given.IsValid() ? given.ForLog() : zor::platform::UrlTextForLog(location),
                        "the crash server's location is not an http or https URL with a host; "
                        "no other URL is followed",
                        CurlException::kRefusedScheme);
  }
  return given;
}

TUrl CrashServerProtocol::Generated(const TUrl& url) const {
  // Built from the upload endpoint, a request URL keeps its scheme: a
  // server's id that changed it would be a request nobody configured.
  if (url.Scheme().toLower() != baseUrl_.Scheme().toLower()) {
    throw CurlException(url.ForLog(),
                        TFormatString("the URL does not keep the upload endpoint's scheme '%1'")
                            .arg(baseUrl_.Scheme()),
                        CurlException::kRefusedScheme);
  }
  return url;
}

void CrashServerProtocol::CheckServerId(const char* member, const TString& value,
                                        const TString& where) {
  constexpr int kMaxIdLength = 128;
  const auto idCharacter = [](char16_t c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '_' || c == '-';
  };
  bool usable = !value.isEmpty() && value.size() <= kMaxIdLength && value != "." && value != "..";
  for (const QChar c : value.ToQString()) usable = usable && idCharacter(c.unicode());
  if (usable) return;
  // "." and ".." are within the characters but name a path level of their
  // own; the transport would resolve them away.
  throw ZorvaneException(TFormatString("Entry '%1' %2 is not a usable id: '%3' (an id is 1 to "
                                       "%4 of A-Z, a-z, 0-9, '.', '_' and '-', and not '.' or "
                                       "'..')")
                             .arg(member)
                             .arg(where)
                             .arg(QuoteServerText(value.toStdString()))
                             .arg(kMaxIdLength));
}

void CrashServerProtocol::SettleRecordedIds(Package& package) const {
  // Another server never issued that id: each of its requests would be
  // refused, and count, until the package is given up.
  const TString here = baseUrl_.ForLog();
  if (package.HasRemotePackageId() && !package.GetRegisteredAt().isEmpty() &&
      package.GetRegisteredAt() != here) {
    package.ForgetRegistration(TFormatString("it was registered at '%1', and the upload endpoint "
                                             "is now '%2'; registering anew")
                                   .arg(package.GetRegisteredAt())
                                   .arg(here));
  }
  if (package.HasRemotePackageId()) {
    try {
      CheckServerId("remote-package-id", package.GetRemotePackageId(),
                    "in '" + package.GetFilePath().ToString() + "'");
    } catch (const ZorvaneException& e) {
      package.ForgetRegistration("its recorded registration cannot be used (" +
                                 e.GetConcatenatedMessages() + "); registering anew");
      return;
    }
  }
  if (!package.HasDataFile(DataFileKind::kPartsUploadedFile)) return;
  std::shared_ptr<PackageUploadProgress> progress;
  try {
    progress = package.GetUploadProgress();
  } catch (const ZorvaneException&) {
    return;  // unreadable: the upload steps start it anew, and say why
  }
  // Empty: an older version's record, which stands for no upload.
  if (progress->GetUploadId().isEmpty()) return;
  try {
    CheckServerId(
        "upload-id", progress->GetUploadId(),
        "in '" + package.GetDataFilePath(DataFileKind::kPartsUploadedFile).ToString() + "'");
  } catch (const ZorvaneException& e) {
    package.DiscardDataFiles({DataFileKind::kPartsUploadedFile},
                             "its recorded upload id cannot be used (" +
                                 e.GetConcatenatedMessages() + "); starting a new upload");
  }
}

void CrashServerProtocol::UploadPackagePart(Package& package, uint64_t n) {
  const zor::platform::TPath path = package.GetEncryptedPackageFilePath();
  const std::shared_ptr<PackageUploadProgress> progress = package.GetUploadProgress();
  const auto size = static_cast<int64_t>(progress->GetUploadFileSize());
  const auto partSize = static_cast<int64_t>(progress->GetMaxPartSize());
  const int count = progress->GetPartCount();
  if (progress->GetCompletedParts()->empty()) {
    LogDebug(TFormatString("Starting upload of package file '%1' to server...")
                 .arg(TString(path.NativeString())));
    LogDebug(TFormatString("\tTotalFileSize: '%1'. TotalFileParts: '%2'").arg(size).arg(count));
  }
  const auto offset = static_cast<int64_t>(n - 1) * partSize;
  const int64_t length = std::min(size - offset, partSize);
  auto chunk = std::make_shared<TChunkFile>(path, offset, length);
  const TUrl request =
      Generated(requests_.PartLocation(package.GetRemotePackageId(), package.GetPackageType(),
                                       package.GetUploadFileName(), progress->GetUploadId(), n));
  LogDebug(TFormatString("Getting generated URL for part: '%1' from server").arg(n));
  LogRequestUrl(request);
  const TUrl url = FetchLocationUrl(request);
  progress_ = {n, count, 0, length, size, offset};
  progress->AddCompletedPart(n, UploadPart(url, chunk, n));
  LogText(TLog::Info, TFormatString("Successfully uploaded part '%1' of '%2' for package '%3'")
                          .arg(n)
                          .arg(count)
                          .arg(package.GetIdentityJson()));
}

TString CrashServerProtocol::UploadPart(const TUrl& url, const std::shared_ptr<TChunkFile>& chunk,
                                        uint64_t partNumber) {
  const Config& config = Config::GetInstance();
  TNetworkRequest request(url);
  request.SetUploadBandwidthLimit(config.GetUploadBandwidthLimit());
  request.SetStallLimit(kPartStallSeconds);
  if (listener_) {
    request.SetUploadProgressCallback([this](int64_t sent, int64_t) {
      progress_.partSent = sent;
      listener_(progress_);
    });
  }
  auto reply = HttpRequestor::GetInstance().Put(request, *chunk);
  LogDebug(TFormatString("Starting upload of part '%1' to server...").arg(partNumber));
  Finish(
      *reply,
      PartTimeoutMs(chunk->Size(), config.GetUploadBandwidthLimit(), config.GetHttpPutTimeout()),
      kPutTimeout,
      TFormatString(" The part of %1 bytes%2: lower servercrashupload.upload_part_size_in_bytes.")
          .arg(chunk->Size())
          .arg(kTooLarge));
  const TString tag = reply->GetHeader("etag");
  // A part the store took gets its tag: without one, something else answered.
  if (tag.trim().isEmpty()) {
    throw HTTPException(reply->GetStatusCode(),
                        TFormatString("The object store answered part '%1' (URL: '%2') with HTTP "
                                      "%3 but no ETag")
                            .arg(partNumber)
                            .arg(url.ForLog())
                            .arg(reply->GetStatusCode()),
                        "no part tag", {});
  }
  LogDebug(TFormatString(
               "Upload of part '%1' complete - Received corresponding part tag '%2' from server")
               .arg(partNumber)
               .arg(QuoteServerText(tag.toStdString())));
  return tag;
}

void CrashServerProtocol::PostUploadComplete(const TUrl& url,
                                             const PackageUploadProgress::CompletedParts& parts) {
  const TString xml = CrashServerRequests::CompletionXml(parts);
  LogDebug(TFormatString("Upload complete XML: '%1'").arg(QuoteServerText(xml.toStdString())));
  TBuffer buffer;
  buffer.Open(OpenMode::ReadWrite);
  buffer.Write(xml.toStdString());
  buffer.Seek(0);
  TNetworkRequest request(url);
  // Removes the transport's default content type: the presigned completion
  // URL was signed without one.
  request.AddHeader("Content-Type:");
  auto reply = HttpRequestor::GetInstance().Post(request, buffer);
  LogDebug("Starting the post of the upload complete XML to server...");
  // Its list of parts is shorter with fewer, larger parts.
  Finish(*reply, Config::GetInstance().GetHttpPostTimeout(), kPostTimeout,
         TFormatString(" The completion request, a list of %1 part(s),%2: raise "
                       "servercrashupload.upload_part_size_in_bytes for fewer parts.")
             .arg(static_cast<uint64_t>(parts.size()))
             .arg(kTooLarge));
  // Only a completion result says the object is whole: a store may fail a
  // completion after it began to answer 200 (an <Error> in the body), and
  // whatever stands in front of it (a portal, a proxy's page) answers 2xx
  // with anything.
  reply->Seek(0);
  const std::string body = reply->ReadAll();
  if (body.find("<CompleteMultipartUploadResult") == std::string::npos ||
      body.find("<Error") != std::string::npos) {
    const TString code = StoreErrorCode(body);
    throw HTTPException(reply->GetStatusCode(),
                        TFormatString("The object store answered the upload completion (URL: "
                                      "'%1') with HTTP %2 but no completion result: '%3'%4")
                            .arg(url.ForLog())
                            .arg(reply->GetStatusCode())
                            .arg(QuoteServerText(body.c_str()))
                            .arg(AdviceFor(reply->GetStatusCode(), code)),
                        "the completion failed", {}, code);
  }
  LogDebug("Upload complete sent successfully.");
}

void CrashServerProtocol::CheckReply(TNetworkReply& reply, const TString& allowed,
                                     const TString& tooLarge) {
  const int status = reply.GetStatusCode();
  if (TNetworkReply::IsSuccessStatus(status)) return;
  const TString url = reply.GetUrl().ForLog();
  if (status == 0) {
    const TString timedOut = "Network request timed out.";
    // The transport's text tells a stalled transfer from a slow one.
    const TString transport = reply.GetErrorString();
    throw HTTPException(
        0,
        TFormatString("Network error occurred in contacting crash upload server "
                      "(URL: '%1'). Error message: '%2'%3%4")
            .arg(url)
            .arg(timedOut)
            .arg(transport.isEmpty() ? TString() : " (" + transport + ")")
            .arg(allowed.isEmpty() ? TString() : " The request was allowed " + allowed + "."),
        timedOut, {});
  }
  if (TNetworkReply::IsServerErrorStatus(status)) {
    reply.Seek(0);
    // The body is text up to its first NUL byte.
    const std::string body = reply.ReadAll();
    throw HTTPException(status,
                        TFormatString("Network error (HTTP code: '%1') occurred in contacting "
                                      "crash upload server (URL: '%2'). Error message: '%3'. "
                                      "Server response: '%4'")
                            .arg(status)
                            .arg(url)
                            .arg(reply.GetErrorString())
                            .arg(QuoteServerText(body.c_str())),
                        reply.GetErrorString(), {});
  }
  // A redirect is an answer of its own: following it could lead anywhere.
  const bool redirect = status >= 300 && status < 400;
  reply.Seek(0);
  const TString code = redirect ? TString() : StoreErrorCode(reply.ReadAll());
  throw HTTPException(status,
                      TFormatString("Network error (HTTP code: '%1') occurred in contacting crash "
                                    "upload server (URL: '%2'). Error message: '%3'.%4%5%6")
                          .arg(status)
                          .arg(url)
                          .arg(reply.GetErrorString())
                          .arg(redirect ? " No redirect is followed." : "")
                          .arg(code.isEmpty() ? TString() : " Store error code: '" + code + "'.")
                          .arg(AdviceFor(status, code, tooLarge)),
                      reply.GetErrorString(), {}, code);
}

TString CrashServerProtocol::AdviceFor(int status, const TString& storeCode,
                                       const TString& tooLarge) {
  if (storeCode == HTTPException::kPartsTooSmall) {
    return " The parts are smaller than the object store takes: raise "
           "servercrashupload.upload_part_size_in_bytes (5 MiB, 5242880, is the usual least).";
  }
  if (storeCode == "EntityTooLarge" || status == 413) {
    return tooLarge.isEmpty() ? " The request" + TString(kTooLarge) + "." : tooLarge;
  }
  if (status == 407) {
    return " A proxy on the way asks for credentials: set servercrashupload.proxy_server_username "
           "and servercrashupload.proxy_server_password with servercrashupload.proxy_server_host "
           "(a proxy of http_proxy or https_proxy takes them in its URL).";
  }
  // Some proxies refuse wrong credentials so, not with a 407.
  if (status == 401) {
    return " Credentials are wanted, by the server or by a proxy on the way: with a proxy, check "
           "servercrashupload.proxy_server_username and servercrashupload.proxy_server_password.";
  }
  return {};
}

TString CrashServerProtocol::StoreErrorCode(const std::string& body) {
  const std::string open = "<Code>";
  const size_t start = body.find(open);
  if (start == std::string::npos) return {};
  const size_t from = start + open.size();
  const size_t end = body.find("</Code>", from);
  if (end == std::string::npos || end == from || end - from > 64) return {};
  const std::string code = body.substr(from, end - from);
  for (const char c : code) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.') return {};
  }
  return TString::fromUtf8(code);
}

void CrashServerProtocol::ForgetRefusedParts(Package& package, const HTTPException& e) {
  if (!e.RefusesPartTags()) return;
  const TString code = e.GetStoreCode();
  // Sent again with the same tags, the completion would be refused again
  // until the package is given up; a tag spoilt on the way (by a proxy) is
  // mended only by sending the parts again.
  try {
    package.DiscardDataFiles({DataFileKind::kPartsUploadedFile},
                             "the object store refused its parts' tags (" + code +
                                 "); the next attempt sends them again");
  } catch (const ZorvaneException& unsaved) {
    LogText(TLog::Warn, TFormatString("Package '%1': the record of its parts cannot be dropped "
                                      "now: %2")
                            .arg(package.GetPackageName())
                            .arg(unsaved.GetConcatenatedMessages()));
  }
}

bool CrashServerProtocol::IsForgottenUpload(const HTTPException& e) {
  return e.GetHttpCode() == 404 && e.GetStoreCode() == "NoSuchUpload";
}

}  // namespace ZorErrorReporting
