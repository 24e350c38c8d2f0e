#include "packages/trust_boundary.h"

#include <fcntl.h>

#include <unistd.h>

#include <cerrno>
#include <exception>
#include <memory>

#include "files/filesystem.h"
#include "packages/crash_manifest.h"
#include "platform/file_functions.h"
#include "platform/file_identity.h"
#include "platform/path_error.h"
#include "platform/tformat_string.h"

namespace ZorErrorReporting {

using zor::platform::DirectoryHandle;
using zor::platform::ErrnoText;
using zor::platform::FileIdentity;
using zor::platform::IsShortOfResources;
using zor::platform::LinkHandling;
using zor::platform::TFile;
using zor::platform::TFormatString;
using zor::platform::TPath;
using zor::platform::TString;

namespace {

std::optional<TPath> Canonical(const TPath& path) {
  return Filesystem::GetInstance().CanonicalPath(path);
}

std::optional<FileIdentity> Identify(const TPath& path, LinkHandling links) {
  return Filesystem::GetInstance().IdentifyPath(path, links);
}

}  // namespace

TPath TrustBoundary::Cleaned(const TPath& path) {
  return NormalisedPath(zor::platform::FromWorkingFolder(path).ToString());
}

TrustBoundary::TrustBoundary(const std::vector<TPath>& directories, bool followLinks)
    : followLinks_(followLinks) {
  for (const TPath& directory : directories) {
    // A directory that another user could redirect is left out: nothing in
    // it is read or deleted on anyone's word.
    if (TString why = zor::platform::WhoseLinkOnTheWay(directory); !why.isEmpty()) {
      leftOut_.emplace_back(zor::platform::FromWorkingFolder(directory), std::move(why));
      continue;
    }
    const std::optional<TPath> canonical = Canonical(directory);
    // Names below a directory are kept cleaned by their letters: a ".." after
    // a link climbs from the link's target instead, and every file found
    // would be recorded, zipped and deleted as another folder's file.
    if (TString why = zor::platform::WhyDotDotMisleads(directory); !why.isEmpty()) {
      leftOut_.emplace_back(zor::platform::FromWorkingFolder(directory), std::move(why));
      continue;
    }
    const std::optional<FileIdentity> identity =
        canonical ? Identify(*canonical, LinkHandling::kDoNotFollow) : std::nullopt;
    if (!identity) continue;
    roots_.push_back(*canonical);
    given_.push_back(Cleaned(directory));
    rootIdentities_.emplace_back(identity->device, identity->inode);
  }
}

TString TrustBoundary::WhyLeftOut(const TPath& directory) const {
  // As spelt: "d/link/.." and "d" are cleaned alike, yet only one is left out.
  const TPath given = zor::platform::FromWorkingFolder(directory);
  for (const auto& [left, why] : leftOut_) {
    if (left == given) return why;
  }
  return {};
}

int TrustBoundary::OpenRoot(const TPath* root, DirectoryHandle* handle) const {
  if (const int error = handle->Open(*root); error != 0) return error;
  // Opened by name, so the same directory as when the boundary was made, not
  // whatever a user who may rename an entry on its way has put there since.
  const std::optional<FileIdentity> opened = zor::platform::IdentifyDescriptor(handle->Descriptor());
  const auto& expected = rootIdentities_[static_cast<size_t>(root - roots_.data())];
  if (!opened || opened->device != expected.first || opened->inode != expected.second) {
    *handle = DirectoryHandle();
    return ELOOP;
  }
  return 0;
}

std::optional<FileIdentity> TrustBoundary::IdentifyNamer(const TPath& namedBy, int* error) const {
  *error = 0;
  // A user who swaps the folder of a file of theirs for a link to a folder
  // holding root's file of that name would lend the file root's word: a
  // namer is identified only as the boundary reaches it, unless it lies
  // outside both as written and as resolved (no user's to swap).
  const std::optional<TPath> folder = Canonical(namedBy.Parent());
  TPath relative;
  const TPath* root = folder ? RootOf(*folder / TPath(namedBy.Filename()), &relative) : nullptr;
  if (root == nullptr) {
    if (Surrounds(namedBy)) return std::nullopt;
    return Identify(namedBy, LinkHandling::kDoNotFollow);
  }
  // With links followed, the namer is opened as the program opens its own
  // records (and its manifests to parse): each link on the way root's, this
  // user's or the namer's owner's, so a user's link never leads to root's.
  if (followLinks_) {
    TString refusal;
    const std::optional<TFile> file = OpenChecked(namedBy, TPath(), &refusal, error);
    return file ? file->Identify() : std::nullopt;
  }
  // Else it is the entry reached as written, with no link on the way.
  if (!WhyNotAsNamed(namedBy.Parent(), *folder).isEmpty()) return std::nullopt;
  DirectoryHandle rootHandle;
  int fd = -1;
  *error = OpenRoot(root, &rootHandle);
  if (*error == 0) *error = rootHandle.OpenBeneath(relative, O_PATH | O_NOFOLLOW, 0, &fd);
  if (*error != 0) return std::nullopt;
  std::optional<FileIdentity> identity = zor::platform::IdentifyDescriptor(fd);
  ::close(fd);
  return identity;
}

bool TrustBoundary::VouchesForAnyOwner(const TPath& namedBy) const {
  if (namedBy.IsEmpty()) return true;
  int error = 0;
  const std::optional<FileIdentity> namer = IdentifyNamer(namedBy, &error);
  return namer && namer->owner == zor::platform::EffectiveUser();
}

TString TrustBoundary::WhyNotAsNamed(const TPath& named, const TPath& canonical) const {
  const TPath cleaned = Cleaned(named);
  for (size_t i = 0; i < roots_.size(); ++i) {
    if (!zor::platform::IsSameOrBelow(canonical, roots_[i])) continue;
    const TString below = canonical.ToString().mid(roots_[i].ToString().size());
    for (const TPath* spelling : {&given_[i], &roots_[i]}) {
      if (cleaned.ToString() == spelling->ToString() + below) return {};
    }
  }
  return TFormatString("'%1' leads through a link to '%2'")
      .arg(named.ToString())
      .arg(canonical.ToString());
}

const TPath* TrustBoundary::TextRootOf(const TPath& cleaned) const {
  for (size_t i = 0; i < roots_.size(); ++i) {
    if (zor::platform::IsSameOrBelow(cleaned, given_[i])) return &given_[i];
    if (zor::platform::IsSameOrBelow(cleaned, roots_[i])) return &roots_[i];
  }
  return nullptr;
}

TString TrustBoundary::WhereOutside(const TPath& path) const {
  const std::optional<TPath> canonical = Canonical(path);
  TPath relative;
  if (!canonical || RootOf(*canonical, &relative) != nullptr) return {};
  return canonical->ToString();
}

const TPath* TrustBoundary::RootOf(const TPath& canonical, TPath* relative) const {
  for (const TPath& root : roots_) {
    if (!zor::platform::IsSameOrBelow(canonical, root)) continue;
    const TString& text = canonical.ToString();
    int64_t skip = root.ToString().size();
    if (skip < text.size() && text.mid(skip, 1) == "/") ++skip;
    *relative = TPath(text.mid(skip));
    return &root;
  }
  return nullptr;
}

TString TrustBoundary::OpenParent(const TPath& path, bool asNamed, DirectoryHandle* parent,
                                  TString* name, int* error) const {
  *error = 0;
  const std::optional<TPath> folder = Canonical(path.Parent());
  if (!folder) return "its directory cannot be resolved";
  if (asNamed) {
    if (TString why = WhyNotAsNamed(path.Parent(), *folder); !why.isEmpty()) {
      return "its folder " + why;
    }
  }
  *name = path.Filename();
  TPath relative;
  const TPath* root = RootOf(*folder, &relative);
  if (root == nullptr || name->isEmpty() || *name == "." || *name == "..") {
    return TFormatString("'%1' is not inside the dump or data directories")
        .arg((*folder / TPath(*name)).ToString());
  }
  DirectoryHandle rootHandle;
  *error = OpenRoot(root, &rootHandle);
  if (*error == 0) {
    *error = Filesystem::GetInstance().OpenDirectoryBeneath(rootHandle, relative, parent);
  }
  if (*error == 0) return {};
  return TFormatString("its folder '%1' cannot be opened beneath '%2' without a link: %3")
      .arg(folder->ToString())
      .arg(root->ToString())
      .arg(ErrnoText(*error));
}

TString TrustBoundary::WhyNotOwner(unsigned owner, const TPath& namedBy, int* error) const {
  *error = 0;
  if (namedBy.IsEmpty()) return {};
  const std::optional<FileIdentity> namer = IdentifyNamer(namedBy, error);
  if (!namer) {
    const TString why =
        TFormatString("the file that names it, '%1', cannot be examined").arg(namedBy.ToString());
    return *error == 0 ? why : why + ": " + ErrnoText(*error);
  }
  if (namer->owner == owner || namer->owner == zor::platform::EffectiveUser()) return {};
  return TFormatString("it belongs to user %1, but the file that names it, '%2', to user %3")
      .arg(static_cast<uint64_t>(owner))
      .arg(namedBy.ToString())
      .arg(static_cast<uint64_t>(namer->owner));
}

std::optional<TFile> TrustBoundary::OpenForReading(const TPath& path, const TPath& namedBy,
                                                   TString* refusal) const {
  int error = 0;
  std::optional<TFile> file = OpenChecked(path, namedBy, refusal, &error);
  // A lease another process holds on the file answers a non-blocking open
  // with EAGAIN until the kernel breaks it: busy now, which says nothing of
  // the file.
  const bool busy = error == EAGAIN || error == EWOULDBLOCK;
  // Whose it is comes first: a file its namer may not name is refused, busy
  // or not, or its owner could hold back the crash of another user's
  // manifest for as long as they liked. Told by name, as either way nothing
  // of it is read.
  if (!file && busy) {
    const auto entry = Identify(path, LinkHandling::kDoNotFollow);
    int ownerError = 0;
    if (TString why = entry ? WhyNotOwner(entry->owner, namedBy, &ownerError) : TString();
        !why.isEmpty()) {
      *refusal = why;
      return std::nullopt;
    }
  }
  if (!file && (IsShortOfResources(error) || busy)) {
    const TString message =
        TFormatString("'%1' cannot be opened now%2: %3")
            .arg(path.ToString())
            .arg(busy ? TString(" (another process holds a lease on it)") : TString())
            .arg(*refusal);
    throw ShortOfResources(message,
                           zor::platform::ZorvaneError::MakeError("resources", message, error));
  }
  return file;
}

std::optional<TFile> TrustBoundary::OpenChecked(const TPath& path, const TPath& namedBy,
                                                TString* refusal, int* error) const {
  *error = 0;
  const auto refuse = [&](const TString& why) -> std::optional<TFile> {
    *refusal = why;
    return std::nullopt;
  };
  // The resolved name only picks the root and the way down; the kernel then
  // walks that way again without links, so a swap after this line fails the
  // open instead of leading elsewhere.
  const std::optional<TPath> canonical = Canonical(path);
  if (!canonical) return refuse("it does not exist or cannot be resolved");
  TPath relative;
  const TPath* root = RootOf(*canonical, &relative);
  if (root == nullptr) {
    return refuse(TFormatString("it resolves to '%1', outside the dump and data directories")
                      .arg(canonical->ToString()));
  }
  // The program's own record says nothing about whose file it named: only
  // the very entry it named, not one a link leads to now, may be read.
  if (!followLinks_ && VouchesForAnyOwner(namedBy)) {
    if (TString why = WhyNotAsNamed(path, *canonical); !why.isEmpty()) return refuse(why);
  }
  DirectoryHandle rootHandle;
  int fd = -1;
  *error = OpenRoot(root, &rootHandle);
  if (*error == 0) *error = Filesystem::GetInstance().OpenFileBeneath(rootHandle, relative, &fd);
  if (*error != 0) {
    return refuse(TFormatString("it cannot be opened beneath '%1' without a link: %2")
                      .arg(root->ToString())
                      .arg(ErrnoText(*error)));
  }
  TFile file(path, fd);
  const std::optional<FileIdentity> opened = zor::platform::IdentifyDescriptor(fd);
  if (!opened || opened->kind != FileIdentity::Kind::kRegular) {
    return refuse("it is not a regular file");
  }
  if (TString why = WhyNotOwner(opened->owner, namedBy, error); !why.isEmpty()) return refuse(why);
  // The program's record vouches for no owner, and the listing followed a
  // link that a user may have aimed at another user's file or at root's.
  if (followLinks_ && VouchesForAnyOwner(namedBy) && !WhyNotAsNamed(path, *canonical).isEmpty()) {
    if (TString why = WhyNotLinkedByOwner(path, opened->owner, *opened, "the file it leads to");
        !why.isEmpty()) {
      return refuse(why);
    }
  }
  // Nor a file with another name: that may be a hard link a user made to a
  // file of root's or of another user, which the owner rule then never sees.
  if (opened->links > 1 && VouchesForAnyOwner(namedBy)) {
    return refuse(TFormatString("it has %1 names (hard links)")
                      .arg(static_cast<uint64_t>(opened->links)));
  }
  // Opened non-blocking only so that a FIFO could not stall the open; the
  // reads of a regular file want the ordinary mode.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    *error = errno;
    return refuse(TFormatString("its mode cannot be set: %1").arg(ErrnoText(*error)));
  }
  *refusal = TString();
  return file;
}

