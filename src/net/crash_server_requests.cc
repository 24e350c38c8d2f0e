#include "net/crash_server_requests.h"

#include <utility>

#include "log/log_functions.h"
#include "platform/server_text.h"
#include "platform/tformat_string.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
namespace TLog = zor::platform::TLog;
using zor::platform::TString;
using zor::platform::TUrl;

CrashServerRequests::CrashServerRequests(TUrl endpoint, TString customerId)
    : endpoint_(std::move(endpoint)), customerId_(std::move(customerId)) {}

TUrl CrashServerRequests::Build(std::initializer_list<TString> segments) const {
  TString text = TString(endpoint_) + "/crash";
  for (const TString& segment : segments) text += "/" + TUrl::EncodeComponent(segment);
  return TUrl(text + "?customerId=" + TUrl::EncodeComponent(customerId_));
}

TUrl CrashServerRequests::Registration() const { return Build({}); }

TUrl CrashServerRequests::UploadId(const TString& remoteId, PackageType type,
                                   const TString& uploadFileName) const {
  return Build({remoteId, PathWord(type), uploadFileName});
}

TUrl CrashServerRequests::PackageLocation(const TString& remoteId, PackageType type,
                                          const TString& uploadFileName,
                                          const TString& uploadId) const {
  return Build({remoteId, PathWord(type), uploadFileName, uploadId});
}

TUrl CrashServerRequests::PartLocation(const TString& remoteId, PackageType type,
                                       const TString& uploadFileName, const TString& uploadId,
                                       uint64_t partNumber) const {
  return Build({remoteId, PathWord(type), uploadFileName, uploadId, TString::Number(partNumber)});
}

TString CrashServerRequests::PathWord(PackageType type) {
  switch (type) {
    case PackageType::kUnknownPackage:
      return "unknown";
    case PackageType::kCrashPackage:
      return "crash";
    case PackageType::kZippedLogsPackage:
      return "logs";
  }
  throw zor::platform::ZorvaneException("Package type is unsupported.");
}

TString CrashServerRequests::RegistrationJson(const RegistrationFields& fields,
                                              const Json::Document& encryptionMetadata) {
  Json::Document document(rapidjson::kObjectType);
  Json::Allocator& allocator = document.GetAllocator();
  const auto add = [&](const char* name, const TString& value) {
    // A manifest's product build or a crash file's name is another user's
    // text: it reaches support's screen bounded and printable, as a value
    // typed on the command line must be.
    const TString text = zor::platform::TextForRecord(value);
    if (text != value) {
      const size_t bytes = value.toStdString().size();
      const TString cause = bytes > zor::platform::kRecordFieldBytes
                                ? TFormatString("it was %1 bytes long, and at most %2 are sent")
                                      .arg(static_cast<uint64_t>(bytes))
                                      .arg(static_cast<uint64_t>(zor::platform::kRecordFieldBytes))
                                : TString("it held characters that are no printable text");
      LogText(TLog::Warn, TFormatString("The registration's '%1' is sent as '%2': %3")
                              .arg(name)
                              .arg(text)
                              .arg(cause));
    }
    document.AddMember(rapidjson::StringRef(name), Json::MakeString(text, allocator), allocator);
  };
  add("client-issue-id", fields.clientIssueId);
  add("client-product-build", fields.productBuild);
  add("client-product-type", fields.productType);
  add("client-channel", fields.channel);
  add("system-os", fields.os);
  add("system-os-version", fields.osVersion);
  add("system-os-arch", fields.osArch);
  document.AddMember("client-product-beta", fields.beta, allocator);
  for (const auto& member : encryptionMetadata.GetObject()) {
    document.AddMember(Json::Value(member.name, allocator), Json::Value(member.value, allocator),
                       allocator);
  }
  return TString::fromUtf8(Json::WriteCompact(document));
}

TString CrashServerRequests::CompletionXml(const PackageUploadProgress::CompletedParts& parts) {
  TString xml = "<CompleteMultipartUpload>";
  for (const auto& [number, tag] : parts) {
    // A tag is the store's text: raw, "&" or "<" would make the body
    // malformed, or "</ETag></Part>" rewrite the list of parts.
    TString escaped = tag;
    escaped.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;");
    xml += TFormatString("<Part><PartNumber>%1</PartNumber><ETag>%2</ETag></Part>")
               .arg(number)
               .arg(escaped);
  }
  return xml + "</CompleteMultipartUpload>";
}

}  // namespace ZorErrorReporting
