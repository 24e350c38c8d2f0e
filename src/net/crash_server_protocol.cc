#include "net/crash_server_protocol.h"

#include <algorithm>

#include "config/config.h"
#include "config/overrides.h"
#include "log/log_functions.h"
#include "net/http_exception.h"
#include "net/http_requestor.h"
#include "packages/json_document.h"
#include "packages/package.h"
#include "packages/package_encryption_metadata.h"
#include "platform/app_config.h"
#include "platform/tbuffer.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::OpenMode;
using zor::platform::TBuffer;
using zor::platform::TFormatString;
namespace TLog = zor::platform::TLog;
using zor::platform::TNetworkReply;
using zor::platform::TNetworkRequest;
using zor::platform::TString;
using zor::platform::TUrl;
using zor::platform::ZorvaneException;

namespace {

// The display form of URLs in log lines: reserved characters decoded.
constexpr unsigned kDisplayForm = 0x2000000;

void LogDebug(const TString& text) { LogText(TLog::Debug, text); }

void LogRequestUrl(const TUrl& url) {
  LogDebug(TFormatString("Request URL: '%1'").arg(url.ToString(kDisplayForm)));
}

// A callback that takes the string member `member` of a 2xx JSON reply into
// `*out`; other statuses are left to CheckReply.
TNetworkReply::ReplyCallback EntryCallback(TString* out, const char* member) {
  return [out, member](TNetworkReply& reply, uint64_t bytesReady) {
    if (!TNetworkReply::IsSuccessStatus(reply.GetStatusCode())) return;
    HttpRequestor& requestor = HttpRequestor::GetInstance();
    const Json::Document document = requestor.ReadJsonReply(reply, bytesReady);
    *out = requestor.GetJsonEntry(document, member);
  };
}

// Opens the reply, runs it within `timeoutMs` and checks its status.
void Finish(TNetworkReply& reply, int64_t timeoutMs) {
  reply.Open(OpenMode::ReadWrite);
  reply.WaitForFinished(timeoutMs);
  CrashServerProtocol::CheckReply(reply);
}

TString Override(const TString& value, const TString& fallback) {
  return value.isEmpty() ? fallback : value;
}

}  // namespace

CrashServerProtocol::CrashServerProtocol(const TUrl& baseUrl, const TString& customerId)
    : baseUrl_(baseUrl), customerId_(customerId) {
  LogDebug(TFormatString("Upload Endpoint: '%1'").arg(baseUrl_.ToString(kDisplayForm)));
}

TString CrashServerProtocol::PackageTypePathWord(PackageType type) {
  switch (type) {
    case PackageType::kUnknownPackage:
      return "unknown";
    case PackageType::kCrashPackage:
      return "crash";
    case PackageType::kZippedLogsPackage:
      return "logs";
  }
  throw ZorvaneException("Package type is unsupported.");
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
    Finish(*reply, Config::GetInstance().GetHttpGetTimeout());
    LogDebug(TFormatString("Server responded with key Id '%1' and key value '%2'")
                 .arg(info.keyId)
                 .arg(TString::fromUtf8(info.key.data())));
    return info;
  } catch (ZorvaneException& e) {
    e.StackMessageFront(
        TFormatString("Error occurred trying to download the Zorvane RSA public key from '%1'.")
            .arg(TString(url)));
    throw;
  }
}

void CrashServerProtocol::Upload(Package& package) {
  if (!package.HasRemotePackageId()) {
    package.SetRemotePackageId(RegisterPackage(package.GetPackageType()));
  }
  UploadPackage(package);
}

void CrashServerProtocol::UploadPackage(Package& package) {
  if (package.IsUploadInProgress()) {
    LogText(TLog::Warn, TFormatString("UploadPackage '%1' was partially uploaded previously and "
                                      "upload will resume from where it left off before.")
                            .arg(package.GetIdentityJson()));
  } else {
    LogText(TLog::Info,
            TFormatString("Starting upload for package '%1'").arg(package.GetIdentityJson()));
    const TString registration = BuildRegistrationJson(package);
    const TString uploadId =
        RequestUploadId(package.GetUploadFileName(), package.GetRemotePackageId(), registration,
                        package.GetPackageType());
    package.GetUploadProgress()->SetUploadId(uploadId);
  }
  UploadPackageFile(package);
  LogText(TLog::Info,
          TFormatString("Upload complete for package '%1'.").arg(package.GetIdentityJson()));
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
  Finish(*reply, Config::GetInstance().GetHttpPostTimeout());
  return result;
}

