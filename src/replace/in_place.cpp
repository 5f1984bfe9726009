// The overwrite of a file in place: see in_place.h for its states and
// invariants, which the comments below cite.
#include "in_place.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "backup.h"
#include "backup_places.h"
#include "file_contents.h"
#include "file_failure.h"
#include "held_signals.h"
#include "pending_marker.h"
#include "terminal_quote.h"

namespace tessvane {
namespace {

// File systems that give an overwritten block new space and free the old
// one only later, so that a reservation holds nothing for an overwrite.
bool CopiesOnWrite(int fd) {
  constexpr long ZfsMagic = 0x2fc12fc1, BcachefsMagic = 0xca451a4e;
  struct statfs status {};
  return fstatfs(fd, &status) == 0 &&
         (status.f_type == BTRFS_SUPER_MAGIC || status.f_type == ZfsMagic || status.f_type == BcachefsMagic);
}

// Empty when the file open at fd has room to be overwritten with new_size
// bytes and put back to old_size bytes; else why not, with errno set
// (invariant 6).
std::string SpaceProblem(int fd, off_t old_size, off_t new_size) {
  const bool held = fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, std::max(old_size, new_size)) == 0;
  if (!held && errno != EOPNOTSUPP && errno != ENOSYS) return ErrnoReason(errno);
  if (held && !CopiesOnWrite(fd)) return {};
  constexpr unsigned long long Slack = 1 << 20;  // the file system's own bookkeeping
  struct statvfs status {};
  if (fstatvfs(fd, &status) != 0) return ErrnoReason(errno);
  errno = ENOSPC;
  const unsigned long long blocks = geteuid() == 0 ? status.f_bfree : status.f_bavail;
  const unsigned long long free_bytes = blocks * status.f_frsize;
  const unsigned long long needed =
      static_cast<unsigned long long>(old_size) + static_cast<unsigned long long>(new_size) + Slack;
  if (free_bytes >= needed) return {};
  return "no space left on device for the new contents and a restore of the old ones (" +
         std::to_string(needed) + " bytes needed, " + std::to_string(free_bytes) + " free)";
}

// Writes contents over the file open at target, S4 to S7, each step
// flushed before the next; false with errno on failure.
bool Overwrite(int target, int contents, off_t old_size, off_t new_size) {
  const bool longer = new_size > old_size;
  return (!longer || (ftruncate(target, new_size) == 0 && fsync(target) == 0)) &&
         CopyRange(contents, 0, target, 0, new_size) && fsync(target) == 0 &&
         ftruncate(target, new_size) == 0 && fsync(target) == 0;
}

// Takes M and B away once F is whole again (invariant 2): M first, so that
// it never outlives B.  False when either stays.
bool Unmark(int target, const Backup& backup) {
  return RemovePendingMarker(target) && fsync(target) == 0 && backup.Remove();
}

}  // namespace

std::vector<std::string> OverwriteInPlace(const Target& target, int contents, bool backups_beside) {
  const UniqueFd file = target.OpenForWriting();
  target.CheckUnchanged();
  if (!CanCarryPendingMark(file.get())) {
    throw EFileFailed(FileStep::Write, errno,
                      "the file must be overwritten in place, and its file system keeps no extended "
                      "attributes to mark it while it is");
  }
  const struct stat& status = target.status();
  const off_t new_size = FileSize(contents);
  if (new_size < 0) throw EFileFailed(FileStep::Write, errno, "the new contents cannot be measured");
  const HeldSignals held;  // invariant 9
  const BackupPlaces places = FindBackupPlaces(backups_beside ? target.directory() : -1, true, target.fd(), true);
  const Backup backup = Backup::Make(places, target.path(), target.fd(), status, contents);  // S1, S2
  // Takes back what was done, the file's contents and times as they were.
  const auto abandon = [&](int error_number, const std::string& reason) {
    const timespec times[2] = {status.st_atim, status.st_mtim};
    static_cast<void>(futimens(file.get(), times));
    static_cast<void>(Unmark(file.get(), backup));
    throw EFileFailed(FileStep::Write, error_number, reason);
  };
  if (!SetPendingMarker(file.get(), backup.name())) {
    abandon(errno, "the file cannot be marked as being overwritten: " + ErrnoReason(errno));
  }
  if (fsync(file.get()) != 0) abandon(errno, "the file cannot be flushed to disk: " + ErrnoReason(errno));  // S3
  try {
    target.CheckUnchanged(false);  // the mark moved the change time
  } catch (const EFileFailed& changed) {
    abandon(0, changed.Reason());
  }
  // After the check: holding space moves the modification time.
  if (const std::string problem = SpaceProblem(file.get(), status.st_size, new_size); !problem.empty()) {
    abandon(errno, problem);
  }
  if (!Overwrite(file.get(), contents, status.st_size, new_size)) {  // S4 to S7
    const int error_number = errno;
    const std::string reason = "the new contents cannot be written: " + ErrnoReason(error_number);
    if (backup.RestoreTo(file.get())) abandon(error_number, reason);
    throw EFileFailed(FileStep::Write, error_number,
                      reason + ", nor the old ones put back; the file keeps its mark and its backup " +
                          QuotedForTerminal(backup.name()) + " stays for the next run");
  }
  if (!Unmark(file.get(), backup)) {  // S8, S9
    return {"the file was replaced, but its mark or its backup could not be removed; the next run does that"};
  }
  return {};
}

}  // namespace tessvane
