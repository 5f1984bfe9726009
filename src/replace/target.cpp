// The one resolved target and its lock: see target.h.
#include "target.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>

#include "file_failure.h"
#include "recovery.h"

namespace tessvane {
namespace {

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool SameTime(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

[[noreturn]] void Fail(FileStep step, int error_number, const std::string& reason) {
  throw EFileFailed(step, error_number, reason);
}

// The reason for errno in a few lower-case words.
std::string ReasonFor(int error_number) {
  switch (error_number) {
    case EACCES: case EPERM: return "permission denied";
    case ELOOP: return "the name was changed to a symbolic link";
    case ENOTDIR: return "a directory in the path is not a directory";
    default: return ErrnoReason(error_number);
  }
}

}  // namespace

Target::Target(const char* path) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path, nullptr), &std::free);
  if (!resolved) Fail(FileStep::Lock, errno, ReasonFor(errno));
  path_ = resolved.get();
  const std::size_t slash = path_.rfind('/');
  name_ = path_.substr(slash + 1);
  const std::string directory = slash == 0 ? "/" : path_.substr(0, slash);
  directory_ = UniqueFd(open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  directory_readable_ = directory_.valid();
  if (!directory_.valid() && errno == EACCES) {
    // Search without read permission: entries can be reached, not listed.
    directory_ = UniqueFd(open(directory.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!directory_.valid()) Fail(FileStep::Lock, errno, ReasonFor(errno));
  OpenAndLock();
  PutRightAfterCutOffRuns(*this, notices_);
  if (fstat(file_.get(), &status_) != 0) Fail(FileStep::Lock, errno, "cannot be examined");
}

// Opens and locks the regular file named name_ in the directory, waiting
// while another run holds it, until the entry still names the locked
// file.  Where the file system has no locks the file stays unlocked.
void Target::OpenAndLock() {
  for (;;) {
    file_ = UniqueFd(openat(directory_.get(), name_.c_str(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat locked;
    if (!file_.valid()) Fail(FileStep::Lock, errno, ReasonFor(errno));
    if (fstat(file_.get(), &locked) != 0) Fail(FileStep::Lock, errno, ErrnoReason(errno));
    if (!S_ISREG(locked.st_mode)) Fail(FileStep::Lock, 0, S_ISDIR(locked.st_mode) ? "a directory" : "not a regular file");
    int result;
    while ((result = flock(file_.get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    struct stat named;
    if (result != 0 || (fstatat(directory_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                        SameFile(named, locked))) {
      return;
    }
  }
}

UniqueFd Target::OpenForWriting() const {
  UniqueFd writable(openat(directory_.get(), name_.c_str(),
                           O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!writable.valid()) Fail(FileStep::Write, errno, ReasonFor(errno));
  struct stat opened, locked;
  if (fstat(writable.get(), &opened) != 0 || fstat(file_.get(), &locked) != 0 ||
      !SameFile(opened, locked)) {
    Fail(FileStep::Write, 0, "the file was replaced by another while it was cleared");
  }
  return writable;
}

void Target::CheckUnchanged(bool with_change_time) const {
  struct stat named, now;
  if (fstatat(directory_.get(), name_.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      fstat(file_.get(), &now) != 0 || !SameFile(named, now)) {
    Fail(FileStep::Commit, 0, "the file was replaced by another while it was cleared");
  }
  if (now.st_size != status_.st_size || !SameTime(now.st_mtim, status_.st_mtim) ||
      (with_change_time && !SameTime(now.st_ctim, status_.st_ctim))) {
    Fail(FileStep::Commit, 0, "the file changed while it was cleared");
  }
}

}  // namespace tessvane