TString CrashServerProtocol::RegisterPackage(PackageType type) {
  const TUrl url(TFormatString("%1/crash?customerId=%3")
                     .arg(TString(baseUrl_))
                     .arg(PackageTypePathWord(type))
                     .arg(customerId_));
  LogDebug("Registering package for upload...");
  LogRequestUrl(url);
  const TString id = PostForEntry(url, "Content-Type: application/json", nullptr, "crash_id");
  LogDebug(TFormatString("Server responded successfully with remote package id: '%1").arg(id));
  return id;
}

TString CrashServerProtocol::RequestUploadId(const TString& uploadFileName, const TString& remoteId,
                                             const TString& body, PackageType type) {
  const TUrl url(TFormatString("%1/%2/%3/%4/%5?customerId=%6")
                     .arg(TString(baseUrl_))
                     .arg("crash")
                     .arg(remoteId)
                     .arg(PackageTypePathWord(type))
                     .arg(uploadFileName)
                     .arg(customerId_));
  LogDebug("Requesting upload ID from server...");
  LogRequestUrl(url);
  const TString id = PostForEntry(url, "Content-Type: application/json", &body, "upload_id");
  LogDebug(TFormatString("Server responded succesfully upload id: '%1").arg(id));
  return id;
}

TString CrashServerProtocol::UploadStem(const TString& uploadFileName, const TString& remoteId,
                                        const TString& uploadId, PackageType type) const {
  const TString word = PackageTypePathWord(type);
  return TFormatString("%1/crash/%3/%4/%5/%6")
      .arg(TString(baseUrl_))
      .arg(word)
      .arg(remoteId)
      .arg(word)
      .arg(uploadFileName)
      .arg(uploadId);
}

TUrl CrashServerProtocol::GetPackageLocationUrl(const TString& uploadFileName,
                                                const TString& remoteId, const TString& uploadId,
                                                PackageType type) {
  const TUrl url(UploadStem(uploadFileName, remoteId, uploadId, type) + "?customerId=" +
                 customerId_);
  LogDebug(TFormatString("Requesting generated URL from crash server for package with remote Id "
                         "'%1' from server")
               .arg(remoteId));
  LogRequestUrl(url);
  return FetchLocationUrl(url);
}

TUrl CrashServerProtocol::GetPartLocationUrl(const TString& uploadFileName,
                                             const TString& remoteId, const TString& uploadId,
                                             PackageType type, uint64_t partNumber) {
  const TUrl url(UploadStem(uploadFileName, remoteId, uploadId, type) + "/" +
                 TString::Number(partNumber) + "?customerId=" + customerId_);
  LogDebug(TFormatString("Getting generated URL for part: '%1' from server").arg(partNumber));
  LogRequestUrl(url);
  return FetchLocationUrl(url);
}

TUrl CrashServerProtocol::FetchLocationUrl(const TUrl& url) {
  auto reply = HttpRequestor::GetInstance().Get(TNetworkRequest(url));
  TString location;
  reply->SetReplyCallback(EntryCallback(&location, "location"));
  Finish(*reply, Config::GetInstance().GetHttpGetTimeout());
  LogDebug(TFormatString("Server responded successfully with generated Url: '%1'").arg(location));
  return TUrl(location);
}

void CrashServerProtocol::UploadPackageFile(Package& package) {
  const zor::platform::TPath path = package.GetEncryptedPackageFilePath();
  const std::shared_ptr<PackageUploadProgress> progress = package.GetUploadProgress();
  const auto completed = progress->GetCompletedParts();
  const auto size = static_cast<int64_t>(progress->GetUploadFileSize());
  const auto partSize = static_cast<int64_t>(progress->GetMaxPartSize());
  const int count = progress->GetPartCount();
  LogDebug(TFormatString("Starting upload of package file '%1' to server...")
               .arg(TString(path.NativeString())));
  LogDebug("UploadPackage file details:");
  LogDebug(TFormatString("\tTotalFileSize: '%1'. TotalFileParts: '%2'").arg(size).arg(count));

  for (int n = 1; n <= count; ++n) {
    if (completed->count(n) != 0) {
      LogDebug(TFormatString("Part number '%1' already uploaded in a previous run.").arg(n));
      continue;
    }
    const int64_t offset = (n - 1) * partSize;
    const int64_t length = std::min(size - offset, partSize);
    auto chunk = std::make_shared<TChunkFile>(path, offset, length);
    const TUrl url =
        GetPartLocationUrl(package.GetUploadFileName(), package.GetRemotePackageId(),
                           progress->GetUploadId(), package.GetPackageType(), n);
    progress_ = {static_cast<uint64_t>(n), count, 0, length, size, offset};
    progress->AddCompletedPart(n, UploadPart(url, chunk, n));
    LogText(TLog::Info, TFormatString("Successfully uploaded part '%1' of '%2' for package '%3'")
                            .arg(n)
                            .arg(count)
                            .arg(package.GetIdentityJson()));
  }
  LogDebug("UploadPackage file upload complete.");
  const TUrl url = GetPackageLocationUrl(package.GetUploadFileName(), package.GetRemotePackageId(),
                                         progress->GetUploadId(), package.GetPackageType());
  PostUploadComplete(url, *completed);
}

