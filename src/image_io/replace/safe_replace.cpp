// Safe replacement of a file: see safe_replace.h.
//
// Two ways, chosen per file: rename a flushed temporary file, given the
// target's owner, mode and extended attributes, over the target (the usual
// way, also for hard-linked files); or, where a rename cannot keep the
// owner or no temporary file can be made beside the target, copy the new
// contents over the target with the old contents in a flushed backup
// until the copy is on disk.
#include "safe_replace.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "backup.h"
#include "extended_attributes.h"
#include "file_contents.h"
#include "held_signals.h"
#include "temporary_file.h"
#include "unique_fd.h"

namespace tessvane {
namespace {

// True when a new file renamed over target can have target's owner: the
// user's own file, or any file for root.
bool RenameKeepsOwner(const struct stat& target) {
  return geteuid() == 0 || target.st_uid == geteuid();
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

// Flushes the entries of the directory at path to disk.
bool SyncDirectoryAt(const std::string& directory) {
  const UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && SyncDirectory(fd.get());
}

// Writes into temp, flushes it and renames it over target.
IoStatus ReplaceByRename(TemporaryFile& temp, const std::string& target,
                         const std::string& directory, const ContentsWriter& write) {
  if (!write(temp.fd()) || fsync(temp.fd()) != 0 ||
      !temp.RenameOver(target) || !SyncDirectoryAt(directory)) {
    return IoStatus::Failed;
  }
  return IoStatus::Done;
}

// False when the file open at fd cannot be given size bytes.  Reserving
// the space first makes a full disk show before the file is overwritten;
// file systems without reservation just skip this.
bool ReserveSpace(int fd, off_t size) {
  return fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) == 0 || errno == EOPNOTSUPP ||
         errno == ENOSYS;
}

// Writes the whole output to memory, saves the old contents of the target
// open at fd (the file at target, with status) in a flushed backup, copies
// the output over the target, flushes it and removes the backup.  Failed
// with the target untouched when no backup can be made; after a failed
// copy the target gets its old bytes back.  The termination signals wait
// from the backup's making until it is gone.
IoStatus ReplaceInPlace(int fd, const std::string& target, const struct stat& status,
                        const ContentsWriter& write) {
  const UniqueFd output(memfd_create("tessvane-output", MFD_CLOEXEC));
  if (!output.valid() || !write(output.get())) return IoStatus::Failed;
  const off_t size = FileSize(output.get());
  if (size < 0) return IoStatus::Failed;

  const HeldSignals held;
  const std::optional<Backup> backup = Backup::Make(target, status, fd);
  if (!backup) return IoStatus::Failed;
  if (!ReserveSpace(fd, size)) {
    static_cast<void>(backup->Remove());
    return IoStatus::Failed;
  }
  if (CopyContents(output.get(), fd) && fsync(fd) == 0) {
    // A backup that cannot be removed is rolled back by the next run, which
    // then makes this same result again.
    static_cast<void>(backup->Remove());
    return IoStatus::Done;
  }
  // Where even the restore fails, the backup stays for the next run.
  if (backup->RestoreTo(fd)) static_cast<void>(backup->Remove());
  return IoStatus::Failed;
}

}  // namespace

IoStatus ReplaceFile(const char* path, const ContentsWriter& write) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path, nullptr), &std::free);
  if (!resolved) return IoStatus::CannotOpen;
  const std::string target(resolved.get());
  const UniqueFd fd(open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return IoStatus::CannotOpen;
  struct stat status;
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return IoStatus::Failed;

  const std::size_t slash = target.rfind('/');
  const std::string directory = slash == 0 ? "/" : target.substr(0, slash);
  const std::string base = target.substr(slash + 1);
  if (RenameKeepsOwner(status)) {
    TemporaryFile temp(directory, base);
    // The mode is matched again after the attributes: an ACL carries
    // permission bits of its own.
    if (temp.valid() && MatchOwnership(temp.fd(), status) &&
        CopyExtendedAttributes(fd.get(), temp.fd()) && MatchOwnership(temp.fd(), status)) {
      return ReplaceByRename(temp, target, directory, write);
    }
  }
  return ReplaceInPlace(fd.get(), target, status, write);
}

}  // namespace tessvane
