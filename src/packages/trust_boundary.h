// TrustBoundary: which paths named in files' content the program may read and
// delete.
//
// The program often runs with more rights than the applications that write
// into its dump directories. A path found in a file's content (a manifest's
// list of crash files, a log's open-log and rotate-log events, a status file's
// data files) is therefore a claim, not an order:
//   - it is read (zipped, uploaded, followed) only when it resolves, through
//     whatever links, to a regular file inside a dump directory or the data
//     directory, and that file's owner is the owner of the file that named it,
//     or the naming file belongs to this program's own user (a record the
//     program wrote itself, or one only root could have written); a record
//     of its own vouches for no owner, so a path it names is followed only
//     as written: no link at any component below its root (unless the
//     configuration follows links in the dump directories), or a user who
//     turned a listed file or folder into a link would aim it at another
//     user's files; for the same reason a file with more than one name (a
//     hard link) is not read on such a record's word;
//   - it is deleted only when the entry itself (a link, never its target) lies
//     strictly below a dump directory or the data directory, and its owner
//     passes the same test (its folder, for a record of the program's own,
//     reached as written).
// Both are decided on what is opened, never on what a path said a moment
// before: the file is opened beneath a descriptor of its root directory with
// no link at any component (platform/directory_handle.h), and its kind and
// owner are read from that descriptor; a deletion is an unlinkat on the
// descriptor of the parent folder, opened the same way, after the entry's
// owner was read through that descriptor. A folder or file that another user
// swaps for a link meanwhile makes the open fail; it never leads elsewhere.
//
// So a file that any other user can write may make the program read or delete
// only files of that same user, and only inside the directories the program
// was configured to work in.
//
// The run's boundary is made once, by whoever owns the run's directories (the
// package processor, the lister), and handed to what needs it.
//
// Thread-safety: an immutable value once made; any thread.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "files/removal_result.h"
#include "platform/directory_handle.h"
#include "platform/file_identity.h"
#include "platform/tfile.h"
#include "platform/tpath.h"
#include "platform/tstring.h"
#include "platform/zorvane_exception.h"

namespace ZorErrorReporting {

// Thrown by OpenForReading when the process itself is short of descriptors or
// memory (EMFILE, ENFILE, ENOMEM), or the file is busy for a while (EAGAIN,
// a lease being broken). That says nothing about the file, so it is
// no refusal: the error record carries the errno, which makes the failure a
// transient one, and a crash waits whole rather than going out in part.
class ShortOfResources : public zor::platform::ZorvaneException {
 public:
  using ZorvaneException::ZorvaneException;
};

class TrustBoundary {
 public:
  // A boundary around `directories` (dump directories and the data
  // directory alike). Each is resolved now; one that does not exist is left
  // out, and so is one reached through a symbolic link that belongs to
  // neither root nor this program's user, and one whose ".." climbs out of a
  // link (so that it is not the folder its cleaned name says). Each root is later opened by name
  // and used only while it is still the directory resolved now.
  // `followLinks` lets the program's own records name paths through links
  // inside (the configuration's dump.dirs.follow_symlinks).
  explicit TrustBoundary(const std::vector<zor::platform::TPath>& directories,
                         bool followLinks = false);
  // Whether the program's own records may name paths through links.
  bool FollowsLinks() const { return followLinks_; }

  // `path`, named in the content of the file `namedBy`, opened for reading
  // (blocking, at its start) iff it may be read; else nullopt and *refusal
  // says why. An empty `namedBy` stands for the program's own record in
  // memory. The caller owns the file. Throws ShortOfResources when the open
  // (of the file, its root or its namer) failed for want of descriptors or
  // memory, or found the file busy (EAGAIN: another process's lease on it,
  // which the kernel breaks in a while); nothing else.
  std::optional<zor::platform::TFile> OpenForReading(const zor::platform::TPath& path,
                                                     const zor::platform::TPath& namedBy,
                                                     zor::platform::TString* refusal) const;
  // As OpenForReading, the file closed again: empty iff it may be read.
  // Throws as OpenForReading does.
  zor::platform::TString WhyNotRead(const zor::platform::TPath& path,
                                    const zor::platform::TPath& namedBy) const;

