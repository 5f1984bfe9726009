// The lock and the roll-back before a run reads its file: see
// target_lock.h.
#include "target_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "backup.h"
#include "held_signals.h"
#include "temporary_file.h"

namespace tessvane {
namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Opens and locks the regular file that path names, waiting while another
// run holds it, until the path still names the locked file.  Invalid when
// the path names no regular file.  Where the file system has no locks the
// file is returned unlocked.
UniqueFd LockNamedFile(const char* path) {
  for (;;) {
    UniqueFd file(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat locked;
    if (!file.valid() || fstat(file.get(), &locked) != 0 || !S_ISREG(locked.st_mode)) {
      return UniqueFd();
    }
    int result;
    while ((result = flock(file.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    struct stat named;
    if (result != 0 || (stat(path, &named) == 0 && SameFile(named, locked))) return file;
  }
}

// Removes temporary files a killed run left beside the locked file open
// at file (named by path), and puts back its old contents when a backup of
// them is left; false when one is left and cannot be put back.
bool RollBackInterrupted(const char* path, int file) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path, nullptr), &std::free);
  struct stat status;
  if (!resolved || fstat(file, &status) != 0) return true;  // the reader reports it
  const std::string real(resolved.get());
  const std::size_t slash = real.rfind('/');
  RemoveStaleTemporaries(slash == 0 ? "/" : real.substr(0, slash), real.substr(slash + 1));
  const std::optional<Backup> backup = Backup::Find(real, status);
  if (!backup) return true;
  const HeldSignals held;
  const UniqueFd target(open(resolved.get(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat opened;
  return target.valid() && fstat(target.get(), &opened) == 0 && SameFile(opened, status) &&
         backup->RestoreTo(target.get()) && backup->Remove();
}

}  // namespace

TargetLock::TargetLock(const char* path) : file_(LockNamedFile(path)) {
  if (file_.valid()) usable_ = RollBackInterrupted(path, file_.get());
}

}  // namespace tessvane
