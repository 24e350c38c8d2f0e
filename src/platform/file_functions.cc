#include "platform/file_functions.h"
#include "platform/file_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <set>
#include <string>
#include <utility>

#include "platform/descriptor_io.h"
#include "platform/display_text.h"
#include "platform/path_error.h"

namespace zor::platform {

namespace {

TString Quoted(const TPath& path) { return "'" + path.ToString() + "'"; }

// The directory that holds `path`'s entry: "." for a bare name.
TPath DirectoryOf(const TPath& path) {
  const TPath parent = path.Parent();
  return parent.IsEmpty() ? TPath(".") : parent;
}

bool StatPath(const TPath& path, struct stat* st) {
  return ::stat(path.NativeString().c_str(), st) == 0;
}

// Extensions lower-cased, each with one leading dot, ready for suffix tests.
std::vector<QString> NormalizeExtensions(const std::vector<TString>& extensions) {
  std::vector<QString> suffixes;
  for (const TString& ext : extensions) {
    QString e = ext.ToQString().toLower();
    if (!e.startsWith(QChar('.'))) e.prepend(QChar('.'));
    suffixes.push_back(std::move(e));
  }
  return suffixes;
}

bool NameMatches(const QString& name, const std::vector<QString>& suffixes) {
  if (suffixes.empty()) return true;
  const QString lower = name.toLower();
  return std::any_of(suffixes.begin(), suffixes.end(), [&](const QString& suffix) {
    return lower.size() > suffix.size() && lower.endsWith(suffix);
  });
}

bool IsValidUtf8Prefix(const unsigned char* s, size_t size) {
  for (size_t i = 0; i < size;) {
    bool cut;
    const size_t length = Utf8SequenceLength(s + i, size - i, &cut);
    // A sequence cut by the end of the probe is judged by the bytes present.
    if (length == 0) return cut;
    i += length;
  }
  return true;
}

// `bytes` as text when they are well-formed UTF-8, else nullopt.
std::optional<QString> DecodeName(const std::string& bytes) {
  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  for (size_t i = 0; i < bytes.size();) {
    bool cut;
    const size_t length = Utf8SequenceLength(s + i, bytes.size() - i, &cut);
    if (length == 0) return std::nullopt;
    i += length;
  }
  return QString::fromStdString(bytes);
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

struct ListRequest {
  std::vector<QString> suffixes;
  PathForm form;
  bool recursive;
  ListedDirectories directories;
  Symlinks symlinks;
};

std::vector<TString> ListDirectory(const TPath& directory, const ListRequest& request,
                                   ListingSkips* skipped) {
  std::vector<TString> listed;
  const std::string root = directory.NativeString();
  struct stat rootStat;
  if (::stat(root.c_str(), &rootStat) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return listed;
    ThrowPathError("TFilesystem: cannot list " + Quoted(directory), error);
  }
  if (!S_ISDIR(rootStat.st_mode)) return listed;

  // Real directories already walked, so that a symbolic-link loop ends.
  std::set<std::pair<dev_t, ino_t>> visited{{rootStat.st_dev, rootStat.st_ino}};
  // Directories still to read: native path and path relative to `directory`.
  std::vector<std::pair<std::string, std::string>> pending{{root, std::string()}};
  bool first = true;
  while (!pending.empty()) {
    auto [native, relative] = std::move(pending.back());
    pending.pop_back();
    DirHandle dir(::opendir(native.c_str()));
    if (!dir) {
      const int error = errno;
      // A subdirectory may be unreadable or gone; only the root must be readable.
      if (first) ThrowPathError("TFilesystem: cannot list " + Quoted(directory), error);
      if (skipped != nullptr && error != ENOENT && error != ENOTDIR) {
        skipped->unreadable.emplace_back(TString::fromStdString(relative), error);
      }
      continue;
    }
    first = false;
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      // A path is bytes, but the program keeps paths as text in its state
      // files: a name that does not decode would come back as another path.
      const std::optional<QString> qname = DecodeName(name);
      if (!qname) {
        if (skipped != nullptr) {
          const std::string bytes = relative.empty() ? name : relative + "/" + name;
          skipped->undecodable.push_back(
              TString::fromStdString(EscapeForDisplay(bytes, DisplayForm::kExactBytes)));
        }
        continue;
      }
      const std::string childNative = native + "/" + name;
      const std::string childRelative = relative.empty() ? name : relative + "/" + name;
      struct stat st;
      if (::lstat(childNative.c_str(), &st) != 0) {
        // Below PATH_MAX's depth nothing can be reached by its path.
        if (errno == ENAMETOOLONG && skipped != nullptr) {
          skipped->unreadable.emplace_back(TString::fromStdString(childRelative), ENAMETOOLONG);
        }
        continue;
      }
      if (S_ISLNK(st.st_mode)) {
        if (request.symlinks == Symlinks::DoNotFollow) continue;
        const uid_t linkOwner = st.st_uid;
        if (::stat(childNative.c_str(), &st) != 0) continue;  // dangling link
        // A user's link leads only to that user's own: else it would list
        // another user's crash under the user's path (refused when read, so
        // never sent) or a file of theirs as the user's.
        if (linkOwner != 0 && linkOwner != ::geteuid() && linkOwner != st.st_uid) continue;
      }
      const bool matches = NameMatches(*qname, request.suffixes);
      const TString shown = request.form == PathForm::Full
                                ? (directory / TPath(childRelative)).ToString()
                                : TString::fromStdString(childRelative);
      if (S_ISDIR(st.st_mode)) {
        if (matches && request.directories == ListedDirectories::Include) listed.push_back(shown);
        if (request.recursive && visited.insert({st.st_dev, st.st_ino}).second) {
          pending.emplace_back(childNative, childRelative);
        }
      } else if (S_ISREG(st.st_mode) && matches) {
        listed.push_back(shown);
      }
    }
  }
  std::sort(listed.begin(), listed.end());
  if (skipped != nullptr) std::sort(skipped->undecodable.begin(), skipped->undecodable.end());
  return listed;
}

}  // namespace

TPath FromWorkingFolder(const TPath& path) {
  if (path.IsAbsolute()) return path;
  const std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
  return cwd ? TPath(std::string(cwd.get())) / path : path;
}

bool PathExists(const TPath& path) {
  struct stat st;
  return ::lstat(path.NativeString().c_str(), &st) == 0;
}

bool FileExists(const TPath& path) {
  struct stat st;
  return StatPath(path, &st) && S_ISREG(st.st_mode);
}

bool DirectoryExists(const TPath& path) {
  struct stat st;
  return StatPath(path, &st) && S_ISDIR(st.st_mode);
}

int DirectoryWriteError(const TPath& path) {
  return ::access(path.NativeString().c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

int DirectoryListingError(const TPath& path) {
  DIR* directory = ::opendir(path.NativeString().c_str());
  if (directory == nullptr) return errno;
  ::closedir(directory);
  return 0;
}

bool CreateDirectory(const TPath& path) {
  if (path.IsEmpty()) return false;
  const std::string native = path.NativeString();
  // Parents first, each at its own slash; a component that exists (or that a
  // concurrent process made) is left as it is.
  for (size_t slash = native.find('/', 1); slash != std::string::npos;
       slash = native.find('/', slash + 1)) {
    const std::string parent = native.substr(0, slash);
    if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  if (::mkdir(native.c_str(), 0700) != 0 && errno != EEXIST) return false;
  return DirectoryExists(path);
}

bool RemovePath(const TPath& path, DirectoryRemoval directories) {
  const std::string native = path.NativeString();
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) {
    // A replacement character may stand for bytes that did not decode, so the
    // real file may still be there under its own name: not proof of removal.
    if (errno == ENOENT && path.ToString().contains(TString(char16_t{0xFFFD}))) {
      errno = EILSEQ;
      return false;
    }
    return errno == ENOENT;
  }
  if (!S_ISDIR(st.st_mode)) return ::unlink(native.c_str()) == 0 || errno == ENOENT;
  if (directories == DirectoryRemoval::OnlyIfEmpty) {
    return ::rmdir(native.c_str()) == 0 || errno == ENOENT;
  }
  std::error_code ec;
  std::filesystem::remove_all(native, ec);
  return !ec && !PathExists(path);
}

int RenamePath(const TPath& from, const TPath& to) {
  if (::rename(from.NativeString().c_str(), to.NativeString().c_str()) != 0) {
    const int error = errno;
    ThrowPathError("TFilesystem: cannot rename " + Quoted(from) + " to " + Quoted(to), error);
  }
  // Until the directory is synced, a power loss may bring the old name back.
  const TPath toDirectory = DirectoryOf(to);
  int error = SyncDirectory(toDirectory);
  const TPath fromDirectory = DirectoryOf(from);
  if (error == 0 && !(fromDirectory == toDirectory)) error = SyncDirectory(fromDirectory);
  return error;
}

int SyncDirectory(const TPath& directory) {
  const std::string native = directory.NativeString();
  int fd;
  do {
    fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  const int error = SyncDescriptor(fd);
  ::close(fd);
  return error == EINVAL || error == EROFS ? 0 : error;
}

uint64_t FileSize(const TPath& path) {
  struct stat st;
  if (!StatPath(path, &st)) {
    const int error = errno;
    ThrowPathError("TFilesystem: cannot get size of " + Quoted(path), error);
  }
  return static_cast<uint64_t>(st.st_size);
}

std::chrono::system_clock::time_point LastWriteTime(const TPath& path) {
  struct stat st;
  if (!StatPath(path, &st)) {
    const int error = errno;
    ThrowPathError("TFilesystem: cannot get last write time of " + Quoted(path), error);
  }
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::nanoseconds(NsSinceEpoch(st.st_mtim))));
}

std::vector<TString> ListFiles(const TPath& directory, const std::vector<TString>& extensions,
                               PathForm form, Symlinks symlinks, ListingSkips* skipped) {
  return ListDirectory(
      directory,
      {NormalizeExtensions(extensions), form, false, ListedDirectories::Exclude, symlinks},
      skipped);
}

std::vector<TString> ListFilesRecursively(const TPath& directory,
                                          const std::vector<TString>& extensions, PathForm form,
                                          ListedDirectories directories, Symlinks symlinks,
                                          ListingSkips* skipped) {
  return ListDirectory(
      directory, {NormalizeExtensions(extensions), form, true, directories, symlinks}, skipped);
}

TString GetFileName(const TPath& path) { return path.Filename(); }

TPath TemporaryDirectory() {
  const char* dir = std::getenv("TMPDIR");
  return TPath(dir != nullptr && *dir != '\0' ? dir : "/tmp");
}

int ComparePaths(const TPath& a, const TPath& b) {
  const int order = QDir::cleanPath(a.ToString()).compare(QDir::cleanPath(b.ToString()));
  return order < 0 ? -1 : (order > 0 ? 1 : 0);
}

std::optional<ByteOrderMark> FindByteOrderMark(const char* bytes, size_t size) {
  const auto* b = reinterpret_cast<const unsigned char*>(bytes);
  auto startsWith = [&](std::initializer_list<unsigned char> mark) {
    return size >= mark.size() && std::equal(mark.begin(), mark.end(), b);
  };
  if (startsWith({0xFF, 0xFE, 0x00, 0x00})) return ByteOrderMark{TextEncoding::kUtf32, false, 4};
  if (startsWith({0x00, 0x00, 0xFE, 0xFF})) return ByteOrderMark{TextEncoding::kUtf32, true, 4};
  if (startsWith({0xEF, 0xBB, 0xBF})) return ByteOrderMark{TextEncoding::kUtf8, false, 3};
  if (startsWith({0xFF, 0xFE})) return ByteOrderMark{TextEncoding::kUtf16, false, 2};
  if (startsWith({0xFE, 0xFF})) return ByteOrderMark{TextEncoding::kUtf16, true, 2};
  return std::nullopt;
}

int DetectEncoding(const char* bytes, size_t size) {
  if (const auto bom = FindByteOrderMark(bytes, size)) return bom->encoding;
  return IsValidUtf8Prefix(reinterpret_cast<const unsigned char*>(bytes), size)
             ? TextEncoding::kUtf8
             : TextEncoding::kLatin1;
}

}  // namespace zor::platform