TString TrustBoundary::WhyNotLinkedByOwner(const TPath& way, uid_t owner,
                                           const FileIdentity& reached, const char* what) const {
  if (TString why = zor::platform::WhoseLinkOnTheWay(way, owner); !why.isEmpty()) {
    return why + ", and " + what + " to user " + TString::Number(static_cast<uint64_t>(owner));
  }
  const auto now = zor::platform::IdentifyPath(way, LinkHandling::kFollow);
  if (!now || now->device != reached.device || now->inode != reached.inode) {
    return "'" + way.ToString() + "' no longer leads to what was opened";
  }
  return {};
}

TString TrustBoundary::WhyNotRead(const TPath& path, const TPath& namedBy) const {
  TString refusal;
  OpenForReading(path, namedBy, &refusal);
  return refusal;
}

TString TrustBoundary::WhyNotDeleted(const TPath& path, const TPath& namedBy) const {
  DirectoryHandle parent;
  TString name;
  std::optional<FileIdentity> entry;
  int error = 0;
  return CheckDeletion(path, namedBy, &parent, &name, &entry, &error);
}

TString TrustBoundary::WhyOutOfReach(const TPath& path, const FileIdentity& seen) const {
  const TPath cleaned = Cleaned(path);
  const TPath* root = TextRootOf(cleaned);
  if (root == nullptr) return "lies in none of this run's dump or data directories";
  if (Identify(path, LinkHandling::kDoNotFollow)) return {};
  // An empty mount point where the file's file system was: the nearest
  // folder there is, reached without a link, on another device. A link on
  // the way is a folder its owner replaced, and says nothing of a mount.
  for (TPath up = cleaned.Parent(); zor::platform::IsSameOrBelow(up, *root); up = up.Parent()) {
    const std::optional<FileIdentity> found = Identify(up, LinkHandling::kDoNotFollow);
    if (!found) continue;
    if (found->kind != FileIdentity::Kind::kDirectory || found->device == seen.device) return {};
    return TFormatString(
               "is not there, and '%1' is on another file system than the file was: "
               "its own is not mounted")
        .arg(up.ToString());
  }
  return {};
}

