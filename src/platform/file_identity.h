// Who owns a file and where it really lies: the facts the program needs to
// decide whether a path read from a file's content may be followed.
//
// Thread-safety: stateless; any thread.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstdint>
#include <optional>

#include "platform/tpath.h"
#include "platform/tstring.h"

namespace zor::platform {

// The kind and owner of one directory entry.
struct FileIdentity {
  enum class Kind { kRegular, kDirectory, kSymlink, kOther };
  Kind kind = Kind::kOther;
  uid_t owner = 0;
  mode_t permissions = 0;  // the permission bits (st_mode & 07777)
  dev_t device = 0;
  ino_t inode = 0;
  nlink_t links = 1;  // the names it has (hard links)
  uint64_t size = 0;
  uint64_t allocated = 0;  // bytes of disk it takes (st_blocks * 512): less for a sparse file
  int64_t modifiedNs = 0;  // the last change of its content, ns since the epoch
  int64_t changedNs = 0;   // the last change of its content or entry (no one can set it back)
  int64_t birthNs = 0;  // when it was made (no one can set it); 0 where the file system keeps none
  // Of a record of a file that kept no birth time: the latest the file can
  // have been born, told by what was made after it was recorded; 0 unknown.
  int64_t bornByNs = 0;
  // Of a record of a log's content: the CRC-32 of its last bytes as
  // recorded (up to 4 KiB before `size`); unset where none was taken. No
  // comparison here reads it.
  std::optional<uint32_t> tailCrc;
};

// True iff `a` and `b` are the same file with the same content as far as the
// file system keeps it: inode, size and modification time (to the
// nanosecond), and birth time where both have one (a file made anew at a
// freed inode, its time set back, is another). Where neither has one, the
// change time too where both know it: a file made anew at a freed inode was
// changed after the other was recorded, whatever times its maker set (one
// whose owner or mode changed since is taken for another as well). Where
// only one has a birth time, a file born after its modification time and
// after the other's bornByNs is another (one copied with its time kept was
// born before it was recorded); where neither has one and only one knows
// its change time (a stamp of an older version), a file changed after those
// times is another. Not the device: a removable or network
// file system gets another number each time it is mounted.
bool IsSameFileUnchanged(const FileIdentity& a, const FileIdentity& b);

// The latest `file` can have been made: its birth time where its file
// system keeps one, else its change time (making a file changes it, and no
// one can set that time back).
int64_t LatestBirthNs(const FileIdentity& file);
// `time` in ns since the epoch, held at the largest (or least) value 64 bits
// keep past 2262 (or before 1677), never wrapped into another century.
int64_t NsSinceEpoch(const struct timespec& time);

// What a kind is called in a message: "a regular file", "a directory", "a
// symbolic link" or "a special file".
const char* KindText(FileIdentity::Kind kind);

// Whether IdentifyPath looks at a symbolic link itself or at its target.
enum class LinkHandling { kFollow, kDoNotFollow };

// The identity of `path`, or nullopt when it cannot be examined (missing,
// unreadable parent, a dangling link followed). Never throws.
std::optional<FileIdentity> IdentifyPath(const TPath& path, LinkHandling links);

// "'<path>' is not a directory but <KindText>" when something that is not a
// directory, nor a link to one, is at `path` (a link leading nowhere is told
// as a symbolic link); empty when a directory or nothing is there, for a
// message that names the setting to mend. Never throws.
TString WhyNotADirectory(const TPath& path);

// The identity of what the open descriptor `fd` refers to; nullopt when
// fstat fails. Never throws.
std::optional<FileIdentity> IdentifyDescriptor(int fd);
// The identity of the entry `name` (a link itself, not its target) of the
// open directory `directory`; nullopt when it cannot be examined.
std::optional<FileIdentity> IdentifyEntryAt(int directory, const TString& name);

// The absolute path with every symbolic link, "." and ".." resolved, or
// nullopt when some component does not exist or cannot be searched. Never
// throws.
std::optional<TPath> CanonicalPath(const TPath& path);

// True iff `path` is `root` or lies below it, comparing whole components of
// the two texts as given (no resolution: pass canonical paths).
bool IsSameOrBelow(const TPath& path, const TPath& root);

// Empty iff every symbolic link met on the way to `path`, each followed to
// its target hop by hop as the kernel would, belongs to root, to this
// process's user or to `alsoTrusted`; else the text names the first link of
// another user, who may aim it anywhere at any time. Never throws.
TString WhoseLinkOnTheWay(const TPath& path, std::optional<uid_t> alsoTrusted = std::nullopt);

// Why the ".." of `path` does not lead where its letters read ("d/link/.."
// is not "d" when "link" is a symbolic link: the kernel climbs from the
// link's target), naming the part up to the ".." and both places; empty when it does, when `path`
// holds no "..", or when the part of it up to its last ".." does not exist. A program that records
// names cleaned by their letters must not use such a path. Never throws.
TString WhyDotDotMisleads(const TPath& path);

// Why another user could replace or redirect a file this process keeps in
// `folder` (its log, lock and metrics files); empty iff no one could: the
// folder belongs to this process's user (or root) and neither group nor
// others may write it, and each folder above it, both on the path as written
// and resolved, belongs to this user or root and is writable neither by
// others nor by a group other than root's or this user's (and then only one
// that no other user is in, as a member or by their primary group, and no
// access ACL on it names anyone), unless sticky, as /tmp is; and no link on
// the way belongs to another user (WhoseLinkOnTheWay).
// The text names the folder at fault. Never throws.
TString WhyFolderNotPrivate(const TPath& folder);

// As WhyFolderNotPrivate for what leads to `folder`, not for `folder` itself
// (whose owner and mode the caller judges): why another user could swap it,
// by a link of theirs on the way or a folder above, as written or resolved,
// that they may write. Never throws.
TString WhyFolderCouldBeSwapped(const TPath& folder);

// As WhyFolderNotPrivate for a folder about to be made where it is missing:
// for one that exists, WhyFolderNotPrivate; else why another user could
// replace or redirect it once made, judged on the nearest folder above that
// exists as on a folder above it. Empty iff making it (0700) is safe; what
// is made must still pass WhyFolderNotPrivate. Never throws.
TString WhyFolderCannotBePrivate(const TPath& folder);

// Why another user could change what the file `file` says (a configuration
// that decides where this process reads, writes and sends); empty iff no one
// could: no link on the way to it belongs to another user, the file it leads
// to belongs to this process's user (or root) and neither group nor others
// may write it, and its folder, as written and where it leads, passes
// WhyFolderNotPrivate. A file that does not exist passes when its folder
// does (reading it then fails on its own terms). The text names the file or
// folder at fault. Never throws.
TString WhyFileNotPrivate(const TPath& file);

// The effective user of this process.
uid_t EffectiveUser();

}  // namespace zor::platform
