// Backups of files overwritten in place: see backup.h.
//
// Blocks: both contents are cut into 4 KiB blocks over the longer of the
// two lengths, a block past the end of the shorter one hashed as if it
// were zeros.  An overwrite (or a power cut in it) changes whole pages, so
// every block of a torn target is one or the other.
#include "backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "file_contents.h"
#include "file_failure.h"
#include "names.h"
#include "temporary_file.h"

namespace tessvane {
namespace {

constexpr std::size_t BlockSize = 4096;
constexpr std::uint64_t Magic[2] = {0x6e61767373657474ull, 0x70756b6361622065ull};  // "tessvane backup"
constexpr std::uint64_t ByteOrder = 0x0102030405060708ull;
constexpr std::size_t HeaderWords = sizeof(Backup::Header) / 8;
static_assert(sizeof(Backup::Header) == 15 * 8);

std::uint64_t Mix(std::uint64_t hash, std::uint64_t word) {
  hash = (hash ^ word) * 0xff51afd7ed558ccdull;
  return hash ^ (hash >> 32);
}

std::uint64_t BlockHash(const unsigned char* bytes, std::size_t size) {
  std::uint64_t hash = Mix(0x9e3779b97f4a7c15ull, size);
  for (std::size_t i = 0; i < size; i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, bytes + i, std::min<std::size_t>(8, size - i));
    hash = Mix(hash, word);
  }
  return hash;
}

// The hash of each block of the size bytes at offset of fd, over length
// bytes (zeros past size); nullopt when the file cannot be read whole.
std::optional<std::vector<std::uint64_t>> BlockHashes(int fd, off_t offset, off_t size,
                                                      off_t length) {
  std::vector<std::uint64_t> hashes;
  std::array<unsigned char, BlockSize> block;
  for (off_t start = 0; start < length; start += BlockSize) {
    block.fill(0);
    const off_t present = std::clamp<off_t>(size - start, 0, BlockSize);
    if (present > 0 &&
        ReadAt(fd, block.data(), static_cast<std::size_t>(present), offset + start) != present) {
      return std::nullopt;
    }
    hashes.push_back(
        BlockHash(block.data(), static_cast<std::size_t>(std::min<off_t>(BlockSize, length - start))));
  }
  return hashes;
}

// The hash of the block where new contents shorter than the old end, as an
// overwrite leaves it before the file is cut to length: new bytes up to
// new_size, old bytes after.  The new block's own hash where no such block
// exists.
std::optional<std::uint64_t> BoundaryHash(int target, int contents, off_t old_size, off_t new_size,
                                          const std::vector<std::uint64_t>& new_blocks) {
  const auto index = static_cast<std::size_t>(new_size / static_cast<off_t>(BlockSize));
  const off_t start = static_cast<off_t>(index * BlockSize);
  if (new_size >= old_size || new_size == start) {
    return index < new_blocks.size() ? new_blocks[index] : 0;
  }
  std::array<unsigned char, BlockSize> block{};
  const auto end = std::min<off_t>(start + static_cast<off_t>(BlockSize), old_size);
  const auto head = static_cast<std::size_t>(new_size - start);
  const auto tail = static_cast<std::size_t>(end - new_size);
  if (ReadAt(contents, block.data(), head, start) != static_cast<ssize_t>(head) ||
      ReadAt(target, block.data() + head, tail, new_size) != static_cast<ssize_t>(tail)) {
    return std::nullopt;
  }
  return BlockHash(block.data(), head + tail);
}

std::uint64_t HeaderCheck(const Backup::Header& header, const std::vector<std::uint64_t>& old_blocks,
                          const std::vector<std::uint64_t>& new_blocks) {
  std::uint64_t words[HeaderWords];
  std::memcpy(words, &header, sizeof header);
  std::uint64_t hash = 0;
  for (std::size_t i = 0; i + 1 < HeaderWords; ++i) hash = Mix(hash, words[i]);
  for (const std::uint64_t word : old_blocks) hash = Mix(hash, word);
  for (const std::uint64_t word : new_blocks) hash = Mix(hash, word);
  return hash;
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

// Opens the directory at path, making it and its missing parents with mode
// 0700 when create; each directory made is flushed in its parent before
// anything is put in it.  Invalid when it cannot be had.
UniqueFd OpenDirectoryPath(const std::string& path, bool create) {
  UniqueFd current(open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (std::size_t start = 1; current.valid() && start < path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty()) continue;
    UniqueFd next(openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!next.valid() && errno == ENOENT && create &&
        mkdirat(current.get(), part.c_str(), 0700) == 0) {
      if (!SyncDirectory(current.get())) return UniqueFd();
      next = UniqueFd(openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    current = std::move(next);
  }
  return current;
}

// The state directory at path when it is the user's alone; else invalid.
UniqueFd OpenStateDirectory(const std::string& path, bool create) {
  UniqueFd directory = OpenDirectoryPath(path, create);
  struct stat status;
  if (!directory.valid() || fstat(directory.get(), &status) != 0 ||
      status.st_uid != geteuid() || (status.st_mode & 022) != 0) {
    return UniqueFd();
  }
  return directory;
}

// Writes header, tables and the old contents of target into the file open
// at file; false with errno on failure.
bool WriteBackupFile(int file, const Backup::Header& header,
                     const std::vector<std::uint64_t>& old_blocks,
                     const std::vector<std::uint64_t>& new_blocks, int target) {
  const off_t tables = sizeof header;
  const off_t table_bytes = static_cast<off_t>(old_blocks.size() * 8);
  return CopyRange(target, 0, file, static_cast<off_t>(header.data_offset),
                   static_cast<off_t>(header.old_size)) &&
         WriteAt(file, old_blocks.data(), old_blocks.size() * 8, tables) &&
         WriteAt(file, new_blocks.data(), new_blocks.size() * 8, tables + table_bytes) &&
         WriteAt(file, &header, sizeof header, 0) && fsync(file) == 0;
}

// Writes the backup into directory under a fresh name, named only once it
// is whole and on disk where unnamed files exist, else created under its
// name with O_EXCL; the file open and its name, or invalid.
std::pair<UniqueFd, std::string> WriteInPlace(int directory, const std::string& target_path,
                                              const Backup::Header& header,
                                              const std::vector<std::uint64_t>& old_blocks,
                                              const std::vector<std::uint64_t>& new_blocks,
                                              int target) {
  UniqueFd file(openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file.valid()) {
    if (!WriteBackupFile(file.get(), header, old_blocks, new_blocks, target)) return {UniqueFd(), std::string()};
    std::string name = NameUnnamedFile(file.get(), directory, NameKind::Backup, target_path);
    if (!name.empty() && SyncDirectory(directory)) return {std::move(file), std::move(name)};
    if (!name.empty()) unlinkat(directory, name.c_str(), 0);
    if (errno != ENOENT) return {UniqueFd(), std::string()};
  }
  // No unnamed files here, or no /proc to name one: a named file whose
  // header only comes out whole once everything else is written.
  std::string name = MakeName(NameKind::Backup, target_path);
  file = UniqueFd(openat(directory, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return {UniqueFd(), std::string()};
  if (WriteBackupFile(file.get(), header, old_blocks, new_blocks, target) && SyncDirectory(directory)) {
    return {std::move(file), std::move(name)};
  }
  unlinkat(directory, name.c_str(), 0);
  return {UniqueFd(), std::string()};
}

// Reads and checks the header and tables of the backup open at file;
// nullopt when they are not whole.
struct Description {
  Backup::Header header;
  std::vector<std::uint64_t> old_blocks, new_blocks;
};
std::optional<Description> ReadDescription(int file, off_t file_size) {
  Description found{};
  if (ReadAt(file, &found.header, sizeof found.header, 0) != sizeof found.header) return std::nullopt;
  const Backup::Header& header = found.header;
  const std::uint64_t longer = std::max(header.old_size, header.new_size);
  if (header.magic[0] != Magic[0] || header.magic[1] != Magic[1] || header.byte_order != ByteOrder ||
      header.block_count != (longer + BlockSize - 1) / BlockSize ||
      header.data_offset < sizeof header + 16 * header.block_count ||
      header.data_offset + header.old_size != static_cast<std::uint64_t>(file_size)) {
    return std::nullopt;
  }
  found.old_blocks.resize(header.block_count);
  found.new_blocks.resize(header.block_count);
  const auto table = static_cast<std::size_t>(header.block_count * 8);
  if (ReadAt(file, found.old_blocks.data(), table, sizeof header) != static_cast<ssize_t>(table) ||
      ReadAt(file, found.new_blocks.data(), table, static_cast<off_t>(sizeof header + table)) !=
          static_cast<ssize_t>(table) ||
      HeaderCheck(header, found.old_blocks, found.new_blocks) != header.check) {
    return std::nullopt;
  }
  return found;
}

}  // namespace

FileIdentity IdentityOf(int fd) {
  struct statx status {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &status) != 0) return {};
  FileIdentity identity{makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino, 0, 0};
  if ((status.stx_mask & STATX_BTIME) != 0) {
    identity.birth_seconds = status.stx_btime.tv_sec;
    identity.birth_nanoseconds = status.stx_btime.tv_nsec;
  }
  return identity;
}

std::vector<BackupPlace> BackupPlaces(int beside, bool create) {
  std::vector<BackupPlace> places;
  if (beside >= 0) places.push_back({UniqueFd(fcntl(beside, F_DUPFD_CLOEXEC, 3))});
  if (const std::string user = UserStateDirectory(); !user.empty()) {
    if (UniqueFd directory = OpenStateDirectory(user, create); directory.valid()) {
      places.push_back({std::move(directory)});
    }
  }
  if (UniqueFd directory = OpenStateDirectory("/var/tmp/tessvane-" + std::to_string(geteuid()), create);
      directory.valid()) {
    places.push_back({std::move(directory)});
  }
  return places;
}

Backup::Backup(int directory, std::string name, UniqueFd file, Header header,
               std::vector<std::uint64_t> old_blocks, std::vector<std::uint64_t> new_blocks)
    : directory_(directory),
      name_(std::move(name)),
      file_(std::move(file)),
      header_(header),
      old_blocks_(std::move(old_blocks)),
      new_blocks_(std::move(new_blocks)) {}

Backup Backup::Make(const std::vector<BackupPlace>& places, const std::string& target_path,
                    int target, const struct stat& status, int contents) {
  const off_t new_size = FileSize(contents);
  const off_t longer = std::max(status.st_size, new_size);
  auto old_blocks = BlockHashes(target, 0, status.st_size, longer);
  auto new_blocks = BlockHashes(contents, 0, new_size, longer);
  const auto boundary = new_blocks ? BoundaryHash(target, contents, status.st_size, new_size, *new_blocks)
                                   : std::nullopt;
  if (new_size < 0 || !old_blocks || !new_blocks || !boundary) {
    throw EFileFailed(FileStep::Write, errno, "the file cannot be read for its backup");
  }
  const FileIdentity identity = IdentityOf(target);
  Header header{{Magic[0], Magic[1]}, ByteOrder, identity.device, identity.inode,
                static_cast<std::uint64_t>(identity.birth_seconds), identity.birth_nanoseconds,
                status.st_uid, geteuid(), static_cast<std::uint64_t>(status.st_size),
                static_cast<std::uint64_t>(new_size), old_blocks->size(), 0, *boundary, 0};
  const std::uint64_t tables_end = sizeof header + 16 * header.block_count;
  header.data_offset = (tables_end + BlockSize - 1) / BlockSize * BlockSize;
  header.check = HeaderCheck(header, *old_blocks, *new_blocks);
  for (const BackupPlace& place : places) {
    auto [file, name] = WriteInPlace(place.directory.get(), target_path, header, *old_blocks,
                                     *new_blocks, target);
    if (file.valid()) {
      return Backup(place.directory.get(), std::move(name), std::move(file), header,
                    std::move(*old_blocks), std::move(*new_blocks));
    }
  }
  throw EFileFailed(FileStep::Write, errno, "no place takes a backup of the file");
}

std::vector<FoundBackup> Backup::FindAll(const std::vector<BackupPlace>& places,
                                         const std::string& target_path, int target,
                                         const std::string& also_named) {
  std::vector<FoundBackup> found;
  const FileIdentity identity = IdentityOf(target);
  struct stat target_status;
  if (fstat(target, &target_status) != 0) return found;
  for (const BackupPlace& place : places) {
    std::vector<std::string> names = EntriesNamed(place.directory.get(), NameKind::Backup, target_path);
    struct stat named;
    if (!also_named.empty() && ParseName(also_named) &&
        std::find(names.begin(), names.end(), also_named) == names.end() &&
        fstatat(place.directory.get(), also_named.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0) {
      names.push_back(also_named);
    }
    for (const std::string& name : names) {
      FoundBackup entry{std::nullopt, place.directory.get(), name, {}, false};
      UniqueFd file(openat(place.directory.get(), name.c_str(),
                           O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
      struct stat status;
      if (!file.valid() || fstat(file.get(), &status) != 0) {
        entry.why_not = "cannot be opened";
      } else if (entry.ours = status.st_uid == geteuid(); !entry.ours) {
        entry.why_not = "is not ours";
      } else if (!S_ISREG(status.st_mode) || status.st_nlink != 1) {
        entry.why_not = "is not a plain file";
      } else if (auto description = ReadDescription(file.get(), status.st_size); !description) {
        entry.why_not = "is not whole";
        entry.unfinished = true;
      } else if (const Header& header = description->header;
                 FileIdentity{header.device, header.inode, static_cast<std::int64_t>(header.birth_seconds),
                              header.birth_nanoseconds} != identity ||
                 header.owner != target_status.st_uid || header.maker != geteuid()) {
        entry.why_not = "is of another file";
      } else {
        entry.backup = Backup(place.directory.get(), name, std::move(file), header,
                              std::move(description->old_blocks), std::move(description->new_blocks));
      }
      found.push_back(std::move(entry));
    }
  }
  return found;
}

Backup::Verdict Backup::Judge(int target) const {
  const off_t size = FileSize(target);
  const auto longer = static_cast<off_t>(std::max(header_.old_size, header_.new_size));
  const auto blocks = BlockHashes(target, 0, size, longer);
  if (size < 0 || !blocks) return Verdict::Foreign;
  const auto old_size = static_cast<off_t>(header_.old_size);
  const auto new_size = static_cast<off_t>(header_.new_size);
  if (size == old_size && *blocks == old_blocks_) return Verdict::Untouched;
  if (size != old_size && size != new_size && size != longer) return Verdict::Foreign;
  const std::size_t boundary_index = header_.new_size / BlockSize;
  for (std::size_t i = 0; i < blocks->size(); ++i) {
    const std::uint64_t block = (*blocks)[i];
    if (block != old_blocks_[i] && block != new_blocks_[i] &&
        !(i == boundary_index && block == header_.boundary)) {
      return Verdict::Foreign;
    }
  }
  return ContentsIntact() ? Verdict::Torn : Verdict::Foreign;
}

bool Backup::ContentsIntact() const {
  const auto old_size = static_cast<off_t>(header_.old_size);
  const auto longer = static_cast<off_t>(std::max(header_.old_size, header_.new_size));
  const auto blocks = BlockHashes(file_.get(), static_cast<off_t>(header_.data_offset), old_size, longer);
  return blocks && *blocks == old_blocks_;
}

bool Backup::RestoreTo(int target) const {
  const auto old_size = static_cast<off_t>(header_.old_size);
  return ContentsIntact() &&
         CopyRange(file_.get(), static_cast<off_t>(header_.data_offset), target, 0, old_size) &&
         ftruncate(target, old_size) == 0 && fsync(target) == 0;
}

bool Backup::Remove() const {
  return unlinkat(directory_, name_.c_str(), 0) == 0 && SyncDirectory(directory_);
}

std::string Backup::SetAside(int directory, const std::string& name, const std::string& target_path) {
  const std::string aside = MakeName(NameKind::SetAside, target_path);
  if (renameat2(directory, name.c_str(), directory, aside.c_str(), RENAME_NOREPLACE) != 0) return {};
  static_cast<void>(SyncDirectory(directory));
  return aside;
}

}  // namespace tessvane
