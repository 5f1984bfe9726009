// The next run's recovery of a cut-off overwrite: see recovery.h and the
// invariants of in_place.h, which the comments below cite.
#include "recovery.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "backup.h"
#include "backup_places.h"
#include "file_failure.h"
#include "file_identity.h"
#include "held_signals.h"
#include "names.h"
#include "pending_marker.h"
#include "target.h"
#include "temporary_file.h"
#include "terminal_quote.h"

namespace tessvane {
namespace {

[[noreturn]] void Refuse(int error_number, const std::string& reason) {
  throw EFileFailed(FileStep::Lock, error_number, reason);
}

// The way out for a mark that no backup of the tool's stands behind.
std::string RemovalAdvice(const Target& target) {
  return "; once you have checked the file, remove the mark: " + MarkRemovalCommand(target.path());
}

bool UserExists(uid_t uid) {
  errno = 0;
  return getpwuid(uid) != nullptr;
}

// Refuses the file when its mark is not one the running user can act on:
// one this tool did not write, one that names no backup of this file
// (whoever's it claims to be), one of a user who does not exist, or
// another user's.
void RefuseMarkOfNoUse(const Target& target, const PendingMark& mark, const FileIdentity& identity) {
  using State = PendingMark::State;
  const std::string value = ShellQuoted(mark.value);
  if (mark.state == State::Unreadable) {
    Refuse(mark.error_number, std::string("the mark ") + PendingAttribute + " cannot be read: " +
                                  ErrnoReason(mark.error_number));
  }
  if (mark.state == State::Malformed) {
    Refuse(0, std::string("the file carries a mark ") + PendingAttribute + " that this tool did not write: " +
                  value + RemovalAdvice(target));
  }
  if (mark.state != State::Pending) return;
  if (!Known(identity)) Refuse(errno, "a marked file that cannot be identified: " + ErrnoReason(errno));
  if (!IsNameFor(mark.backup, NameKind::Backup, IdentityKey(identity))) {
    Refuse(0, std::string("the mark ") + PendingAttribute + " names no backup of this file: " + value +
                  RemovalAdvice(target));
  }
  if (mark.owner == geteuid()) return;
  if (!UserExists(mark.owner)) {
    Refuse(0, std::string("the file carries a mark ") + PendingAttribute + " of user " +
                  std::to_string(mark.owner) + ", who does not exist here: " + value + RemovalAdvice(target));
  }
  Refuse(0, "an overwrite by user " + std::to_string(mark.owner) +
                " was cut off; only that user's next run can put the file right");
}

// Where a backup that is kept can be found by hand.
std::string KeptBackup(const Backup::Found& found) {
  return QuotedForTerminal(found.name) + " (" + found.place + ")";
}

// Removes the mark, flushed, before the backup it names (invariant 2).
void ClearMark(const Target& target) {
  const UniqueFd writable = target.OpenForWriting();
  if (!RemovePendingMarker(writable.get()) || fsync(writable.get()) != 0) {
    Refuse(errno, "the mark of a cut-off overwrite cannot be removed: " + ErrnoReason(errno));
  }
}

// The places searched for a backup that none of them holds, and those that
// could not be searched; empty refused: the backup is gone.
std::string SearchedPlaces(const BackupPlaces& places) {
  std::string searched;
  for (const BackupPlace& place : places.usable) searched += (searched.empty() ? "" : ", ") + place.description;
  for (const std::string& refused : places.refused) {
    searched += (searched.empty() ? "" : ", ") + std::string("not ") + refused;
  }
  return searched;
}

// Invariant 5: the marked file put back from the backup its mark names,
// or refused with the mark and every backup kept.
void PutBackMarkedFile(const Target& target, const PendingMark& mark, const BackupPlaces& places,
                       const FileIdentity& identity, uid_t owner, std::vector<std::string>& notices) {
  const Backup::Found found = FindNamedBackup(places, mark.backup, identity, owner, target.path());
  if (found.missing) {
    // Where a place could not be looked in, the backup may be there.
    Refuse(0, "an overwrite was cut off and its backup " + QuotedForTerminal(found.name) +
                  " is in none of the places this user's runs keep backups (" + SearchedPlaces(places) + ")" +
                  (places.refused.empty() ? "; if it is in no other (the directory the file was moved from, "
                                            "another state directory)" + RemovalAdvice(target)
                                          : std::string()));
  }
  if (!found.backup) {
    // A marked backup was whole once (invariant 1): one that reads as cut
    // off was damaged since.
    const std::string why = found.unfinished ? "has a damaged header" : found.why_not;
    Refuse(0, "an overwrite was cut off and its backup " + KeptBackup(found) + " " + why +
                  "; the file and the backup are kept as they are");
  }
  const Backup& backup = *found.backup;
  const Backup::Verdict verdict = backup.Judge(target.fd());
  if (verdict == Backup::Verdict::Foreign) {
    const std::string start = std::to_string(backup.data_offset() + 1);
    Refuse(0, "an overwrite was cut off and the file has changed since in a way it cannot have; the file "
              "and its backup " + KeptBackup(found) + " are kept as they are (the old contents are the "
              "backup's bytes from byte " + start + " on: tail -c +" + start + ")");
  }
  if (verdict != Backup::Verdict::Untouched) {
    const UniqueFd writable = target.OpenForWriting();
    if (!backup.RestoreTo(writable.get())) {
      Refuse(errno, "the backup of a cut-off overwrite cannot be restored: " + ErrnoReason(errno) +
                        "; the file keeps its mark and the backup " + KeptBackup(found) + " stays");
    }
    notices.push_back("the file was put back from the backup of a cut-off overwrite");
  }
  ClearMark(target);
  static_cast<void>(backup.Remove());  // one left is found and removed next time
}

// Settles each backup of the unmarked file's identity.  The file is whole
// by invariant 2, so none is restored: one cut off while it was written,
// or one the file matches as old or new, goes; any other is set aside.  A
// backup made at this path for another file is left to that file.
void SettleUnmarkedBackups(const Target& target, const BackupPlaces& places, const FileIdentity& identity,
                           uid_t owner, std::vector<std::string>& notices) {
  for (Backup::Found& found : FindBackupsOf(places, identity, target.path(), owner)) {
    const std::string named = QuotedForTerminal(found.name);
    if (!found.ours) {
      notices.push_back("a backup left by an interrupted run " + found.why_not + "; ignored: " + named);
      continue;
    }
    if (found.same_path && !found.backup) {
      notices.push_back("a backup of another file that was at this path is kept as it is for that file: " +
                        KeptBackup(found));
      continue;
    }
    if (found.unfinished) {  // cut off in S1: the file was never touched
      unlinkat(found.directory, found.name.c_str(), 0);
      continue;
    }
    const Backup::Verdict verdict = found.backup ? found.backup->Judge(target.fd()) : Backup::Verdict::Foreign;
    if (verdict == Backup::Verdict::Untouched || verdict == Backup::Verdict::New) {
      static_cast<void>(found.backup->Remove());
      continue;
    }
    if (found.backup) found.why_not = "does not match the file";
    const std::string aside = Backup::SetAside(found.directory, found.name);
    notices.push_back("a backup left by an interrupted run " + found.why_not +
                      (aside.empty() ? "; ignored: " + named : "; set aside as " + QuotedForTerminal(aside)));
  }
}

}  // namespace

void PutRightAfterCutOffRuns(const Target& target, std::vector<std::string>& notices) {
  const PendingMark mark = ReadPendingMark(target.fd());
  const FileIdentity identity = IdentityOf(target.fd());
  RefuseMarkOfNoUse(target, mark, identity);
  if (target.directory_readable()) RemoveStrayTemporaries(target.directory(), target.path());
  const HeldSignals held;
  struct stat status {};
  if (fstat(target.fd(), &status) != 0) Refuse(errno, "cannot be examined: " + ErrnoReason(errno));
  const BackupPlaces places = FindBackupPlaces(target.directory(), target.directory_readable(), target.fd(), false);
  if (mark.state == PendingMark::State::Pending) {
    PutBackMarkedFile(target, mark, places, identity, status.st_uid, notices);
  }
  SettleUnmarkedBackups(target, places, identity, status.st_uid, notices);
}

}  // namespace tessvane
