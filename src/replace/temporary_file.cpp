// The temporary file of a replacement and its removal on termination
// signals: see temporary_file.h.
//
// Invariant: while a named temporary file exists, its directory and name
// are in pending_directory and pending_name and pending is set, so a
// termination signal removes it before the process ends.
#include "temporary_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <iterator>
#include <utility>

#include "file_failure.h"

namespace tessvane {
namespace {

char pending_name[NAME_MAX + 1];
int pending_directory = -1;
volatile std::sig_atomic_t pending = 0;
constexpr int CleanupSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGQUIT};

extern "C" void RemovePendingAndDie(int signal_number) {
  if (pending) unlinkat(pending_directory, pending_name, 0);
  static_cast<void>(std::signal(signal_number, SIG_DFL));
  static_cast<void>(raise(signal_number));
}

// True when /proc offers the unnamed file open at fd a way to be linked.
bool CanNameUnnamed(int fd) {
  return faccessat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), F_OK, 0) == 0;
}

struct CloseDirectory {
  void operator()(DIR* entries) const noexcept { closedir(entries); }
};

}  // namespace

// While alive, a termination signal removes name in directory before the
// process ends.
class SignalCleanup {
 public:
  SignalCleanup(int directory, const std::string& name) {
    if (name.size() >= sizeof pending_name) return;
    std::memcpy(pending_name, name.c_str(), name.size() + 1);
    pending_directory = directory;
    struct sigaction action {};
    action.sa_handler = RemovePendingAndDie;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < std::size(CleanupSignals); ++i) {
      sigaction(CleanupSignals[i], &action, &previous_[i]);
    }
    pending = 1;
    armed_ = true;
  }
  SignalCleanup(const SignalCleanup&) = delete;
  SignalCleanup& operator=(const SignalCleanup&) = delete;
  ~SignalCleanup() {
    if (!armed_) return;
    pending = 0;
    for (std::size_t i = 0; i < std::size(CleanupSignals); ++i) {
      sigaction(CleanupSignals[i], &previous_[i], nullptr);
    }
  }

 private:
  struct sigaction previous_[std::size(CleanupSignals)] {};
  bool armed_ = false;
};

std::string NameUnnamedFile(int fd, int directory, NameKind kind, const std::string& target_path,
                            const std::string& key) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = MakeName(kind, target_path, key);
    if (linkat(AT_FDCWD, self.c_str(), directory, name.c_str(), AT_SYMLINK_FOLLOW) == 0) return name;
    if (errno != EEXIST) return {};
  }
  return {};
}

std::vector<std::string> EntriesOfKind(int directory, NameKind kind) {
  std::vector<std::string> names;
  const int listing = openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return names;
  const std::unique_ptr<DIR, CloseDirectory> entries(fdopendir(listing));
  if (!entries) {
    close(listing);
    return names;
  }
  while (const dirent* entry = readdir(entries.get())) {
    const auto parsed = ParseName(entry->d_name);
    if (parsed && parsed->kind == kind) names.emplace_back(entry->d_name);
  }
  return names;
}

std::vector<std::string> EntriesNamed(int directory, NameKind kind, const std::string& key) {
  std::vector<std::string> names = EntriesOfKind(directory, kind);
  std::erase_if(names, [&](const std::string& name) { return !IsNameFor(name, kind, key); });
  return names;
}

void RemoveStrayTemporaries(int directory, const std::string& target_path) {
  for (const std::string& name : EntriesNamed(directory, NameKind::Temporary, TargetKey(target_path))) {
    unlinkat(directory, name.c_str(), 0);
  }
}

TemporaryFile::TemporaryFile(int directory, const std::string& target_path)
    : directory_(directory),
      target_path_(target_path),
      fd_(openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)) {
  // An unnamed file is only of use where /proc can name it later.
  if (fd_.valid() && CanNameUnnamed(fd_.get())) return;
  fd_ = UniqueFd();
  std::string name = MakeName(NameKind::Temporary, target_path, TargetKey(target_path));
  cleanup_ = std::make_unique<SignalCleanup>(directory, name);
  fd_ = UniqueFd(openat(directory, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd_.valid()) throw EFileFailed(FileStep::Write, errno, "no temporary file can be made beside the file");
  name_ = std::move(name);
}

TemporaryFile::~TemporaryFile() {
  if (!name_.empty()) unlinkat(directory_, name_.c_str(), 0);
}

void TemporaryFile::Name() {
  if (!name_.empty()) return;
  // The cleanup is armed before the name exists, for a name not yet known:
  // arm it for each attempt.
  for (int attempt = 0; attempt < 16; ++attempt) {
    std::string name = MakeName(NameKind::Temporary, target_path_, TargetKey(target_path_));
    auto cleanup = std::make_unique<SignalCleanup>(directory_, name);
    const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
    if (linkat(AT_FDCWD, self.c_str(), directory_, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      name_ = std::move(name);
      cleanup_ = std::move(cleanup);
      return;
    }
    if (errno != EEXIST) break;
  }
  throw EFileFailed(FileStep::Commit, errno, "the new file cannot be named");
}

bool TemporaryFile::RenameOver(const std::string& target) {
  if (renameat(directory_, name_.c_str(), directory_, target.c_str()) != 0) return false;
  name_.clear();
  cleanup_.reset();
  return true;
}

}  // namespace tessvane