TString CrashServerProtocol::UploadPart(const TUrl& url, const std::shared_ptr<TChunkFile>& chunk,
                                        uint64_t partNumber) {
  TNetworkRequest request(url);
  request.SetUploadBandwidthLimit(Config::GetInstance().GetUploadBandwidthLimit());
  if (listener_) {
    request.SetUploadProgressCallback([this](int64_t sent, int64_t) {
      progress_.partSent = sent;
      listener_(progress_);
    });
  }
  auto reply = HttpRequestor::GetInstance().Put(request, *chunk);
  LogDebug(TFormatString("Starting upload of part '%1' to server...").arg(partNumber));
  Finish(*reply, Config::GetInstance().GetHttpPutTimeout());
  const TString tag = reply->GetHeader("etag");
  LogDebug(TFormatString(
               "Upload of part '%1' complete - Received corresponding part tag '%2' from server")
               .arg(partNumber)
               .arg(tag));
  return tag;
}

void CrashServerProtocol::PostUploadComplete(const TUrl& url,
                                             const PackageUploadProgress::CompletedParts& parts) {
  const TString xml = BuildCompleteMultipartUploadXml(parts);
  LogDebug(TFormatString("Upload complete XML: '%1'").arg(xml));
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
  Finish(*reply, Config::GetInstance().GetHttpPostTimeout());
  LogDebug("Upload complete sent successfully.");
}

TString CrashServerProtocol::BuildCompleteMultipartUploadXml(
    const PackageUploadProgress::CompletedParts& parts) {
  TString xml = "<CompleteMultipartUpload>";
  for (const auto& [number, tag] : parts) {
    xml += TFormatString("<Part><PartNumber>%1</PartNumber><ETag>%2</ETag></Part>")
               .arg(number)
               .arg(tag);
  }
  return xml + "</CompleteMultipartUpload>";
}

TString CrashServerProtocol::BuildRegistrationJson(Package& package) {
  const MetadataOverrideValues overrides = MetadataOverrides::GetInstance().Get();
  Json::Document document(rapidjson::kObjectType);
  Json::Allocator& allocator = document.GetAllocator();
  const auto add = [&](const char* name, const TString& value) {
    document.AddMember(rapidjson::StringRef(name), Json::MakeString(value, allocator), allocator);
  };
  add("client-issue-id", Override(overrides.clientIssueId, package.GetPackageName()));
  add("client-product-build", Override(overrides.clientProductBuild, package.GetProductBuild()));
  add("client-product-type", Override(overrides.clientProductType, package.GetEdition()));
  add("client-channel", Override(overrides.clientChannel, Config::GetInstance().GetChannel()));
  add("system-os", Override(overrides.systemOs, package.GetOs()));
  add("system-os-version", Override(overrides.systemOsVersion, package.GetOsVersion()));
  add("system-os-arch", Override(overrides.systemOsArch, package.GetProcessorArchitecture()));
  const bool beta = overrides.clientProductBeta.isEmpty()
                        ? zor::platform::AppConfig::IsBetaTrial()
                        : overrides.clientProductBeta == "true";
  document.AddMember("client-product-beta", beta, allocator);
  Json::Document metadata = package.GetEncryptionMetadata()->ToJson();
  for (auto& member : metadata.GetObject()) {
    document.AddMember(Json::Value(member.name, allocator), Json::Value(member.value, allocator),
                       allocator);
  }
  return TString::fromUtf8(Json::WriteCompact(document));
}

void CrashServerProtocol::CheckReply(TNetworkReply& reply) {
  const int status = reply.GetStatusCode();
  if (TNetworkReply::IsSuccessStatus(status)) return;
  const TString url = reply.GetUrl();
  if (status == 0) {
    const TString timedOut = "Network request timed out.";
    throw HTTPException(0,
                        TFormatString("Network error occurred in contacting crash upload server "
                                      "(URL: '%1'). Error message: '%2'")
                            .arg(url)
                            .arg(timedOut),
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
                            .arg(TString::fromUtf8(body.c_str())),
                        reply.GetErrorString(), {});
  }
  throw HTTPException(status,
                      TFormatString("Network error (HTTP code: '%1') occurred in contacting crash "
                                    "upload server (URL: '%2'). Error message: '%3'.")
                          .arg(status)
                          .arg(url)
                          .arg(reply.GetErrorString()),
                      reply.GetErrorString(), {});
}

}  // namespace ZorErrorReporting
