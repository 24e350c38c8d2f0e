#include "platform/file_identity.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <limits>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_functions.h"

namespace zor::platform {

namespace {

FileIdentity IdentityOf(const struct stat& info) {
  FileIdentity identity;
  identity.device = info.st_dev;
  identity.inode = info.st_ino;
  identity.links = info.st_nlink;
  identity.owner = info.st_uid;
  identity.permissions = info.st_mode & 07777;
  identity.size = static_cast<uint64_t>(info.st_size);
  identity.allocated = static_cast<uint64_t>(info.st_blocks) * 512;
  identity.modifiedNs = NsSinceEpoch(info.st_mtim);
  identity.changedNs = NsSinceEpoch(info.st_ctim);
  if (S_ISREG(info.st_mode)) {
    identity.kind = FileIdentity::Kind::kRegular;
  } else if (S_ISDIR(info.st_mode)) {
    identity.kind = FileIdentity::Kind::kDirectory;
  } else if (S_ISLNK(info.st_mode)) {
    identity.kind = FileIdentity::Kind::kSymlink;
  }
  return identity;
}

// fstatat's answer, with the birth time where statx gives one (a kernel or
// sandbox without statx gives none).
std::optional<FileIdentity> Identify(int directory, const char* name, int flags) {
  struct statx extended {};
  if (::statx(directory, name, flags, STATX_BASIC_STATS | STATX_BTIME, &extended) == 0) {
    struct stat info {};
    info.st_dev = ::makedev(extended.stx_dev_major, extended.stx_dev_minor);
    info.st_ino = extended.stx_ino;
    info.st_nlink = extended.stx_nlink;
    info.st_uid = extended.stx_uid;
    info.st_mode = extended.stx_mode;
    info.st_size = static_cast<off_t>(extended.stx_size);
    info.st_blocks = static_cast<blkcnt_t>(extended.stx_blocks);
    info.st_mtim = {extended.stx_mtime.tv_sec, extended.stx_mtime.tv_nsec};
    info.st_ctim = {extended.stx_ctime.tv_sec, extended.stx_ctime.tv_nsec};
    FileIdentity identity = IdentityOf(info);
    if ((extended.stx_mask & STATX_BTIME) != 0) {
      identity.birthNs = NsSinceEpoch({static_cast<time_t>(extended.stx_btime.tv_sec),
                                       static_cast<long>(extended.stx_btime.tv_nsec)});
    }
    return identity;
  }
  if (errno != ENOSYS && errno != EPERM) return std::nullopt;
  struct stat info {};
  if (::fstatat(directory, name, &info, flags) != 0) return std::nullopt;
  return IdentityOf(info);
}

}  // namespace

bool IsSameFileUnchanged(const FileIdentity& a, const FileIdentity& b) {
  if (a.inode != b.inode || a.size != b.size || a.modifiedNs != b.modifiedNs) return false;
  if (a.birthNs != 0 && b.birthNs != 0) return a.birthNs == b.birthNs;
  if (a.birthNs == 0 && b.birthNs == 0 && a.changedNs != 0 && b.changedNs != 0) {
    return a.changedNs == b.changedNs;
  }
  // Against a stamp that kept no birth time, a file born after its last
  // change had its time set back: made anew at a freed inode, most likely,
  // unless it was born before the stamp was taken (a copy that kept its time).
  // Where no birth time is kept, the change time stands in for it against a
  // stamp of an older version, which kept neither.
  const int64_t birth = a.birthNs != 0   ? a.birthNs
                        : b.birthNs != 0 ? b.birthNs
                                         : std::max(a.changedNs, b.changedNs);
  return birth == 0 || birth <= std::max({a.modifiedNs, a.bornByNs, b.bornByNs});
}

int64_t NsSinceEpoch(const struct timespec& time) {
  int64_t ns = 0;
  if (__builtin_mul_overflow(static_cast<int64_t>(time.tv_sec), int64_t{1000000000}, &ns) ||
      __builtin_add_overflow(ns, static_cast<int64_t>(time.tv_nsec), &ns)) {
    return time.tv_sec < 0 ? std::numeric_limits<int64_t>::min()
                           : std::numeric_limits<int64_t>::max();
  }
  return ns;
}

const char* KindText(FileIdentity::Kind kind) {
  switch (kind) {
    case FileIdentity::Kind::kRegular:
      return "a regular file";
    case FileIdentity::Kind::kDirectory:
      return "a directory";
    case FileIdentity::Kind::kSymlink:
      return "a symbolic link";
    case FileIdentity::Kind::kOther:
      break;
  }
  return "a special file";
}

TString WhyNotADirectory(const TPath& path) {
  const auto found = IdentifyPath(path, LinkHandling::kFollow);
  if (found && found->kind == FileIdentity::Kind::kDirectory) return {};
  const auto other = IdentifyPath(path, LinkHandling::kDoNotFollow);
  if (!other) return {};
  return "'" + path.ToString() + "' is not a directory but " + KindText(other->kind);
}

int64_t LatestBirthNs(const FileIdentity& file) {
  return file.birthNs != 0 ? file.birthNs : file.changedNs;
}

std::optional<FileIdentity> IdentifyPath(const TPath& path, LinkHandling links) {
  return Identify(AT_FDCWD, path.NativeString().c_str(),
                  links == LinkHandling::kFollow ? 0 : AT_SYMLINK_NOFOLLOW);
}

std::optional<FileIdentity> IdentifyDescriptor(int fd) { return Identify(fd, "", AT_EMPTY_PATH); }

std::optional<FileIdentity> IdentifyEntryAt(int directory, const TString& name) {
  return Identify(directory, name.toStdString().c_str(), AT_SYMLINK_NOFOLLOW);
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

TString WhoseLinkOnTheWay(const TPath& path, std::optional<uid_t> alsoTrusted) {
  constexpr int kMaxHops = 40;
  std::string rest = FromWorkingFolder(path).NativeString();
  std::string reached;
  for (int hops = 0; hops <= kMaxHops;) {
    const size_t start = rest.find_first_not_of('/');
    if (start == std::string::npos) return {};
    const size_t end = rest.find('/', start);
    const std::string next = reached + "/" + rest.substr(start, end - start);
    rest = end == std::string::npos ? std::string() : rest.substr(end);
    struct stat info {};
    if (::lstat(next.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) {
      reached = next;
      continue;
    }
    if (info.st_uid != ::geteuid() && info.st_uid != 0 && info.st_uid != alsoTrusted) {
      return "the link '" + TString(next) + "' on the way to '" + path.ToString() +
             "' belongs to user " + TString(std::to_string(info.st_uid));
    }
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(next.c_str(), target.data(), target.size());
    if (length <= 0) return "the link '" + TString(next) + "' cannot be read";
    target.resize(static_cast<size_t>(length));
    // The target continues from the link's folder, or from "/".
    rest = (target.front() == '/' ? target : reached + "/" + target) + rest;
    reached.clear();
    ++hops;
  }
  return "the way to '" + path.ToString() + "' has too many links";
}

TString WhyDotDotMisleads(const TPath& path) {
  const std::filesystem::path written(FromWorkingFolder(path).NativeString());
  std::filesystem::path upToLast;
  std::filesystem::path climbed;
  for (const auto& part : written) {
    climbed /= part;
    if (part == "..") upToLast = climbed;
  }
  if (upToLast.empty()) return {};
  const std::optional<TPath> real = CanonicalPath(TPath(TString(upToLast.string())));
  const std::optional<TPath> read =
      CanonicalPath(TPath(TString(upToLast.lexically_normal().string())));
  if (!real || real == read) return {};
  return "'" + TString(upToLast.string()) + "' leads to '" + real->ToString() + "', not to '" +
         (read ? read->ToString() : TString(upToLast.lexically_normal().string())) +
         "' as its '..' reads: spell it without '..'";
}

namespace {

// True when no one but root and this process's user is in group `gid`, as a
// member or by their primary group. Users are enumerated once per group and
// process: group membership does not change under a run that matters.
bool OnlyRootAndSelfIn(gid_t gid) {
  static std::mutex mutex;
  static std::map<gid_t, bool> known;
  std::lock_guard<std::mutex> lock(mutex);
  if (const auto found = known.find(gid); found != known.end()) return found->second;
  const uid_t self = ::geteuid();
  bool alone = true;
  std::vector<char> buffer(1 << 16);
  struct group entry {};
  struct group* group = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &group) == 0 && group != nullptr) {
    for (char** member = group->gr_mem; alone && *member != nullptr; ++member) {
      std::vector<char> userBuffer(1 << 16);
      struct passwd user {};
      struct passwd* found = nullptr;
      // A member name without a user is nobody's yet; whoever gets it joins.
      alone = ::getpwnam_r(*member, &user, userBuffer.data(), userBuffer.size(), &found) == 0 &&
              found != nullptr && (found->pw_uid == 0 || found->pw_uid == self);
    }
  }
  ::setpwent();
  for (struct passwd* user = nullptr; alone && (user = ::getpwent()) != nullptr;) {
    alone = user->pw_gid != gid || user->pw_uid == 0 || user->pw_uid == self;
  }
  ::endpwent();
  known.emplace(gid, alone);
  return alone;
}

// True when `path` (followed) carries an access ACL beyond its mode bits.
bool HasAccessAcl(const TPath& path) {
  return ::getxattr(path.NativeString().c_str(), "system.posix_acl_access", nullptr, 0) > 0;
}

// WhyFolderNotPrivate for one chain of folders, `folder` and each above it by
// name; stat follows a link at any level to what it names. With
// `folderIsAbove`, `folder` is judged as a folder above one yet to be made.
TString WhyChainNotPrivate(const TPath& folder, bool folderIsAbove) {
  const uid_t self = ::geteuid();
  for (TPath level = folder;; level = level.Parent()) {
    struct stat info {};
    if (::stat(level.NativeString().c_str(), &info) != 0) {
      return "the folder '" + level.ToString() + "' cannot be examined";
    }
    const bool own = level == folder && !folderIsAbove;
    const TString which = own ? "the folder '" + level.ToString() + "'"
                              : "the folder above it, '" + level.ToString() + "',";
    if (info.st_uid != self && info.st_uid != 0) {
      return which + " belongs to user " + TString(std::to_string(info.st_uid));
    }
    // A sticky folder above lets no one rename what belongs to others. A
    // folder above that a group may write lets its members rename the folder
    // and put a link in its place, unless that group is root's or this
    // user's own (a home folder under per-user groups) and has no one else in
    // it. Under an access ACL the group bits are the mask: what the users and
    // groups the ACL names may at most do.
    const bool ownGroup = !HasAccessAcl(level) &&
                          (info.st_gid == 0 || info.st_gid == ::getegid()) &&
                          OnlyRootAndSelfIn(info.st_gid);
    const mode_t writableByOthers = own || !ownGroup ? (S_IWGRP | S_IWOTH) : S_IWOTH;
    if ((info.st_mode & writableByOthers) != 0 && (own || (info.st_mode & S_ISVTX) == 0)) {
      return which + " is writable by group or others";
    }
    if (level.Parent() == level || level.Parent().IsEmpty()) return {};
  }
}

TString WhyNotPrivate(const TPath& folder, bool folderIsAbove) {
  const TPath given = folder.IsEmpty() ? TPath(".") : folder;
  if (TString why = WhoseLinkOnTheWay(given); !why.isEmpty()) return why;
  const std::optional<TPath> resolved = CanonicalPath(given);
  if (!resolved) return "the folder '" + folder.ToString() + "' cannot be resolved";
  // The folders the path names on its way matter as much as where it leads:
  // whoever may rename an entry of one swaps a link in there.
  const TPath written = FromWorkingFolder(given);
  if (written.IsAbsolute() && written != *resolved) {
    if (TString why = WhyChainNotPrivate(written, folderIsAbove); !why.isEmpty()) return why;
  }
  return WhyChainNotPrivate(*resolved, folderIsAbove);
}

}  // namespace

TString WhyFolderNotPrivate(const TPath& folder) { return WhyNotPrivate(folder, false); }

TString WhyFolderCouldBeSwapped(const TPath& folder) {
  const TPath given = FromWorkingFolder(folder.IsEmpty() ? TPath(".") : folder);
  if (TString why = WhoseLinkOnTheWay(given); !why.isEmpty()) return why;
  const std::optional<TPath> resolved = CanonicalPath(given);
  if (!resolved) return "the folder '" + folder.ToString() + "' cannot be resolved";
  for (const TPath& way : {given, *resolved}) {
    if (way.Parent() == way || way.Parent().IsEmpty()) continue;
    if (TString why = WhyNotPrivate(way.Parent(), true); !why.isEmpty()) return why;
  }
  return {};
}

TString WhyFolderCannotBePrivate(const TPath& folder) {
  const TPath given = FromWorkingFolder(folder.IsEmpty() ? TPath(".") : folder);
  struct stat info {};
  if (::stat(given.NativeString().c_str(), &info) == 0) return WhyFolderNotPrivate(given);
  TPath above = given.Parent();
  while (::lstat(above.NativeString().c_str(), &info) != 0 && errno == ENOENT &&
         above.Parent() != above && !above.Parent().IsEmpty()) {
    above = above.Parent();
  }
  return WhyNotPrivate(above, true);
}

TString WhyFileNotPrivate(const TPath& file) {
  if (TString why = WhoseLinkOnTheWay(file); !why.isEmpty()) return why;
  const TPath folder = FromWorkingFolder(file).Parent();
  struct stat info {};
  // No one else can put a file there later if its folder is private.
  if (::lstat(file.NativeString().c_str(), &info) != 0 && errno == ENOENT) {
    return WhyFolderNotPrivate(folder);
  }
  const std::optional<TPath> resolved = CanonicalPath(file);
  if (!resolved || ::stat(resolved->NativeString().c_str(), &info) != 0) {
    return "the file '" + file.ToString() + "' cannot be examined";
  }
  if (info.st_uid != ::geteuid() && info.st_uid != 0) {
    return "the file '" + file.ToString() + "' belongs to user " +
           TString(std::to_string(info.st_uid));
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return "the file '" + file.ToString() + "' is writable by group or others";
  }
  // The folder it is named in, and the one it is in when it is a link.
  if (TString why = WhyFolderNotPrivate(folder); !why.isEmpty()) return why;
  return WhyFolderNotPrivate(resolved->Parent());
}

uid_t EffectiveUser() { return ::geteuid(); }

}  // namespace zor::platform
