// The replacement of a target's contents as one transaction: see
// replacement.h.
#include "replacement.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "backup.h"
#include "extended_attributes.h"
#include "file_contents.h"
#include "file_failure.h"
#include "held_signals.h"
#include "pending_marker.h"
#include "temporary_file.h"

namespace tessvane {
namespace {

// The inode flags (chattr) of the file or directory open at fd; 0 when
// they cannot be read.
int InodeFlags(int fd) {
  int flags = 0;
  return ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 ? flags : 0;
}

// Gives fd the owner, group and permission bits of target; false when the
// result differs from target in any of them.
bool MatchOwnership(int fd, const struct stat& target) {
  struct stat current;
  if (fstat(fd, &current) != 0) return false;
  if (current.st_uid != target.st_uid || current.st_gid != target.st_gid) {
    const uid_t owner = geteuid() == 0 ? target.st_uid : static_cast<uid_t>(-1);
    if (fchown(fd, owner, target.st_gid) != 0) return false;
  }
  if (fchmod(fd, target.st_mode & 07777) != 0 || fstat(fd, &current) != 0) return false;
  return current.st_uid == target.st_uid && current.st_gid == target.st_gid &&
         (current.st_mode & 07777) == (target.st_mode & 07777);
}

// False when the file open at fd cannot be given size bytes.  Reserving
// the space first makes a full disk show before the file is overwritten;
// file systems without reservation just skip this.
bool ReserveSpace(int fd, off_t size) {
  return fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0 || errno == EOPNOTSUPP ||
         errno == ENOSYS;
}

// Writes contents over the file open at target and flushes it.  A longer
// file is first given its new length, so that every state on the way is
// old and new blocks over one length (backup.h).
bool Overwrite(int target, int contents, off_t old_size) {
  const off_t new_size = FileSize(contents);
  return new_size >= 0 && (new_size <= old_size || ftruncate(target, new_size) == 0) &&
         CopyRange(contents, 0, target, 0, new_size) && ftruncate(target, new_size) == 0 &&
         fsync(target) == 0;
}

}  // namespace

Replacement::Replacement(const Target& target) : target_(target) {
  const bool directory_open = target.directory_readable();
  const bool append_only = directory_open && (InodeFlags(target.directory()) & FS_APPEND_FL) != 0;
  if ((InodeFlags(target.fd()) & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0) {
    throw EFileFailed(FileStep::Write, EPERM, "the file is append-only or immutable");
  }
  backups_beside_ = directory_open && !append_only;
  if (directory_open && !append_only && BeginByRename()) return;
  memory_ = UniqueFd(memfd_create("tessvane-output", MFD_CLOEXEC));
  if (!memory_.valid()) throw EFileFailed(FileStep::Write, errno, "no memory for the new contents");
}

Replacement::~Replacement() = default;

// Opens the temporary file and gives it the target's owner, mode and
// attributes; false when a rename would not keep them.
bool Replacement::BeginByRename() {
  const struct stat& status = target_.status();
  if (geteuid() != 0 && status.st_uid != geteuid()) return false;
  try {
    temporary_ = std::make_unique<TemporaryFile>(target_.directory(), target_.path());
  } catch (const EFileFailed&) {
    return false;
  }
  // The mode is matched again after the attributes: an ACL carries
  // permission bits of its own.
  if (MatchOwnership(temporary_->fd(), status) &&
      CopyExtendedAttributes(target_.fd(), temporary_->fd()) &&
      MatchOwnership(temporary_->fd(), status)) {
    return true;
  }
  temporary_.reset();
  return false;
}

int Replacement::fd() const noexcept { return temporary_ ? temporary_->fd() : memory_.get(); }

void Replacement::Commit() {
  if (temporary_) {
    CommitByRename();
  } else {
    CommitInPlace();
  }
}

void Replacement::CommitByRename() {
  if (fsync(temporary_->fd()) != 0) {
    throw EFileFailed(FileStep::Write, errno, "the new file cannot be flushed to disk");
  }
  temporary_->Name();
  target_.CheckUnchanged();
  if (!temporary_->RenameOver(target_.name())) {
    throw EFileFailed(FileStep::Commit, errno, "the new file cannot be renamed over the old one");
  }
  if (!SyncDirectory(target_.directory())) {
    notices_.push_back("the file was replaced, but its directory could not be flushed to disk");
  }
}

void Replacement::CommitInPlace() {
  const UniqueFd target = target_.OpenForWriting();
  target_.CheckUnchanged();
  const struct stat& status = target_.status();
  const off_t new_size = FileSize(memory_.get());
  const HeldSignals held;
  const std::vector<BackupPlace> places = BackupPlaces(backups_beside_ ? target_.directory() : -1, true);
  const Backup backup = Backup::Make(places, target_.path(), target_.fd(), status, memory_.get());
  // Takes back what was done so far, and fails with reason.
  const auto abandon = [&](int error_number, const std::string& reason) {
    static_cast<void>(RemovePendingMarker(target.get()) && fsync(target.get()) == 0 &&
                      backup.Remove());
    throw EFileFailed(FileStep::Write, error_number, reason);
  };
  if (!SetPendingMarker(target.get(), backup.name()) &&
      !((errno == ENOTSUP || errno == EOPNOTSUPP) && status.st_uid == geteuid())) {
    abandon(errno, "the file cannot be marked as being overwritten");
  }
  if (fsync(target.get()) != 0) abandon(errno, "the file cannot be flushed to disk");
  try {
    target_.CheckUnchanged(false);  // the mark moved the change time
  } catch (const EFileFailed& changed) {
    abandon(0, changed.Reason());
  }
  // After the check: reserving space moves the modification time.
  if (new_size < 0 || !ReserveSpace(target.get(), std::max(new_size, status.st_size))) {
    abandon(errno, "no space for the new contents");
  }
  if (!Overwrite(target.get(), memory_.get(), status.st_size)) {
    const int error_number = errno;
    // Where even the restore fails, the backup and the mark stay for the
    // next run.
    if (backup.RestoreTo(target.get())) abandon(error_number, "the new contents cannot be written");
    throw EFileFailed(FileStep::Write, error_number, "the new contents cannot be written; the backup stays");
  }
  if (!RemovePendingMarker(target.get()) || fsync(target.get()) != 0 || !backup.Remove()) {
    notices_.push_back("the file was replaced, but its backup could not be removed; the next run removes it");
  }
}

}  // namespace tessvane
