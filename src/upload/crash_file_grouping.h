// The grouping of a dump-directory listing into the files of crash packages.
//
// Each listed crash artifact file belongs to the crash its grouping key names
// (packages/artifact_name_rules.h) among its owner's files of its folder; the
// key becomes the package name. In a folder that several users write, each
// user's files of a key are a crash of their own: whoever adds a file of a
// crash's name, before it, during its writing or after, neither takes the
// crash nor holds it back. A group never spans two directories: the directory
// of a group's smallest path wins and the same key's files elsewhere wait for
// a later run. A group becomes a
// package only once it holds a dump or a Java artifact, so that a crash still
// being written (a manifest and a log so far) is looked at again next run.
// GDB stack files are kept apart, by process key, for the package of the
// process they describe (in any folder, but of the same owner).
//
// Thread-safety: stateless functions; any thread.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "packages/package.h"
#include "platform/tpath.h"
#include "platform/tstring.h"

namespace ZorErrorReporting {

class CrashPackage;

struct CrashFileGroups {
  using Files = std::set<zor::platform::TPath>;
  // A group: its directory, its grouping key and the owner of its files.
  struct GroupId {
    zor::platform::TPath folder;
    zor::platform::TString key;
    // Known for every group found; unknown for a package of an older
    // version whose files cannot tell it (KnownCrashes).
    std::optional<uid_t> owner;
    bool operator<(const GroupId& other) const;
  };
  // Group -> its files, for the groups that hold a dump or a Java artifact,
  // in ascending order of directory, then key, then owner.
  std::map<GroupId, std::shared_ptr<Files>> found;
  // Process key ("<process name>.<pid>") -> the GDB crash stacks files of
  // that process, in listing order.
  std::map<zor::platform::TString, std::vector<zor::platform::TPath>> gdbFiles;
};

// Groups `listing` (in its ascending order); a file gone before its owner is
// read is left out. A path whose text contains a
// match of `exclusionPattern` (case-insensitive; the default ".*\.temp.*"
// when empty) is skipped, as is what the crash handler is still writing (in
// a folder ending ".crash.temp") whatever the pattern, and one without a grouping key or whose
// group `isKnown` accepts with the files listed for it (a package of an earlier run). An invalid
// pattern (the configuration refuses one at start-up) excludes nothing else and is logged at Warn
// naming it. Logs each GDB file, package and
// Java artifact found at Debug. Never throws for any listing.
using IsKnownCrash =
    std::function<bool(const CrashFileGroups::GroupId&, const CrashFileGroups::Files&)>;
CrashFileGroups GroupCrashFiles(const std::set<zor::platform::TPath>& listing,
                                const zor::platform::TString& exclusionPattern,
                                const IsKnownCrash& isKnown);

// The group a crash package was made from: its folder, key and recorded
// crash owner (Package::GetCrashOwner). A package on
// an application's manifest is known by that manifest's folder and key: the
// files it lists are the user's claim, and one listing another folder's file
// first would hide that folder's crash of the file's key; nor may a manifest
// that lists nothing or does not parse leave the package known by its name
// alone, which hides every folder's crash of that key. Else the directory and
// grouping key of the first dump of the program's own record (of its first
// other crash file when it has no dump); none when neither is known.
std::optional<CrashFileGroups::GroupId> CrashGroupOf(const CrashPackage& package);

// The crashes that packages already hold, for GroupCrashFiles' `isKnown`: by
// folder, key and owner where a package's crash is known so (CrashGroupOf; a
// package of unknown owner stands for its stamped files, or, when it stamped
// none, for every owner's group but one whose files were all born after it),
// else by
// name (its key or second name), and only while the package holds its crash
// files (Package::GetHeldCrashFiles): one whose files are gone, or were
// replaced since it was sent, hides no new crash of its key, and a finished
// one hides its group only while every dump or Java file listed there is one
// its zip held. Another owner's group of the folder and key it hides only
// while one of those files (of a finished package's, each) is one the
// package stamped, unchanged (their owner changed since).
class KnownCrashes {
 public:
  void Add(const zor::platform::TString& name, const std::optional<CrashFileGroups::GroupId>& group,
           const std::optional<Package::HeldCrashFiles>& held);
  bool operator()(const CrashFileGroups::GroupId& group, const CrashFileGroups::Files& files) const;

