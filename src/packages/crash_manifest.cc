#include "packages/crash_manifest.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "config/config.h"
#include "files/filesystem.h"
#include "packages/package_types.h"
#include "packages/system_info.h"
#include "platform/tformat_string.h"
#include "platform/tsettings.h"
#include "platform/tsystem.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;
using zor::platform::ZorvaneException;
namespace TSystem = zor::platform::TSystem;

namespace {

constexpr char kId[] = "Id";
constexpr char kProductBuild[] = "product-build";
constexpr char kHost[] = "host";
constexpr char kOs[] = "os";
constexpr char kEdition[] = "edition";
constexpr char kOsVersion[] = "os-version";
constexpr char kProcessorArchitecture[] = "processor-architecture";
constexpr char kManifestVersion[] = "manifest-version";
constexpr char kUploadFullDumps[] = "upload-full-dumps";
constexpr char kCrashArtifactFiles[] = "crash-artifact-files";
constexpr char kExecutable[] = "executable";
constexpr char kTimestamp[] = "timestamp";
constexpr char kDomain[] = "domain";
constexpr char kOsLocale[] = "os-locale";
constexpr char kZorvaneLocale[] = "zorvane-locale";
constexpr char kProcessor[] = "processor";

// Longer host and domain names are cut: the server stores 64 bytes.
constexpr std::size_t kMaxNameBytes = 64;
// The settings group of the product's own settings store, and the language.
constexpr int kProductSettingsGroup = 34;
constexpr char kLanguageCode[] = "LanguageCode";

// std::stoi with the messages that callers report.
int ToVersionNumber(const TString& part) {
  try {
    return std::stoi(part.toStdString());
  } catch (const std::invalid_argument&) {
    throw std::invalid_argument("invalid stoi argument");
  } catch (const std::out_of_range&) {
    throw std::out_of_range("stoi argument out of range");
  }
}

}  // namespace

TString CutToUtf8Bytes(const TString& text, std::size_t maxBytes) {
  const std::string utf8 = text.toStdString();
  if (utf8.size() <= maxBytes) return text;
  std::size_t end = maxBytes;
  // A byte 10xxxxxx continues the character that began before it.
  while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) --end;
  return TString::fromUtf8(std::string_view(utf8).substr(0, end));
}

TPath NormalisedPath(const TString& path) {
  std::vector<TString> kept;
  for (const TString& part : path.split("/")) {
    if (part.isEmpty() || part == ".") continue;
    if (part == "..") {
      if (!kept.empty() && kept.back() != "..") {
        kept.pop_back();
      } else if (!path.startsWith("/")) {
        kept.push_back(part);  // a relative path may climb; "/.." is "/"
      }
      continue;
    }
    kept.push_back(part);
  }
  TString text = path.startsWith("/") ? TString("/") : TString();
  for (size_t i = 0; i < kept.size(); ++i) text += (i == 0 ? TString() : TString("/")) + kept[i];
  return TPath(text.isEmpty() ? TString(".") : text);
}

std::size_t CrashManifest::NameHash::operator()(const TString& name) const {
  return std::hash<std::string>()(name.toStdString());
}

CrashManifest::CrashManifest() : document_(rapidjson::kObjectType) {}

CrashManifest::CrashManifest(const rapidjson::Value& json) {
  if (!json.IsObject()) throw ZorvaneException("Crash manifest JSON is not an object");
  document_.CopyFrom(json, document_.GetAllocator());
  for (const auto& member : document_.GetObject()) {
    namesPresent_.insert(Json::GetText(member.name).toLower());
    ReadMember(member.name, member.value);
  }
}

void CrashManifest::ReadMember(const rapidjson::Value& name, const rapidjson::Value& value) {
  if (value.IsString()) {
    const std::pair<const char*, TString*> fields[] = {
        {kId, &id_},
        {kProductBuild, &productBuild_},
        {kHost, &host_},
        {kOs, &os_},
        {kEdition, &edition_},
        {kOsVersion, &osVersion_},
        {kProcessorArchitecture, &processorArchitecture_},
        {kManifestVersion, &manifestVersion_},
    };
    for (const auto& [fieldName, field] : fields) {
      if (Json::NameEqualsNoCase(name, fieldName)) {
        *field = Json::GetText(value);
        return;
      }
    }
  } else if (value.IsBool()) {
    if (Json::NameEqualsNoCase(name, kUploadFullDumps)) uploadFullDumps_ = value.GetBool();
  } else if (value.IsArray()) {
    if (!Json::NameEqualsNoCase(name, kCrashArtifactFiles)) return;
    for (const auto& record : value.GetArray()) {
      if (!record.IsObject()) continue;
      auto file = std::make_shared<CrashArtifactFile>(record);
      // One file spelt several ways ("a//b", "a/./b", "x/../a/b") is one entry.
      crashArtifactFiles_.emplace(NormalisedPath(file->GetFileName()), std::move(file));
    }
  }
}

std::shared_ptr<CrashManifest> CrashManifest::LoadFromFile(const TPath& path) {
  auto manifest = LoadObjectFromFile<CrashManifest>(path);
  manifest->AnchorRelativeNames();
  return manifest;
}

std::shared_ptr<CrashManifest> CrashManifest::LoadFromFile(zor::platform::TFile& file) {
  auto manifest = LoadObjectFromFile<CrashManifest>(file);
  manifest->AnchorRelativeNames();
  return manifest;
}