RemovalResult TrustBoundary::Delete(const TPath& path, const TPath& namedBy, TString* refusal,
                                    const FileIdentity* expected) const {
  return DeleteChecked(path, namedBy, false, expected, refusal);
}

RemovalResult TrustBoundary::DeleteOwnTree(const TPath& directory, TString* refusal) const {
  return DeleteChecked(directory, TPath(), true, nullptr, refusal);
}

RemovalResult TrustBoundary::DeleteChecked(const TPath& path, const TPath& namedBy, bool tree,
                                           const FileIdentity* expected, TString* refusal) const {
  DirectoryHandle parent;
  TString name;
  std::optional<FileIdentity> entry;
  int error = 0;
  *refusal = CheckDeletion(path, namedBy, &parent, &name, &entry, &error);
  // Short of descriptors or memory, nothing is known of the entry: a
  // failure, so that the package keeps its record and a later run deletes
  // it, rather than a refusal that forgets it, and a new crash of it.
  if (!refusal->isEmpty() && IsShortOfResources(error)) return RemovalResult::kFailed;
  if (!refusal->isEmpty()) return RemovalResult::kRefused;
  if (!entry) return RemovalResult::kAbsent;
  // A crash written since under the same name is a new crash, not sent yet.
  if (expected != nullptr && !zor::platform::IsSameFileUnchanged(*entry, *expected)) {
    *refusal = "it is not the file the package was made of or uploaded";
    return RemovalResult::kRefused;
  }
  // The owner was read through the same descriptor that the unlink uses: a
  // folder swapped since can only make it miss, never reach elsewhere.
  Filesystem& fs = Filesystem::GetInstance();
  return tree ? fs.RemoveOwnTreeAt(parent, name, path) : fs.RemoveEntryAt(parent, name, path);
}

