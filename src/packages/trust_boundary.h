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
//     program wrote itself, or one only root could have written);
//   - it is deleted only when the entry itself (a link, never its target) lies
//     strictly below a dump directory or the data directory, and its owner
//     passes the same test.
// So a file that any other user can write may make the program read or delete
// only files of that same user, and only inside the directories the program
// was configured to work in.
//
// Thread-safety: an immutable value once made; any thread.
#pragma once

#include <vector>

#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class TrustBoundary {
 public:
  // The boundary of this run: Config's dump directories (with the
  // command-line override) and its data directory. A directory that does not
  // exist, or a data directory the configuration cannot give, adds nothing.
  // Never throws.
  static TrustBoundary FromConfig();

  // A boundary around `directories` (dump directories and the data
  // directory alike). Each is resolved now; one that does not exist is left
  // out.
  explicit TrustBoundary(const std::vector<zor::platform::TPath>& directories);

  // Why `path`, named in the content of the file `namedBy`, may not be read;
  // empty iff it may. An empty `namedBy` stands for the program's own record
  // in memory. Never throws.
  zor::platform::TString WhyNotRead(const zor::platform::TPath& path,
                                    const zor::platform::TPath& namedBy) const;

  // Why `path`, named as above, may not be deleted; empty iff it may. A path
  // that does not exist may be "deleted" (there is nothing to do). Never
  // throws.
  zor::platform::TString WhyNotDeleted(const zor::platform::TPath& path,
                                       const zor::platform::TPath& namedBy) const;

  // The resolved directories of the boundary.
  const std::vector<zor::platform::TPath>& GetRoots() const { return roots_; }

 private:
  bool IsInside(const zor::platform::TPath& canonical) const;
  bool IsStrictlyInside(const zor::platform::TPath& canonical) const;
  // Empty iff an entry owned by `owner` may be taken on the word of `namedBy`.
  zor::platform::TString WhyNotOwner(unsigned owner, const zor::platform::TPath& namedBy) const;

  std::vector<zor::platform::TPath> roots_;
};

}  // namespace ZorErrorReporting
