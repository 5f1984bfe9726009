// Backups of files overwritten in place: see backup.h.
//
// The state directories are the user's own: made with mode 0700 and used
// only when they belong to the user and nobody else may write into them,
// so that no other user can plant or read a backup there.
#include "backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "file_contents.h"

namespace tessvane {
namespace {

// Where a backup may go: a directory, the backup's name in it, and
// whether the directory is one of the user's state directories.
struct Place {
  std::string directory;
  std::string name;
  bool state_directory;
};

std::string Hex(std::uint64_t value) {
  static const char Digits[] = "0123456789abcdef";
  std::string text;
  do {
    text.insert(text.begin(), Digits[value & 15]);
    value >>= 4;
  } while (value != 0);
  return text;
}

// FNV-1a: a short, stable fingerprint of a path for a file name.
std::uint64_t PathHash(const std::string& path) {
  std::uint64_t hash = 14695981039346656037ull;
  for (const char c : path) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
  }
  return hash;
}

// The user's state directory for backups, or empty when neither
// XDG_STATE_HOME nor HOME names an absolute directory.
std::string UserStateDirectory() {
  const char* const state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/tessvane";
  const char* const home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.local/state/tessvane";
  return {};
}

// The places for a backup of the file at path, in the order tried.
std::vector<Place> PlacesFor(const std::string& path, const struct stat& status) {
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == 0 ? "/" : path.substr(0, slash);
  const std::string base = path.substr(slash + 1);
  const std::string identity = Hex(status.st_dev) + "-" + Hex(status.st_ino);
  const std::string elsewhere = identity + "-" + Hex(PathHash(path)) + "-" + base.substr(0, 100);

  std::vector<Place> places{{directory, "." + base.substr(0, 200) + ".tessvane-backup-" + identity, false}};
  if (const std::string user = UserStateDirectory(); !user.empty()) {
    places.push_back({user, elsewhere, true});
  }
  places.push_back({"/var/tmp/tessvane-" + std::to_string(geteuid()), elsewhere, true});
  return places;
}

// Makes path and its missing parents with mode 0700.  Failures show when
// the directory is opened.
void MakeDirectories(const std::string& path) {
  for (std::size_t end = path.find('/', 1); ; end = path.find('/', end + 1)) {
    static_cast<void>(mkdir(path.substr(0, end).c_str(), 0700));
    if (end == std::string::npos) return;
  }
}

// Opens the directory of place, making a state directory when create;
// invalid when it cannot be had, or is a state directory that is not the
// user's alone.
UniqueFd OpenPlace(const Place& place, bool create) {
  if (create && place.state_directory) MakeDirectories(place.directory);
  UniqueFd directory(open(place.directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!directory.valid() || !place.state_directory) return directory;
  struct stat status;
  if (fstat(directory.get(), &status) != 0 || status.st_uid != geteuid() ||
      (status.st_mode & 022) != 0) {
    return UniqueFd();
  }
  return directory;
}

// Writes a copy of the contents at source under name in directory, named
// only once it and the directory entry are on disk; returns it open, or
// invalid on failure (with nothing left under name).
UniqueFd WriteComplete(int directory, const std::string& name, int source) {
  UniqueFd file(openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file.valid()) {
    const std::string self = "/proc/self/fd/" + std::to_string(file.get());
    if (!CopyContents(source, file.get()) || fsync(file.get()) != 0 ||
        linkat(AT_FDCWD, self.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      return UniqueFd();
    }
  } else {
    // No unnamed files on this file system: write under a name of its own.
    const std::string partial = name + ".partial";
    file = UniqueFd(openat(directory, partial.c_str(),
                           O_CREAT | O_TRUNC | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid()) return file;
    if (!CopyContents(source, file.get()) || fsync(file.get()) != 0 ||
        renameat(directory, partial.c_str(), directory, name.c_str()) != 0) {
      unlinkat(directory, partial.c_str(), 0);
      return UniqueFd();
    }
  }
  if (!SyncDirectory(directory)) {
    unlinkat(directory, name.c_str(), 0);
    return UniqueFd();
  }
  return file;
}

}  // namespace

Backup::Backup(UniqueFd directory, std::string name, UniqueFd file) noexcept
    : directory_(std::move(directory)), name_(std::move(name)), file_(std::move(file)) {}

std::optional<Backup> Backup::Make(const std::string& path, const struct stat& status, int fd) {
  for (const Place& place : PlacesFor(path, status)) {
    UniqueFd directory = OpenPlace(place, true);
    if (!directory.valid()) continue;
    UniqueFd file = WriteComplete(directory.get(), place.name, fd);
    if (file.valid()) return Backup(std::move(directory), place.name, std::move(file));
  }
  return std::nullopt;
}

std::optional<Backup> Backup::Find(const std::string& path, const struct stat& status) {
  for (const Place& place : PlacesFor(path, status)) {
    UniqueFd directory = OpenPlace(place, false);
    if (!directory.valid()) continue;
    // A partial copy is never complete, so never a backup to restore.
    unlinkat(directory.get(), (place.name + ".partial").c_str(), 0);
    UniqueFd file(openat(directory.get(), place.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat found;
    if (file.valid() && fstat(file.get(), &found) == 0 && S_ISREG(found.st_mode)) {
      return Backup(std::move(directory), place.name, std::move(file));
    }
  }
  return std::nullopt;
}

bool Backup::RestoreTo(int fd) const { return CopyContents(file_.get(), fd) && fsync(fd) == 0; }

bool Backup::Remove() const {
  return unlinkat(directory_.get(), name_.c_str(), 0) == 0 && SyncDirectory(directory_.get());
}

}  // namespace tessvane