TString TrustBoundary::CheckDeletion(const TPath& path, const TPath& namedBy,
                                     DirectoryHandle* parent, TString* name,
                                     std::optional<FileIdentity>* entry, int* error) const {
  // Nothing there is nothing to do.
  if (!Identify(path, LinkHandling::kDoNotFollow)) return {};
  // A folder swapped for a link would turn the record's name into another
  // user's entry of that name.
  const bool asNamed = !followLinks_ && VouchesForAnyOwner(namedBy);
  if (TString why = OpenParent(path, asNamed, parent, name, error); !why.isEmpty()) return why;
  // The entry itself is what goes: a link inside may be removed wherever it
  // points.
  *entry = Filesystem::GetInstance().IdentifyEntryAt(*parent, *name);
  if (!*entry) return {};
  if (TString why = WhyNotOwner((*entry)->owner, namedBy, error); !why.isEmpty()) return why;
  // With links followed, a user's link on the way may lead the record's name
  // to another user's entry: as for reading, each link must be root's, this
  // user's or the entry owner's, and the way must still lead to the folder
  // opened.
  if (followLinks_ && VouchesForAnyOwner(namedBy)) {
    const auto folder = zor::platform::IdentifyDescriptor(parent->Descriptor());
    if (!folder) return "its folder cannot be examined";
    return WhyNotLinkedByOwner(path.Parent(), (*entry)->owner, *folder, "the entry");
  }
  return {};
}

}  // namespace ZorErrorReporting
