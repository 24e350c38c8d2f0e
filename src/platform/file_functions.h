// File-system functions: existence tests, sizes and times, directory
// creation, removal, renaming, listing, path text helpers and text-encoding
// detection.
//
// Failure policy: queries that cannot answer (FileSize, LastWriteTime,
// RenamePath, a listing of an unreadable directory) throw TPath::Exception
// with the message "TFilesystem: cannot <operation> '<path>': <OS error
// text>" and the errno in the error record. Creation and deletion report
// through their bool result and never throw; they log nothing, since logging
// sits above this layer.
//
// Thread-safety: every function is stateless and may be called from any
// thread; concurrent changes to the same paths race as they do in the OS.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/tpath.h"
#include "platform/tstring.h"

namespace zor::platform {

// `path` as it is when absolute, else below the working folder (without
// resolving anything): what a relative name given now still means later.
TPath FromWorkingFolder(const TPath& path);

// True iff `path` names a directory entry of any kind; a symbolic link counts
// even when its target is missing.
bool PathExists(const TPath& path);
// True iff `path` is a regular file, or a symbolic link to one.
bool FileExists(const TPath& path);
// True iff `path` is a directory, or a symbolic link to one.
bool DirectoryExists(const TPath& path);
// 0 when the directory `path` can be opened for listing, else the errno of
// the attempt (ENOENT when it is missing, ENOTDIR when it is a file).
int DirectoryListingError(const TPath& path);
// 0 when this process's user may make entries in the directory `path`
// (write and search), else the errno of the check (EACCES, ENOENT, ...).
int DirectoryWriteError(const TPath& path);

// Creates `path` and any missing parents, each with mode 0700 (less what the
// umask removes): the program's directories hold dumps and logs that only
// their owner may read. Directories that exist keep their mode.
// Returns true iff `path` is a directory on return (created now or there
// before); false when it, or a parent, cannot be created or is a file.
bool CreateDirectory(const TPath& path);

// What RemovePath may do to a directory.
enum class DirectoryRemoval {
  OnlyIfEmpty,   // an empty directory is removed; a non-empty one fails.
  WithContents,  // the directory and everything below it is removed.
};

// Removes the file, symbolic link (never its target) or directory `path`.
// Returns true iff nothing is left at `path`: a path that did not exist
// succeeds, unless its text holds U+FFFD, the mark of bytes that did not
// decode (the real file may be there under other bytes): that gives false with
// errno EILSEQ. On false, what could not be removed stays (WithContents may
// have removed part of a tree) and errno tells why.
bool RemovePath(const TPath& path, DirectoryRemoval directories = DirectoryRemoval::OnlyIfEmpty);

// Renames `from` to `to`, replacing a file at `to`, then syncs the directory
// of `to` (and of `from` when it is another) so that the rename survives a
// power loss. Both must be on the same file system. Throws TPath::Exception
// "TFilesystem: cannot rename '<from>' to '<to>': <cause>"; on failure
// nothing has changed. Returns 0, or the errno of a directory sync that
// failed: the rename has then taken place but may not survive a power loss.
int RenamePath(const TPath& from, const TPath& to);

// Makes the entries of `directory` (renames, creations, removals) durable:
// fsync of the directory. Returns 0, or the errno of the open or the sync
// that failed. A file system that cannot sync a directory at all (EINVAL,
// EROFS) counts as success: its entries are as durable as it makes them.
int SyncDirectory(const TPath& directory);

// The size in bytes of the file at `path` (symbolic links followed).
// Throws TPath::Exception "TFilesystem: cannot get size of '<path>': <cause>".
uint64_t FileSize(const TPath& path);

// The last modification time of `path` (symbolic links followed), with the
// file system's precision. Throws TPath::Exception
// "TFilesystem: cannot get last write time of '<path>': <cause>".
std::chrono::system_clock::time_point LastWriteTime(const TPath& path);

// How listed paths are written.
enum class PathForm {
  Relative,  // relative to the listed directory (the bare name for ListFiles).
  Full,      // the listed directory joined with the relative path.
};
// Whether a listing follows symbolic links.
enum class Symlinks {
  // Symbolic links are neither listed nor descended into.
  DoNotFollow,
  // A link to a file is listed under the link's path; a link to a directory is
  // descended into, each real directory once, so link loops end.
  Follow,
};
// Whether a listing names directories as well as files.
enum class ListedDirectories { Exclude, Include };

// Lists the files directly in `directory` whose names end with "." followed by
// one of `extensions` (compared without regard to case; an extension may hold
// dots and may be given with or without its leading dot; the name must have
// something before that dot). An empty `extensions` lists every file.
// The result is sorted. A directory that does not exist lists nothing; one
// that cannot be read throws TPath::Exception
// "TFilesystem: cannot list '<directory>': <cause>".
// A name whose bytes are not valid UTF-8 cannot be held as text and given
// back to the OS unchanged, so it is never listed (nor, recursively, descended
// into); when `skipped` is given, its path relative to `directory` is
// appended to its `undecodable`, sorted, with a backslash written "\\" and a
// control character or a byte that does not decode "\xNN".
struct ListingSkips {
  std::vector<TString> undecodable;
  // Subdirectories met in a recursive walk that could not be opened for a
  // reason other than being gone (no permission, a path too long), relative
  // to `directory`, with the errno; in the order met.
  std::vector<std::pair<TString, int>> unreadable;
};
std::vector<TString> ListFiles(const TPath& directory, const std::vector<TString>& extensions,
                               PathForm form = PathForm::Full,
                               Symlinks symlinks = Symlinks::DoNotFollow,
                               ListingSkips* skipped = nullptr);

// As ListFiles, descending into every subdirectory. Directories whose names
// match are listed too when `directories` is Include. Subdirectories that
// cannot be read (reported in `skipped`), and entries that vanish during the
// walk, are skipped; only an unreadable `directory` itself throws.
std::vector<TString> ListFilesRecursively(
    const TPath& directory, const std::vector<TString>& extensions, PathForm form = PathForm::Full,
    ListedDirectories directories = ListedDirectories::Exclude,
    Symlinks symlinks = Symlinks::DoNotFollow, ListingSkips* skipped = nullptr);

// The last component of `path` ("b.txt" of "/a/b.txt").
TString GetFileName(const TPath& path);
// The directory for temporary files: $TMPDIR when set and not empty, else
// "/tmp". Not checked for existence.
TPath TemporaryDirectory();
// Compares the paths after lexical clean-up ("a/./b/../c" equals "a/c"),
// case-sensitively, without touching the disk. Returns <0, 0 or >0 as strcmp.
int ComparePaths(const TPath& a, const TPath& b);

// Text encodings as DetectEncoding reports them.
namespace TextEncoding {
constexpr int kUtf8 = 1;
constexpr int kUtf16 = 2;
constexpr int kUtf32 = 3;
constexpr int kLatin1 = 4;
}  // namespace TextEncoding

// A byte-order mark at the start of some bytes.
struct ByteOrderMark {
  int encoding;    // TextEncoding::kUtf8, kUtf16 or kUtf32.
  bool bigEndian;  // byte order of the code units (false for UTF-8).
  size_t length;   // bytes the mark takes: 3, 2 or 4.
};
// The byte-order mark that `bytes` starts with, or nullopt. A UTF-32 LE mark
// (FF FE 00 00) wins over the UTF-16 LE mark it starts with.
std::optional<ByteOrderMark> FindByteOrderMark(const char* bytes, size_t size);

// Guesses the encoding of the first `size` bytes of a text (a probe from the
// start of a file): the byte-order mark's encoding when there is one; else
// kUtf8 when the bytes are valid UTF-8 (a multi-byte sequence cut by the end
// of the probe still counts), else kLatin1. Empty input is kUtf8.
int DetectEncoding(const char* bytes, size_t size);

}  // namespace zor::platform