void CrashManifest::AnchorRelativeNames() {
  // An application may name the files beside its manifest as "app.1.dmp":
  // taken from the working folder, they would be missed, or worse, be
  // another folder's files.
  ArtifactFiles anchored;
  const TString folder = GetFilePath().Parent().ToString();
  for (auto& [path, file] : crashArtifactFiles_) {
    // "." is a record without a name, not the manifest's folder.
    const bool asIs = path.IsAbsolute() || path.ToString() == ".";
    anchored.emplace(asIs ? path : NormalisedPath(folder + "/" + path.ToString()), std::move(file));
  }
  crashArtifactFiles_ = std::move(anchored);
}

rapidjson::Document CrashManifest::ToJson() const {
  Json::Document copy;
  copy.CopyFrom(document_, copy.GetAllocator());
  return copy;
}

bool CrashManifest::WasRead(const char* lowerCaseName) const {
  return namesPresent_.count(TString(lowerCaseName)) != 0;
}

void CrashManifest::Complete(const ArtifactFiles& artifactFiles, bool uploadFullDumps,
                             const TString& packageName) {
  if (IsCompleted()) {
    throw ZorvaneException(
        TFormatString("Following manifest has already been updated: '%1'").arg(id_));
  }
  ArtifactFiles files;
  const TPath* miniDump = nullptr;
  const TPath* javaLog = nullptr;
  for (const auto& [path, file] : artifactFiles) {
    const ArtifactType type = file->GetType();
    files.emplace(NormalisedPath(file->GetFileName()), file);
    if (type == ArtifactType::kProcessMiniDump) miniDump = &path;
    if (type == ArtifactType::kJavaFatalErrorLog) javaLog = &path;
  }

  // Everything that can fail is gathered before the document changes, so a
  // failure leaves the manifest as it was.
  Json::Allocator& allocator = document_.GetAllocator();
  std::vector<std::pair<const char*, Json::Value>> appended;
  const auto append = [&](const char* name, Json::Value value) {
    appended.emplace_back(name, std::move(value));
  };
  const auto appendText = [&](const char* name, const TString& text) {
    append(name, Json::MakeString(text, allocator));
  };
  const auto appendTextIfAbsent = [&](const char* name, const std::function<TString()>& text) {
    if (!WasRead(name)) appendText(name, text());
  };

  if (javaLog != nullptr) {
    TString processName;
    uint64_t pid = 0;
    uint64_t timestamp = 0;
    TString packageId;
    ArtifactNames::ParseJavaFileName(*javaLog, &processName, &pid, &timestamp, &packageId);
    appendText(kExecutable, processName);
  }
  if (const TPath* timed = miniDump != nullptr ? miniDump : javaLog) {
    const int64_t unixTime = Filesystem::GetInstance().LastWriteTime(*timed).GetAsUnixTime();
    append(kTimestamp, Json::Value(unixTime));
  }
  append(kUploadFullDumps, Json::Value(uploadFullDumps));
  Json::Value records(rapidjson::kArrayType);
  for (const auto& [path, file] : files) {
    records.PushBack(file->ToJson(allocator), allocator);
  }
  append(kCrashArtifactFiles, std::move(records));

  SystemInfo& system = SystemInfo::Get();
  TString productBuild = productBuild_;
  TString os = os_;
  TString osVersion = osVersion_;
  TString processorArchitecture = processorArchitecture_;
  appendTextIfAbsent(kCrashCorrelationIdMember, [&] { return packageName; });
  appendTextIfAbsent(kManifestVersion, [] { return TString(kUnspecified); });
  appendTextIfAbsent(kProductBuild,
                     [&] { return productBuild = Config::GetInstance().GetVersion(); });
  appendTextIfAbsent(kHost,
                     [&] { return CutToUtf8Bytes(system.GetComputerName(), kMaxNameBytes); });
  appendTextIfAbsent(
      kDomain, [] { return CutToUtf8Bytes(TSystem::ComputerDNSDomainName(), kMaxNameBytes); });
  appendTextIfAbsent(kOs, [&] { return os = TSystem::OSShortName(); });
  appendTextIfAbsent(kOsLocale, [] { return zor::platform::TSystem::SystemLocaleName(); });
  appendTextIfAbsent(kZorvaneLocale, [] {
    return zor::platform::TSettings::GetStringValue(kProductSettingsGroup, kLanguageCode, "");
  });
  appendTextIfAbsent(kProcessor, [] { return TSystem::Processor(); });
  appendTextIfAbsent(kOsVersion, [&] { return osVersion = system.GetOsVersion(); });
  appendTextIfAbsent(kProcessorArchitecture,
                     [&] { return processorArchitecture = system.GetProcessorArchitecture(); });

  for (auto& [name, value] : appended) {
    document_.AddMember(rapidjson::StringRef(name), value, allocator);
  }
  uploadFullDumps_ = uploadFullDumps;
  productBuild_ = productBuild;
  os_ = os;
  osVersion_ = osVersion;
  processorArchitecture_ = processorArchitecture;
  crashArtifactFiles_ = std::move(files);
  Save();
}

int CrashManifest::CompareManifestVersion(const TString& version) const {
  const std::vector<TString> left = manifestVersion_.split(".");
  const std::vector<TString> right = version.split(".");
  const std::size_t shared = std::min(left.size(), right.size());
  for (std::size_t i = 0; i < shared; ++i) {
    const int l = ToVersionNumber(left[i]);
    const int r = ToVersionNumber(right[i]);
    if (l != r) return l > r ? 1 : -1;
  }
  if (left.size() == right.size()) return 0;
  return left.size() > right.size() ? 1 : -1;
}

}  // namespace ZorErrorReporting
