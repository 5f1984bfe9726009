// Safe replacement of a file: see safe_replace.h.
//
// Two ways, chosen per file: rename a flushed temporary file over the
// target (the usual way), or, where a rename would change the file's
// owner, links or attributes, copy the new contents over the target with
// the old contents kept to restore on failure.
#include "safe_replace.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <string>

#include "file_contents.h"
#include "temporary_file.h"
#include "unique_fd.h"

namespace tessvane {
namespace {

// True when a renamed new file would be the same file to its users: one
// link, our own (any owner for root), no extended attributes or ACLs.
bool RenameKeepsFile(int fd, const struct stat& target) {
  if (target.st_nlink != 1) return false;
  if (geteuid() != 0 && target.st_uid != geteuid()) return false;
  const ssize_t names = flistxattr(fd, nullptr, 0);
  return names == 0 || (names < 0 && errno == ENOTSUP);
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

// Flushes a directory's entries to disk.  File systems that cannot sync a
// directory say so with EINVAL; their entries are as safe as they get.
bool SyncDirectory(const std::string& directory) {
  const UniqueFd fd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && (fsync(fd.get()) == 0 || errno == EINVAL);
}

// Writes into temp, flushes it and renames it over target.
IoStatus ReplaceByRename(TemporaryFile& temp, const std::string& target,
                         const std::string& directory, const ContentsWriter& write) {
  if (!write(temp.fd()) || fsync(temp.fd()) != 0 ||
      !temp.RenameOver(target) || !SyncDirectory(directory)) {
    return IoStatus::Failed;
  }
  return IoStatus::Done;
}

// Writes the whole output to memory, then copies it over the target open
// at fd; on a failed copy the target gets its old bytes back.
IoStatus ReplaceInPlace(int fd, const ContentsWriter& write) {
  const UniqueFd output(memfd_create("tessvane-output", MFD_CLOEXEC));
  const UniqueFd backup(memfd_create("tessvane-backup", MFD_CLOEXEC));
  if (!output.valid() || !backup.valid() || !write(output.get()) ||
      !CopyContents(fd, backup.get())) {
    return IoStatus::Failed;
  }
  // Reserve the space first, so that a full disk shows before the file is
  // touched.  File systems without reservation just skip this.
  const off_t size = FileSize(output.get());
  if (size < 0 || (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno != EOPNOTSUPP &&
                   errno != ENOSYS)) {
    return IoStatus::Failed;
  }
  if (CopyContents(output.get(), fd) && fsync(fd) == 0) return IoStatus::Done;
  CopyContents(backup.get(), fd);
  fsync(fd);
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
  if (RenameKeepsFile(fd.get(), status)) {
    TemporaryFile temp(directory, base);
    if (temp.valid() && MatchOwnership(temp.fd(), status)) {
      return ReplaceByRename(temp, target, directory, write);
    }
  }
  return ReplaceInPlace(fd.get(), write);
}

}  // namespace tessvane
