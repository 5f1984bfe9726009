// The places of backups: see backup_places.h.
//
// A directory keeps a backup safe from others when nobody but the user and
// root may remove or rename its entries: it is the user's or root's, and
// nobody else may write it, or it is root's and sticky (as /tmp and
// /var/tmp are).  Each directory on the way to a state directory must
// keep it so too, or another user could rename the whole directory away.
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
#include "terminal_quote.h"

namespace tessvane {
namespace {

// True when the file system of the file open at fd keeps its files only in
// memory.
bool InMemory(int fd) {
  struct statfs status {};
  return fstatfs(fd, &status) == 0 &&
         (status.f_type == TMPFS_MAGIC || status.f_type == RAMFS_MAGIC);
}

// Why others could remove or rename entries of the directory open at fd;
// empty when they cannot.
std::string OpenToOthers(int fd) {
  struct stat status {};
  if (fstat(fd, &status) != 0) return ErrnoReason(errno);
  if (status.st_uid != geteuid() && status.st_uid != 0) return "another user's";
  const bool sticky_of_root = status.st_uid == 0 && (status.st_mode & S_ISVTX) != 0;
  if ((status.st_mode & 022) != 0 && !sticky_of_root) return "writable by others";
  return {};
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

// Opens the next step part of a path in the directory open at current,
// without following a link when last, making it with mode 0700 when
// missing and create (flushed in its parent).  Invalid, with why set
// unless it is just missing and not to be made, when it cannot be had.
UniqueFd OpenStep(int current, const std::string& part, bool last, bool create, std::string& why) {
  const int follow = last ? O_NOFOLLOW : 0;
  UniqueFd next(openat(current, part.c_str(), O_RDONLY | O_DIRECTORY | follow | O_CLOEXEC));
  struct stat entry {};
  if (!next.valid() && last && (errno == ENOTDIR || errno == ELOOP) &&
      fstatat(current, part.c_str(), &entry, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(entry.st_mode)) {
    why = "a symbolic link";
    return next;
  }
  if (!next.valid() && errno == ENOENT && create && mkdirat(current, part.c_str(), 0700) == 0) {
    if (!SyncDirectory(current)) {
      why = ErrnoReason(errno);
      return UniqueFd();
    }
    next = UniqueFd(openat(current, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!next.valid() && !(errno == ENOENT && !create)) {
    why = errno == ENOTDIR ? "not a directory" : ErrnoReason(errno);
  }
  return next;
}

// Opens the directory at path, each directory on the way one that keeps
// its entries from others; invalid, with why set as OpenStep sets it, when
// it cannot be had or a directory on the way is open to others.
UniqueFd OpenDirectoryPath(const std::string& path, bool create, std::string& why) {
  UniqueFd current(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  std::string reached;
  for (std::size_t start = 1; current.valid() && start < path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    if (const std::string open_to = OpenToOthers(current.get()); !open_to.empty()) {
      why = "the directory " + QuotedForTerminal(reached.empty() ? "/" : reached) + " on its way is " + open_to;
      return UniqueFd();
    }
    current = OpenStep(current.get(), part, end == path.size(), create, why);
    reached += "/" + part;
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
    places.usable.push_back({std::move(directory), QuotedForTerminal(path), true});
  } else if (!why.empty()) {
    places.refused.push_back(QuotedForTerminal(path) + ": " + why);
  }
}

}  // namespace

BackupPlaces FindBackupPlaces(int beside, bool beside_listable, int target, bool create) {
  BackupPlaces places;
  const std::string open_to = beside >= 0 ? OpenToOthers(beside) : std::string();
  if (beside >= 0 && open_to.empty()) {
    places.usable.push_back({UniqueFd(fcntl(beside, F_DUPFD_CLOEXEC, 3)), "beside the file", beside_listable});
  } else if (beside >= 0) {
    places.refused.push_back("beside the file: its directory is " + open_to);
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
