#include "packages/trust_boundary.h"

#include <exception>

#include "config/config.h"
#include "files/filesystem.h"
#include "platform/file_identity.h"
#include "platform/tformat_string.h"

namespace ZorErrorReporting {

using zor::platform::FileIdentity;
using zor::platform::LinkHandling;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;

namespace {

std::optional<TPath> Canonical(const TPath& path) {
  return Filesystem::GetInstance().CanonicalPath(path);
}

std::optional<FileIdentity> Identify(const TPath& path, LinkHandling links) {
  return Filesystem::GetInstance().IdentifyPath(path, links);
}

}  // namespace

TrustBoundary TrustBoundary::FromConfig() {
  std::vector<TPath> directories;
  const Config& config = Config::GetInstance();
  try {
    directories = config.GetDumpDirectories();
  } catch (const std::exception&) {
    // Without dump directories nothing there is trusted: the safe answer.
  }
  try {
    directories.push_back(config.GetDataDirectory());
  } catch (const std::exception&) {
  }
  return TrustBoundary(directories);
}

TrustBoundary::TrustBoundary(const std::vector<TPath>& directories) {
  for (const TPath& directory : directories) {
    if (std::optional<TPath> canonical = Canonical(directory)) {
      roots_.push_back(*canonical);
    }
  }
}

bool TrustBoundary::IsInside(const TPath& canonical) const {
  for (const TPath& root : roots_) {
    if (zor::platform::IsSameOrBelow(canonical, root)) return true;
  }
  return false;
}

bool TrustBoundary::IsStrictlyInside(const TPath& canonical) const {
  for (const TPath& root : roots_) {
    if (zor::platform::IsSameOrBelow(canonical, root) && !(canonical == root)) return true;
  }
  return false;
}

TString TrustBoundary::WhyNotOwner(unsigned owner, const TPath& namedBy) const {
  if (namedBy.IsEmpty()) return {};
  const std::optional<FileIdentity> namer = Identify(namedBy, LinkHandling::kDoNotFollow);
  if (!namer) {
    return TFormatString("the file that names it, '%1', cannot be examined")
        .arg(namedBy.ToString());
  }
  if (namer->owner == owner || namer->owner == zor::platform::EffectiveUser()) return {};
  return TFormatString("it belongs to user %1, but the file that names it, '%2', to user %3")
      .arg(static_cast<uint64_t>(owner))
      .arg(namedBy.ToString())
      .arg(static_cast<uint64_t>(namer->owner));
}

TString TrustBoundary::WhyNotRead(const TPath& path, const TPath& namedBy) const {
  const std::optional<TPath> canonical = Canonical(path);
  if (!canonical) return "it does not exist or cannot be resolved";
  if (!IsInside(*canonical)) {
    return TFormatString("it resolves to '%1', outside the dump and data directories")
        .arg(canonical->ToString());
  }
  const std::optional<FileIdentity> target = Identify(*canonical, LinkHandling::kFollow);
  if (!target || target->kind != FileIdentity::Kind::kRegular) return "it is not a regular file";
  return WhyNotOwner(target->owner, namedBy);
}

TString TrustBoundary::WhyNotDeleted(const TPath& path, const TPath& namedBy) const {
  const std::optional<FileIdentity> entry = Identify(path, LinkHandling::kDoNotFollow);
  if (!entry) return {};
  // The entry itself is what goes, so only its directory is resolved: a link
  // inside a dump directory may be removed wherever it points.
  const std::optional<TPath> parent = Canonical(path.Parent());
  if (!parent) return "its directory cannot be resolved";
  const TPath canonical = *parent / TPath(path.Filename());
  if (!IsStrictlyInside(canonical)) {
    return TFormatString("'%1' is not inside the dump or data directories")
        .arg(canonical.ToString());
  }
  return WhyNotOwner(entry->owner, namedBy);
}

}  // namespace ZorErrorReporting
