// PackageFootprint: what a package holds on disk now, and since when it
// exists, for the status listing and the retention of old packages.
//
// A package's own files are its status file, the data files it records
// (except the kinds it keeps for someone else, see Package::KeepsDataFile)
// and, for a crash package with a manifest, the crash files the manifest
// lists. Files that no longer exist count nothing, and a file counts the
// blocks it has on disk, not the size it claims: a sparse file of a terabyte
// takes almost nothing.
//
// Thread-safety: a plain value; Measure touches only the file system.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "platform/date_time.h"
#include "platform/tpath.h"

namespace ZorErrorReporting {

class Package;

struct PackageFootprint {
  // One own file that exists, as counted.
  struct CountedFile {
    zor::platform::TPath path;
    std::pair<dev_t, ino_t> file;
    uint64_t bytes;
  };
  // The bytes allocated to the own files that exist (st_blocks * 512, a
  // link's own blocks, never its target's), each file once whatever its
  // names; of the crash files only those the package's trust boundary lets
  // it delete, and of those a user's manifest lists, only that user's; of
  // the rest, only those its deletion would take (Package::DeletesWithCrash),
  // never a file made or written again at a name its own file left.
  uint64_t bytes = 0;
  // The files `bytes` adds up, each once. Two crashes may name one file (a
  // log that an application lists with every crash): each lists it, and
  // whoever adds up several packages counts it once (CountOnceAcross).
  std::vector<CountedFile> files;
  // Whose crash it is: the owner of the user's manifest that lists its
  // files, else its recorded crash owner (Package::GetCrashOwner), else of
  // the first crash file that exists, else of the status file; 0 when none
  // exists.
  uid_t owner = 0;
  // The earliest of the time the package recorded as made
  // (Package::GetMadeAt) and the last write times of the status file and the
  // recorded data files beside it that exist: when the package was made, since the
  // manifest and the status file are written then and the later files are
  // newer. The crash files are left out because a crash brings older
  // rotated logs with it, and so is an application's manifest serving as
  // the record, which is as old as its crash.
  // A time before 2020 tells nothing (the clock was behind when it was
  // written). Invalid when none of them exists or tells a time.
  zor::platform::DateTime created;

  // The package's own files as described above (existing or not), status
  // file first, each name once (an application's manifest that serves as the
  // record is a data file and a crash file). Never throws.
  static std::vector<zor::platform::TPath> OwnFiles(const Package& package);
  // Measures `package` now. Never throws: a file that cannot be examined
  // counts as absent.
  static PackageFootprint Measure(const Package& package);
  // The bytes of `files` that are no longer at their names (deleted since
  // Measure). Never throws.
  uint64_t BytesGoneSince() const;
};

// Sets each footprint's `bytes` to those of its `files` that no earlier one
// in `footprints` lists: a file many packages name counts once, for the
// first. Never throws.
void CountOnceAcross(const std::vector<PackageFootprint*>& footprints);

// `packages` in the order they are uploaded in: each owner's oldest first,
// then each owner's second oldest, and so on (Measure's owner and created;
// an equal age keeps the given order), so that a user who floods the dump
// directories with crashes delays only their own. One whose newest event
// is trouble that judged nothing (a transient failure, a wait, an
// interruption: its last error newer than its last upload result) counts
// its age from that trouble, so it comes after its owner's that were there
// then, and within a round after the others' made before it. A time ahead
// of the clock (one met while the clock was ahead) counts as not known: the
// package's own age, and a package made "later than now", as now. Never throws.
std::vector<std::shared_ptr<Package>> InFairOrder(
    const std::vector<std::shared_ptr<Package>>& packages);

// The size of the file at `path`, or 0 when it does not exist or cannot be
// examined. Never throws.
uint64_t SizeOfFileOrZero(const zor::platform::TPath& path);

}  // namespace ZorErrorReporting
