#include "platform/standard_paths.h"

#include <pwd.h>
#include <unistd.h>

#include <QStandardPaths>
#include <cerrno>
#include <cstdlib>
#include <vector>

namespace zor::platform {

namespace {

TPath NonEmptyEnvironment(const char* variable) {
  const char* value = std::getenv(variable);
  return TPath(value != nullptr ? value : "");
}

}  // namespace

TPath UserHomeDirectory() {
  if (TPath home = NonEmptyEnvironment("HOME"); !home.IsEmpty()) return home;
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
  struct passwd entry;
  struct passwd* found = nullptr;
  int error;
  while ((error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found)) ==
         ERANGE) {
    buffer.resize(buffer.size() * 2);
  }
  if (error != 0 || found == nullptr || found->pw_dir == nullptr) return {};
  return TPath(found->pw_dir);
}

TPath UserBaseDirectory(const char* variable, const char* underHome) {
  if (TPath base = NonEmptyEnvironment(variable); !base.IsEmpty()) return base;
  return UserHomeDirectory() / underHome;
}

TPath UserDocumentsDirectory() {
  return TPath(TString(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)));
}

}  // namespace zor::platform
