// Safe replacement of the input file: see ReplaceWithTiff.
//
// The temporary file is opened unnamed (O_TMPFILE) where the file system
// allows, so that a run killed while encoding leaves nothing behind; it is
// given a name only for the moment between linking and renaming.  Where it
// must be named from the start, the name is removed on every failure and on
// the usual termination signals.
#include "safe_output.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string>
#include <utility>

namespace tessvane {
namespace {

// An owned file descriptor, closed on destruction.
class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

 private:
  int fd_;
};

// ---- libtiff output on a file descriptor -----------------------------------

// The descriptor libtiff writes to, and whether any of its writes failed.
struct Sink {
  int fd;
  bool failed = false;
};

tmsize_t SinkRead(thandle_t handle, void* buffer, tmsize_t size) {
  const ssize_t got = read(static_cast<Sink*>(handle)->fd, buffer, static_cast<std::size_t>(size));
  return got < 0 ? -1 : got;
}

tmsize_t SinkWrite(thandle_t handle, void* buffer, tmsize_t size) {
  auto* sink = static_cast<Sink*>(handle);
  const auto* bytes = static_cast<const char*>(buffer);
  const off_t start = lseek(sink->fd, 0, SEEK_CUR);
  tmsize_t done = 0;
  while (done < size) {
    const ssize_t written = write(sink->fd, bytes + done, static_cast<std::size_t>(size - done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      sink->failed = true;
      break;
    }
    done += written;
  }
  // Start writing the bytes to disk now, while the rest is being encoded,
  // so that the final flush has less to wait for.  Only a hint: the flush
  // checks every byte.
  if (start >= 0 && done > 0) sync_file_range(sink->fd, start, done, SYNC_FILE_RANGE_WRITE);
  return done;
}

toff_t SinkSeek(thandle_t handle, toff_t offset, int whence) {
  const off_t position = lseek(static_cast<Sink*>(handle)->fd, static_cast<off_t>(offset), whence);
  return position < 0 ? static_cast<toff_t>(-1) : static_cast<toff_t>(position);
}

int SinkClose(thandle_t) { return 0; }  // the descriptor stays with its owner

toff_t SinkSize(thandle_t handle) {
  struct stat status;
  if (fstat(static_cast<Sink*>(handle)->fd, &status) != 0) return 0;
  return static_cast<toff_t>(status.st_size);
}

int SinkMap(thandle_t, void**, toff_t*) { return 0; }
void SinkUnmap(thandle_t, void*, toff_t) {}

// Encodes a whole TIFF file into fd, directory included; false when encode,
// the library or any write fails.
bool EncodeInto(int fd, const char* name, const std::function<bool(TIFF*)>& encode) {
  Sink sink{fd};
  TiffHandle tiff(TIFFClientOpen(name, "w", &sink, SinkRead, SinkWrite, SinkSeek, SinkClose,
                                 SinkSize, SinkMap, SinkUnmap));
  if (!tiff) return false;
  const bool encoded =
      encode(tiff.get()) && TIFFWriteDirectory(tiff.get()) && TIFFFlush(tiff.get());
  tiff.reset();
  return encoded && !sink.failed;
}

// ---- file contents ---------------------------------------------------------

// Makes to hold exactly the bytes of from (both read and written by
// position); false with errno set on failure.
bool CopyContents(int from, int to) {
  constexpr std::size_t ChunkSize = 1 << 20;
  const std::unique_ptr<char[]> chunk(new char[ChunkSize]);
  off_t offset = 0;
  for (;;) {
    const ssize_t got = pread(from, chunk.get(), ChunkSize, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    for (ssize_t done = 0; done < got;) {
      const ssize_t written = pwrite(to, chunk.get() + done, static_cast<std::size_t>(got - done),
                                     offset + done);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return false;
      done += written;
    }
    offset += got;
  }
  return ftruncate(to, offset) == 0;
}

// Size of the file open at fd, or -1.
off_t FileSize(int fd) {
  struct stat status;
  return fstat(fd, &status) == 0 ? status.st_size : -1;
}

// ---- the temporary file ----------------------------------------------------

// The named temporary file to remove if a termination signal ends the run.
char pending_path[PATH_MAX + 1];
volatile std::sig_atomic_t pending = 0;
constexpr int CleanupSignals[] = {SIGHUP, SIGINT, SIGTERM, SIGQUIT};

extern "C" void RemovePendingAndDie(int signal_number) {
  if (pending) unlink(pending_path);
  static_cast<void>(std::signal(signal_number, SIG_DFL));
  static_cast<void>(raise(signal_number));
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

// A new file in directory that becomes target by rename.  Removed on
// destruction unless it was renamed.
class TemporaryFile {
 public:
  // Opens a temporary file in directory; invalid() when none can be made.
  TemporaryFile(const std::string& directory, const std::string& base)
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
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!name_.empty()) unlink(name_.c_str());
  }

  bool valid() const noexcept { return fd_.valid(); }
  int fd() const noexcept { return fd_.get(); }

  // Puts the file in place of target; false (the file discarded) on failure.
  bool RenameOver(const std::string& target) {
    if (name_.empty() && !LinkUnnamed()) return false;
    if (rename(name_.c_str(), target.c_str()) != 0) return false;
    name_.clear();
    cleanup_.reset();
    return true;
  }

 private:
  // Gives the unnamed file a name of its own in the directory.
  bool LinkUnnamed() {
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

  std::string directory_;
  std::string base_;
  std::string name_;  // empty while the file has no name
  std::unique_ptr<SignalCleanup> cleanup_;
  UniqueFd fd_;
};

// ---- deciding and replacing ------------------------------------------------

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

// Encodes into temp, flushes it and renames it over target.
OutputResult ReplaceByRename(TemporaryFile& temp, const std::string& target,
                             const std::string& directory, const char* name,
                             const std::function<bool(TIFF*)>& encode) {
  if (!EncodeInto(temp.fd(), name, encode) || fsync(temp.fd()) != 0 ||
      !temp.RenameOver(target) || !SyncDirectory(directory)) {
    return OutputResult::Failed;
  }
  return OutputResult::Done;
}

// Encodes the whole output in memory, then copies it over the target open
// at fd; on a failed copy the target gets its old bytes back.
OutputResult ReplaceInPlace(int fd, const char* name, const std::function<bool(TIFF*)>& encode) {
  const UniqueFd output(memfd_create("tessvane-output", MFD_CLOEXEC));
  const UniqueFd backup(memfd_create("tessvane-backup", MFD_CLOEXEC));
  if (!output.valid() || !backup.valid() || !EncodeInto(output.get(), name, encode) ||
      !CopyContents(fd, backup.get())) {
    return OutputResult::Failed;
  }
  // Reserve the space first, so that a full disk shows before the file is
  // touched.  File systems without reservation just skip this.
  const off_t size = FileSize(output.get());
  if (size < 0 || (fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, size) != 0 && errno != EOPNOTSUPP &&
                   errno != ENOSYS)) {
    return OutputResult::Failed;
  }
  if (CopyContents(output.get(), fd) && fsync(fd) == 0) return OutputResult::Done;
  CopyContents(backup.get(), fd);
  fsync(fd);
  return OutputResult::Failed;
}

}  // namespace

OutputResult ReplaceWithTiff(const char* path, const std::function<bool(TIFF*)>& encode) {
  const std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path, nullptr), &std::free);
  if (!resolved) return OutputResult::CannotOpen;
  const std::string target(resolved.get());
  const UniqueFd fd(open(target.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return OutputResult::CannotOpen;
  struct stat status;
  if (fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return OutputResult::Failed;

  const std::size_t slash = target.rfind('/');
  const std::string directory = slash == 0 ? "/" : target.substr(0, slash);
  const std::string base = target.substr(slash + 1);
  if (RenameKeepsFile(fd.get(), status)) {
    TemporaryFile temp(directory, base);
    if (temp.valid() && MatchOwnership(temp.fd(), status)) {
      return ReplaceByRename(temp, target, directory, path, encode);
    }
  }
  return ReplaceInPlace(fd.get(), path, encode);
}

}  // namespace tessvane
