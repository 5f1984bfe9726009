// The temporary file of a replacement and its removal on termination
// signals: see temporary_file.h.
//
// Invariant: while a named temporary file exists, its name is in
// pending_path and pending is set, so a termination signal removes it
// before the process ends.
#include "temporary_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <utility>

namespace tessvane {
namespace {

// The named temporary file to remove if a termination signal ends the run.
char pending_path[PATH_MAX + 1];
volatile std::sig_atomic_t pending = 0;
constexpr int CleanupSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGQUIT};

extern "C" void RemovePendingAndDie(int signal_number) {
  if (pending) unlink(pending_path);
  static_cast<void>(std::signal(signal_number, SIG_DFL));
  static_cast<void>(raise(signal_number));
}

// A name for a temporary file beside base: hidden, marked as ours, random.
std::string TemporaryName(const std::string& directory, const std::string& base) {
  unsigned char random[6];
  if (getrandom(random, sizeof random, 0) != sizeof random) {
    const auto seed = static_cast<unsigned long>(getpid()) ^ static_cast<unsigned long>(clock());
    std::memcpy(random, &seed, sizeof random);
  }
  static const char Hex[] = "0123456789abcdef";
  std::string name = directory + "/." + base.substr(0, 200) + ".tessvane-";
  for (unsigned char byte : random) {
    name += Hex[byte >> 4];
    name += Hex[byte & 15];
  }
  return name;
}

// True when entry is a name TemporaryName makes for base.
bool IsTemporaryName(const std::string& entry, const std::string& base) {
  const std::string prefix = "." + base.substr(0, 200) + ".tessvane-";
  if (entry.size() != prefix.size() + 12 || entry.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  return entry.find_first_not_of("0123456789abcdef", prefix.size()) == std::string::npos;
}

}  // namespace

void RemoveStaleTemporaries(const std::string& directory, const std::string& base) {
  struct CloseDirectory {
    void operator()(DIR* entries) const noexcept { closedir(entries); }
  };
  const std::unique_ptr<DIR, CloseDirectory> entries(opendir(directory.c_str()));
  if (!entries) return;
  while (const dirent* entry = readdir(entries.get())) {
    struct stat status;
    if (IsTemporaryName(entry->d_name, base) &&
        fstatat(dirfd(entries.get()), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(status.st_mode) && status.st_uid == geteuid()) {
      unlinkat(dirfd(entries.get()), entry->d_name, 0);
    }
  }
}

// While alive, a termination signal removes path before the process ends.
class SignalCleanup {
 public:
  explicit SignalCleanup(const std::string& path) {
    if (path.size() >= sizeof pending_path) return;
    std::memcpy(pending_path, path.c_str(), path.size() + 1);
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

TemporaryFile::TemporaryFile(const std::string& directory, const std::string& base)
    : directory_(directory),
      base_(base),
      fd_(open(directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)) {
  if (fd_.valid()) return;
  name_ = TemporaryName(directory, base);
  cleanup_ = std::make_unique<SignalCleanup>(name_);
  fd_ = UniqueFd(open(name_.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0600));
  if (!fd_.valid()) {
    cleanup_.reset();
    name_.clear();
  }
}

TemporaryFile::~TemporaryFile() {
  if (!name_.empty()) unlink(name_.c_str());
}

bool TemporaryFile::RenameOver(const std::string& target) {
  if (name_.empty() && !LinkUnnamed()) return false;
  if (rename(name_.c_str(), target.c_str()) != 0) return false;
  name_.clear();
  cleanup_.reset();
  return true;
}

// Gives the unnamed file a name of its own in the directory.
bool TemporaryFile::LinkUnnamed() {
  const std::string self = "/proc/self/fd/" + std::to_string(fd_.get());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = TemporaryName(directory_, base_);
    auto cleanup = std::make_unique<SignalCleanup>(name);
    if (linkat(AT_FDCWD, self.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      name_ = std::move(name);
      cleanup_ = std::move(cleanup);
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace tessvane