 private:
  // The held files of the packages of one group or name, together.
  static void Merge(const Package::HeldCrashFiles& held, Package::HeldCrashFiles* into);
  static bool Hides(const Package::HeldCrashFiles& held, const CrashFileGroups::Files& files);
  // True iff `bornBy` is known (not 0) and every dump or Java file of
  // `files` was born after it (LatestBirthNs): none of them a crash file of
  // a package so bounded (Package::IsCrashsOwn).
  static bool AllBornSince(int64_t bornBy, const CrashFileGroups::Files& files);
  // True iff a dump or Java file of `files` is one `held` stamped,
  // unchanged, and, of a finished package's (not `held.all`), every one.
  static bool HoldsUnchanged(const Package::HeldCrashFiles& held,
                             const CrashFileGroups::Files& files);

  std::map<CrashFileGroups::GroupId, Package::HeldCrashFiles> groups_;  // owner unknown too
  std::map<zor::platform::TString, Package::HeldCrashFiles> names_;
};

// The name of a crash whose key another folder's crash (or another owner's
// of its folder) already names: the key, "-" and eight hexadecimal digits of
// the folder's path (FNV-1a), the same in every run.
zor::platform::TString SecondPackageName(const CrashFileGroups::GroupId& group);

// Longest package name, in UTF-8 bytes: the name's status file, and the
// temporary it is saved through, must still fit a file name.
inline constexpr size_t kMaxPackageNameBytes = 180;

// `name` when it is at most kMaxPackageNameBytes long; else its start, cut
// at a character's boundary, "-" and eight hexadecimal digits (FNV-1a) of
// the whole name, so that a crash whose name is too long, or whose key
// another user took, still gets a name that can be saved.
zor::platform::TString FitPackageName(const zor::platform::TString& name);

// "<process name>.<pid>" from the file name of `path`, read with the GDB stack
// file parser when that pattern matches, else the Java parser for a Java
// file, else the process file parser; empty when the name does not parse.
zor::platform::TString GetProcessKey(const zor::platform::TPath& path);

// The process keys of the crashes that packages of earlier runs hold, with
// each crash's recorded owner (unknown for an older version's package).
using PackagedProcesses = std::multimap<zor::platform::TString, std::optional<uid_t>>;

// The process key of a group: that of its first path, in path order, whose
// name gives one (GetProcessKey); empty when none does.
zor::platform::TString ProcessKeyOfGroup(const CrashFileGroups::Files& group);

// Adds the process key of `package`'s crash to `into`: the one it recorded
// (Package::GetProcessKey), else, for an older version's record, that of its
// files while it has them (ProcessKeyOfGroup); nothing when neither tells.
void AddPackagedProcess(const CrashPackage& package, PackagedProcesses* into);

// The GDB stack file that belongs to `group` (a non-empty group of `groups`):
// the first whose process key is that of the group's smallest path that has
// one (a full dump's name gives none) and whose owner is that path's owner;
// where another crash of that owner has the key (another group of `groups`,
// or a package in `packaged`, of that owner or of one unknown), only such a
// file in the group's own folder; none when no such file was found. Another
// user's file of that process is never the group's: anyone may name a file
// so in a folder of their own, and the package's record vouches for it.
std::set<zor::platform::TPath> GdbFilesForGroup(const CrashFileGroups& groups,
                                                const CrashFileGroups::Files& group,
                                                const PackagedProcesses& packaged);

}  // namespace ZorErrorReporting