  // Deletes `path`, named as above, iff it may be deleted, through the
  // facade's RemoveEntryAt, and says what that came to. kRefused when it may
  // not (nothing was touched; *refusal says why), kAbsent when nothing is
  // there, else the facade's answer. With `expected`, the entry found must
  // still be that file, unchanged (IsSameFileUnchanged): another one there is
  // refused ("it is not the file the package was made of or uploaded").
  // Throws nothing of its
  // own (the facade's removal never throws).
  RemovalResult Delete(const zor::platform::TPath& path, const zor::platform::TPath& namedBy,
                       zor::platform::TString* refusal,
                       const zor::platform::FileIdentity* expected = nullptr) const;

  // As Delete for a directory of the program's own (named by nothing else),
  // removed with everything below it by Filesystem::RemoveOwnTreeAt from its
  // folder's descriptor.
  RemovalResult DeleteOwnTree(const zor::platform::TPath& directory,
                              zor::platform::TString* refusal) const;

  // Why `path`, named as above, may not be deleted; empty iff it may. A path
  // that does not exist may be "deleted" (there is nothing to do). Never
  // throws.
  zor::platform::TString WhyNotDeleted(const zor::platform::TPath& path,
                                       const zor::platform::TPath& namedBy) const;

  // True iff the text of `path`, cleaned, lies in one of the boundary's
  // directories, as configured or as resolved. Never throws.
  bool Surrounds(const zor::platform::TPath& path) const {
    return TextRootOf(Cleaned(path)) != nullptr;
  }
  // `path` as text, made absolute from the working directory and cleaned of
  // "//", "." and "..", without asking the file system.
  static zor::platform::TPath Cleaned(const zor::platform::TPath& path);

  // Why the file at `path`, once found as `seen`, cannot be told from here to
  // be still there or gone: its text lies in none of the boundary's
  // directories (as configured or as resolved), as when a dump directory is
  // away for a run or the run was given other ones; or nothing is there and
  // the nearest folder on its way below that directory that is there, a
  // folder reached without a link, lies on another device than the file did
  // (the file system that held it is not mounted). Empty when what is at
  // `path` now, or nothing, is the answer. Never throws.
  zor::platform::TString WhyOutOfReach(const zor::platform::TPath& path,
                                       const zor::platform::FileIdentity& seen) const;

  // Where `path` resolves to now, when that lies outside the boundary's
  // directories (a link out of them); empty when it lies inside or cannot be
  // resolved. Never throws.
  zor::platform::TString WhereOutside(const zor::platform::TPath& path) const;

  // The resolved directories of the boundary.
  const std::vector<zor::platform::TPath>& GetRoots() const { return roots_; }
  // Why `directory`, as given to the constructor, was left out for being
  // reached through another user's link or a ".." after a link; empty when
  // it was not.
  zor::platform::TString WhyLeftOut(const zor::platform::TPath& directory) const;

