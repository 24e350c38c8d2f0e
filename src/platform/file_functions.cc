#include "platform/file_functions.h"

#include <dirent.h>
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

#include "platform/path_error.h"

namespace zor::platform {

namespace {

TString Quoted(const TPath& path) { return "'" + path.ToString() + "'"; }

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

std::vector<TString> ListDirectory(const TPath& directory, const ListRequest& request) {
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
      continue;
    }
    first = false;
    while (const dirent* entry = ::readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      const std::string childNative = native + "/" + name;
      const std::string childRelative = relative.empty() ? name : relative + "/" + name;
      struct stat st;
      if (::lstat(childNative.c_str(), &st) != 0) continue;
      if (S_ISLNK(st.st_mode)) {
        if (request.symlinks == Symlinks::DoNotFollow) continue;
        if (::stat(childNative.c_str(), &st) != 0) continue;  // dangling link
      }
      const QString qname = QString::fromStdString(name);
      const bool matches = NameMatches(qname, request.suffixes);
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
  return listed;
}

bool IsValidUtf8Prefix(const unsigned char* s, size_t size) {
  size_t i = 0;
  while (i < size) {
    const unsigned char lead = s[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    size_t length;
    unsigned char low = 0x80;  // range of the second byte, per lead byte
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;   // overlong
      if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;   // overlong
      if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
      return false;
    }
    for (size_t k = 1; k < length; ++k) {
      // A sequence cut by the end of the probe is judged by the bytes present.
      if (i + k >= size) return true;
      const unsigned char c = s[i + k];
      const unsigned char lo = k == 1 ? low : 0x80;
      const unsigned char hi = k == 1 ? high : 0xBF;
      if (c < lo || c > hi) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

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

bool CreateDirectory(const TPath& path) {
  if (path.IsEmpty()) return false;
  std::error_code ec;
  std::filesystem::create_directories(path.NativeString(), ec);
  return DirectoryExists(path);
}

bool RemovePath(const TPath& path, DirectoryRemoval directories) {
  const std::string native = path.NativeString();
  struct stat st;
  if (::lstat(native.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(native.c_str()) == 0 || errno == ENOENT;
  if (directories == DirectoryRemoval::OnlyIfEmpty) {
    return ::rmdir(native.c_str()) == 0 || errno == ENOENT;
  }
  std::error_code ec;
  std::filesystem::remove_all(native, ec);
  return !ec && !PathExists(path);
}

void RenamePath(const TPath& from, const TPath& to) {
  if (::rename(from.NativeString().c_str(), to.NativeString().c_str()) != 0) {
    const int error = errno;
    ThrowPathError("TFilesystem: cannot rename " + Quoted(from) + " to " + Quoted(to), error);
  }
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
  const auto sinceEpoch =
      std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec);
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceEpoch));
}

std::vector<TString> ListFiles(const TPath& directory, const std::vector<TString>& extensions,
                               PathForm form, Symlinks symlinks) {
  return ListDirectory(directory, {NormalizeExtensions(extensions), form, false,
                                   ListedDirectories::Exclude, symlinks});
}

std::vector<TString> ListFilesRecursively(const TPath& directory,
                                          const std::vector<TString>& extensions, PathForm form,
                                          ListedDirectories directories, Symlinks symlinks) {
  return ListDirectory(directory,
                       {NormalizeExtensions(extensions), form, true, directories, symlinks});
}

TPath JoinPath(const TPath& directory, const TPath& name) { return directory / name; }

std::vector<TString> SplitPath(const TPath& path) {
  std::vector<TString> parts;
  if (path.IsAbsolute()) parts.emplace_back("/");
  for (TString& part : path.ToString().split("/", TString::SplitBehavior::SkipEmptyParts)) {
    parts.push_back(std::move(part));
  }
  return parts;
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
