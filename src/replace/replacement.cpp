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

#include "extended_attributes.h"
#include "file_contents.h"
#include "file_failure.h"
#include "in_place.h"
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
  if (!memory_.valid()) {
    throw EFileFailed(FileStep::Write, errno, "the new contents cannot be held in memory: " + ErrnoReason(errno));
  }
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

void Replacement::CommitInPlace() { notices_ = OverwriteInPlace(target_, memory_.get(), backups_beside_); }

}  // namespace tessvane