 private:
  // Opens `root` (one of roots_) into *handle: 0, the errno value, or ELOOP
  // when it is no longer the directory the boundary was made with.
  int OpenRoot(const zor::platform::TPath* root, zor::platform::DirectoryHandle* handle) const;
  // The directory, as configured or as resolved, that the cleaned text
  // `cleaned` is or lies below; nullptr when none.
  const zor::platform::TPath* TextRootOf(const zor::platform::TPath& cleaned) const;
  // The root that `canonical` is or lies below, and the rest of it; nullptr
  // when it lies in none.
  const zor::platform::TPath* RootOf(const zor::platform::TPath& canonical,
                                     zor::platform::TPath* relative) const;
  // The folder that holds the entry `path` (resolved, the entry itself not),
  // opened beneath its root, and the entry's name; empty iff it could be.
  // `asNamed`: the folder must also be reached as written (WhyNotAsNamed).
  // *error is the errno of an open that failed, else 0.
  zor::platform::TString OpenParent(const zor::platform::TPath& path, bool asNamed,
                                    zor::platform::DirectoryHandle* parent,
                                    zor::platform::TString* name, int* error) const;
  // Delete (an entry) or DeleteOwnTree (`tree`: a directory with its content).
  RemovalResult DeleteChecked(const zor::platform::TPath& path, const zor::platform::TPath& namedBy,
                              bool tree, const zor::platform::FileIdentity* expected,
                              zor::platform::TString* refusal) const;
  // Why `path` may not be deleted; else *parent is its folder, opened beneath
  // a root, *name its entry there and *entry what that entry is (nullopt:
  // nothing there). *error is the errno of an open that failed on the way
  // (the reason, then), else 0.
  zor::platform::TString CheckDeletion(const zor::platform::TPath& path,
                                       const zor::platform::TPath& namedBy,
                                       zor::platform::DirectoryHandle* parent,
                                       zor::platform::TString* name,
                                       std::optional<zor::platform::FileIdentity>* entry,
                                       int* error) const;
  // The identity of the file `namedBy`, read from a descriptor when it is
  // written or resolved inside the boundary: with links followed, of the file
  // OpenForReading opens there for the program's own record; else of the
  // entry reached as written, with no link at any component; nullopt when it
  // cannot be so reached, and then *error is the errno of the open that
  // failed (0 when none did). One outside, as written and resolved, is
  // identified by its name. Never throws.
  std::optional<zor::platform::FileIdentity> IdentifyNamer(const zor::platform::TPath& namedBy,
                                                           int* error) const;
  // OpenForReading without the throw: *error is the errno of the open that
  // failed, 0 when none did (a refusal on what was opened).
  std::optional<zor::platform::TFile> OpenChecked(const zor::platform::TPath& path,
                                                  const zor::platform::TPath& namedBy,
                                                  zor::platform::TString* refusal,
                                                  int* error) const;
  // True iff `namedBy` is the program's own record (or nothing): its word
  // holds for any owner, so what it names must be reached as written.
  bool VouchesForAnyOwner(const zor::platform::TPath& namedBy) const;
  // Empty iff `named` reaches `canonical` with no link below its root: the
  // text of `named`, cleaned, is `canonical` below the same root, spelt
  // from the root as configured or as resolved.
  zor::platform::TString WhyNotAsNamed(const zor::platform::TPath& named,
                                       const zor::platform::TPath& canonical) const;
  // Empty iff an entry owned by `owner` may be taken on the word of `namedBy`;
  // *error as IdentifyNamer's when the namer cannot be identified.
  zor::platform::TString WhyNotOwner(unsigned owner, const zor::platform::TPath& namedBy,
                                     int* error) const;
  // With links followed, for a path the program's own record names: empty
  // iff every link on the way `way` is root's, this user's or `owner`'s (the
  // owner of what is read or deleted, called `what` in the text), and `way`
  // still leads to `reached`, what the open reached (so a link swapped for a
  // plain entry after the open is no way round).
  zor::platform::TString WhyNotLinkedByOwner(const zor::platform::TPath& way, uid_t owner,
                                             const zor::platform::FileIdentity& reached,
                                             const char* what) const;

  std::vector<zor::platform::TPath> roots_;
  // Each root's device and inode when the boundary was made.
  std::vector<std::pair<dev_t, ino_t>> rootIdentities_;
  // The same directories as configured, cleaned and absolute.
  std::vector<zor::platform::TPath> given_;
  // The directories left out (another user's link, a ".." after a link),
  // absolute as spelt, and why.
  std::vector<std::pair<zor::platform::TPath, zor::platform::TString>> leftOut_;
  bool followLinks_ = false;
};

}  // namespace ZorErrorReporting
