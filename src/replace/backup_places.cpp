// The places of backups: see backup_places.h.
#include "backup_places.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "file_contents.h"
#include "file_failure.h"

namespace tessvane {
namespace {

// True when the file system of the file open at fd keeps its files only in
// memory.
bool InMemory(int fd) {
  struct statfs status {};
  return fstatfs(fd, &status) == 0 &&
         (status.f_type == TMPFS_MAGIC || status.f_type == RAMFS_MAGIC);
}

// The user's state directory, or empty when neither XDG_STATE_HOME nor
// HOME names an absolute directory.
std::string UserStateDirectory() {
  const char* const state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/tessvane";
  const char* const home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/tessvane";
  return {};
}

// Opens the directory at path, without following a link in its last step,
// making it and its missing parents with mode 0700 when create; each
// directory made is flushed in its parent.  Invalid when it cannot be had,
// with why set unless it is just missing and not to be made.
UniqueFd OpenDirectoryPath(const std::string& path, bool create, std::string& why) {
  UniqueFd current(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (std::size_t start = 1; current.valid() && start < path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    const bool last = end == path.size();
    start = end + 1;
    if (part.empty()) continue;
    const int follow = last ? O_NOFOLLOW : 0;
    UniqueFd next(openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | follow | O_CLOEXEC));
    struct stat entry {};
    if (!next.valid() && last && (errno == ENOTDIR || errno == ELOOP) &&
        fstatat(current.get(), part.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(entry.st_mode)) {
      why = "a symbolic link";
      return UniqueFd();
    }
    if (!next.valid() && errno == ENOENT && create && mkdirat(current.get(), part.c_str(), 0700) == 0) {
      if (!SyncDirectory(current.get())) break;
      next = UniqueFd(openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    current = std::move(next);
  }
  if (!current.valid() && !(errno == ENOENT && !create)) {
    why = errno == ENOTDIR ? "not a directory" : ErrnoReason(errno);
  }
  return current;
}

// The state directory at path when it is fit for backups of the target
// open at target; else invalid, with why set.
UniqueFd OpenStateDirectory(const std::string& path, int target, bool create, std::string& why) {
  UniqueFd directory = OpenDirectoryPath(path, create, why);
  struct stat status {};
  if (!directory.valid()) return directory;
  if (fstat(directory.get(), &status) != 0) {
    why = ErrnoReason(errno);
  } else if (status.st_uid != geteuid()) {
    why = "not the user's own";
  } else if ((status.st_mode & 022) != 0) {
    why = "others may write it";
  } else if (InMemory(directory.get()) && !InMemory(target)) {
    why = "in memory, lost on a power cut";
  } else {
    return directory;
  }
  return UniqueFd();
}

void AddStatePlace(BackupPlaces& places, const std::string& path, int target, bool create) {
  std::string why;
  UniqueFd directory = OpenStateDirectory(path, target, create, why);
  if (directory.valid()) {
    places.usable.push_back({std::move(directory), path, true});
  } else if (!why.empty()) {
    places.refused.push_back(path + ": " + why);
  }
}

}  // namespace

BackupPlaces FindBackupPlaces(int beside, bool beside_listable, int target, bool create) {
  BackupPlaces places;
  if (beside >= 0) {
    places.usable.push_back({UniqueFd(fcntl(beside, F_DUPFD_CLOEXEC, 3)), "beside the file", beside_listable});
  } else if (create) {
    places.refused.emplace_back("beside the file: its directory cannot be flushed or have entries removed");
  }
  if (const std::string user = UserStateDirectory(); !user.empty()) {
    AddStatePlace(places, user, target, create);
  } else if (create) {
    places.refused.emplace_back("the user's state directory: neither XDG_STATE_HOME nor HOME is set");
  }
  AddStatePlace(places, "/var/tmp/tessvane-" + std::to_string(geteuid()), target, create);
  return places;
}

}  // namespace tessvane
