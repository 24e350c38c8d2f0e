#include "platform/file_identity.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>

namespace zor::platform {

std::optional<FileIdentity> IdentifyPath(const TPath& path, LinkHandling links) {
  struct stat info {};
  const std::string native = path.NativeString();
  const int result = links == LinkHandling::kFollow ? ::stat(native.c_str(), &info)
                                                    : ::lstat(native.c_str(), &info);
  if (result != 0) return std::nullopt;
  FileIdentity identity;
  identity.owner = info.st_uid;
  identity.permissions = info.st_mode & 07777;
  if (S_ISREG(info.st_mode)) {
    identity.kind = FileIdentity::Kind::kRegular;
  } else if (S_ISDIR(info.st_mode)) {
    identity.kind = FileIdentity::Kind::kDirectory;
  } else if (S_ISLNK(info.st_mode)) {
    identity.kind = FileIdentity::Kind::kSymlink;
  }
  return identity;
}

std::optional<TPath> CanonicalPath(const TPath& path) {
  if (path.IsEmpty()) return std::nullopt;
  std::unique_ptr<char, decltype(&std::free)> resolved(
      ::realpath(path.NativeString().c_str(), nullptr), &std::free);
  if (!resolved) return std::nullopt;
  return TPath(std::string(resolved.get()));
}

bool IsSameOrBelow(const TPath& path, const TPath& root) {
  const TString& text = path.ToString();
  TString prefix = root.ToString();
  if (text == prefix) return true;
  if (!prefix.endsWith("/")) prefix += "/";
  return text.startsWith(prefix);
}

uid_t EffectiveUser() { return ::geteuid(); }

}  // namespace zor::platform
