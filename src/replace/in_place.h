// The overwrite of a file in place, and what its next run does when it was
// cut off: one protocol, described here as the states it passes through
// and the invariants that hold in all of them.  The tests cite them by
// number.
//
// A file is overwritten in place where the new contents cannot be renamed
// over it (another user's file, whose owner a rename would change; a
// directory the runner may not write, flush or remove entries from).  Its
// own inode is written, so a run that is killed, or loses power, half-way
// leaves it torn; only what was saved and flushed first can put it right.
//
// The disk is taken to promise no more than fsync(2) does: a write, a
// change of length or of an extended attribute, and a directory entry are
// on disk only once flushed (fsync of the file, or of its directory for an
// entry).  Before that, after a power cut, each may be kept or lost: writes
// whole 4 KiB page by page, a change of length without the writes made
// before it.  A kill keeps everything done before it.
//
// States of one overwrite; F is the file, B its backup (backup.h), M the
// mark user.tessvane.pending on F naming B (pending_marker.h):
//
//   S0 idle        F old; no M, no B.
//   S1 backing up  B written unnamed (or named, its header still NULs).
//   S2 backed up   B whole, flushed, named, its directory flushed.
//   S3 marked      M set on F and flushed.
//   S4 lengthened  only when the new contents are longer: F given their
//                  length (zeros past the old end) and flushed.
//   S5 writing     the new contents written over F, page by page.
//   S6 written     F flushed: the new contents are on disk.
//   S7 cut         F cut to the new length (which changes it only when the
//                  new contents are shorter) and flushed.
//   S8 unmarked    M removed from F and flushed.
//   S9 done        B removed, its directory flushed.
//
// A write that fails in S4 to S7 puts the old contents back from B, at
// their length, flushed, then goes to S8 and S9 and reports the failure
// with F unchanged; where even that fails, F keeps M and B for the next run.
// A restore (here, or in the next run) writes the old contents over F's
// whole length, zeros past their end, in writes of whole pages, flushes,
// and only then cuts F to the old length and flushes again.
//
// Invariants:
//   1. No byte of F is overwritten before M is on disk, and M is set only
//      once B is whole and on disk: a torn F carries M, and M names a B
//      that was whole.
//   2. M is removed only once F's new contents (or the old ones put back)
//      are on disk: an F without M is whole, old or new, and is never put
//      back from a backup.
//   3. Every state a cut-off S3 to S7, or a cut-off restore, leaves is,
//      page by page, old or new over a length between the two: the page
//      where shorter new contents end holds new bytes, then old ones or
//      zeros; a page past the old end holds zeros or new bytes; a page past
//      the shorter end may hold zeros (a restore's new length on disk, its
//      write not).  B judges exactly such states, and old bytes cut at
//      either length (which older versions, cutting before they flushed,
//      left), as ones to restore, and nothing else (Backup::Judge).
//   4. M names, never points: its value is "uid=N backup=NAME", NAME a
//      plain entry name of the tool's own form whose key is F's identity
//      (names.h, file_identity.h), looked up only in the tool's own
//      places; whoever's it claims to be, one that names no backup of F
//      is no mark of this tool's.
//   5. A file with M is cleared only after B was found, trusted, F judged
//      against it as old, new or torn, and F put back and flushed.  In any
//      other case the file is refused ("image read error") and M and every
//      backup stay as they are; the reason says what is wrong and, only
//      where no backup of the tool's own may stand behind M, how to remove
//      M.
//   6. The space the overwrite and a restore need is had before S4: held
//      with fallocate where the file system overwrites in place, and free
//      for both the new and the old contents where it copies on write or
//      cannot hold space.
//   7. F is overwritten in place only where it can carry M: on a file
//      system without extended attributes the in-place way is refused.
//   8. B lives only where nobody but its user and root may remove or rename
//      it, or plant a file that passes for it: a place of backup_places.h,
//      a file of mode 0600 with one link.
//   9. HUP, INT, QUIT and TERM wait from S1 to S9.
//
// The next run on F (recovery.h), holding F's lock, before it reads F:
// with M, it acts by invariant 5; without M, F is whole (invariant 2), and
// each backup of F's identity it finds goes when it was cut off in S1,
// goes when F matches it as old or new (a run cut off after S8), and is
// set aside otherwise; a backup made at F's path for another file (F was
// moved or re-created since) is left for that file, and another user's is
// left alone.
#pragma once

#include <string>
#include <vector>

#include "target.h"

namespace tessvane {

// Overwrites the file of target with the contents open at contents, from
// S0 to S9 above; backups_beside: the target's directory may hold the
// backup.  EFileFailed(Write or Commit), the file unchanged, when it cannot
// be done; the notices of what failed after the new contents were on disk
// are returned.
std::vector<std::string> OverwriteInPlace(const Target& target, int contents, bool backups_beside);

}  // namespace tessvane
