// Backups of files overwritten in place: see backup.h.
//
// Judging a target: its length must lie between the old and the new one;
// then each 4 KiB page of it must be the old bytes (zeros past the old
// end, where a longer file was first given its new length), or the new
// page whole, followed by old bytes or zeros where the new contents end
// inside the page, or zeros past the end of the shorter contents (where a
// restore lengthened the file before its write was on disk).  The old
// bytes are compared with the backup's own copy, byte for byte; the new
// ones by the hash of their page.
#include "backup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>

#include "backup_format.h"
#include "file_contents.h"
#include "file_failure.h"
#include "names.h"
#include "temporary_file.h"
#include "terminal_quote.h"

namespace tessvane {
namespace {

// Writes the header, table and old contents of target into the file open
// at file, flushing everything before the header and again after it;
// false with errno on failure.
bool WriteBackupFile(int file, const EncodedHeader& encoded, const BackupHeader& header, int target) {
  return CopyRange(target, 0, file, static_cast<off_t>(header.data_offset),
                   static_cast<off_t>(header.old_size)) &&
         WriteAt(file, encoded.table.data(), encoded.table.size(), BackupHeaderSize) &&
         fsync(file) == 0 && WriteAt(file, encoded.block.data(), encoded.block.size(), 0) &&
         fsync(file) == 0;
}

// Writes the backup into directory under a fresh name with key, named
// only once it is whole and on disk where unnamed files exist, else
// created under its name with O_EXCL; the file open and its name, or
// invalid with errno set.
std::pair<UniqueFd, std::string> WriteInPlace(int directory, const std::string& target_path,
                                              const std::string& key, const EncodedHeader& encoded,
                                              const BackupHeader& header, int target) {
  UniqueFd file(openat(directory, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
  if (file.valid()) {
    if (!WriteBackupFile(file.get(), encoded, header, target)) return {UniqueFd(), std::string()};
    std::string name = NameUnnamedFile(file.get(), directory, NameKind::Backup, target_path, key);
    if (!name.empty() && SyncDirectory(directory)) return {std::move(file), std::move(name)};
    const int error_number = errno;
    if (!name.empty()) unlinkat(directory, name.c_str(), 0);
    errno = error_number;
    if (errno != ENOENT) return {UniqueFd(), std::string()};
  }
  // No unnamed files here, or no /proc to name one: a named file whose
  // header only comes out once everything else is on disk.
  std::string name = MakeName(NameKind::Backup, target_path, key);
  file = UniqueFd(openat(directory, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return {UniqueFd(), std::string()};
  if (WriteBackupFile(file.get(), encoded, header, target) && SyncDirectory(directory)) {
    return {std::move(file), std::move(name)};
  }
  const int error_number = errno;
  unlinkat(directory, name.c_str(), 0);
  errno = error_number;
  return {UniqueFd(), std::string()};
}

// The reason a header problem gives, after "a backup ... ".
std::string WhyNot(HeaderProblem problem, const std::string& detail) {
  switch (problem) {
    case HeaderProblem::None: break;
    case HeaderProblem::Unfinished: return "was cut off while it was written";
    case HeaderProblem::NotABackup: return "is not a backup of this tool";
    case HeaderProblem::OtherFormat:
      return "is of format " + QuotedForTerminal(detail) + ", which this version does not restore";
    case HeaderProblem::Damaged: return "has a damaged header";
    case HeaderProblem::WrongLength: return "is not as long as its header says";
  }
  return {};
}

bool AllZeros(const unsigned char* bytes, std::size_t size) {
  return std::all_of(bytes, bytes + size, [](unsigned char byte) { return byte == 0; });
}

// How the page [start, end) of the target compares with the backup's old
// bytes (zeros past old_size) and with the new page's hash.
struct PageMatch {
  bool old_bytes = false;  // the old bytes
  bool new_page = false;   // the new page whole, then nothing past the new end
  bool explained = false;  // a state an overwrite or a restore leaves
};

PageMatch MatchPage(const unsigned char* page, off_t start, off_t end, const unsigned char* old_bytes,
                    const BackupHeader& header) {
  const auto size = static_cast<std::size_t>(end - start);
  const auto new_size = static_cast<off_t>(header.new_size);
  const auto shorter = static_cast<off_t>(std::min(header.old_size, header.new_size));
  PageMatch match;
  match.old_bytes = std::memcmp(page, old_bytes, size) == 0;
  match.explained = match.old_bytes || (start >= shorter && AllZeros(page, size));
  const off_t new_end = std::min<off_t>(start + static_cast<off_t>(BackupPageSize), new_size);
  if (start < new_size && end >= new_end) {
    const auto head = static_cast<std::size_t>(new_end - start);
    const bool head_new =
        PageHash(page, head) == header.new_pages[static_cast<std::size_t>(start) / BackupPageSize];
    match.new_page = head_new && head == size;
    match.explained = match.explained ||
                      (head_new && (std::memcmp(page + head, old_bytes + head, size - head) == 0 ||
                                    AllZeros(page + head, size - head)));
  }
  return match;
}

// Writes the old contents of the backup open at backup (from offset),
// zeros past old_size, over [0, length) of target, in writes of whole
// pages; false with errno on failure.
bool WriteOldExtended(int backup, off_t offset, off_t old_size, int target, off_t length) {
  const std::unique_ptr<unsigned char[]> chunk(new unsigned char[BackupReadSize]);
  for (off_t done = 0; done < length;) {
    const auto want = static_cast<std::size_t>(std::min<off_t>(length - done, BackupReadSize));
    const auto old_part = static_cast<std::size_t>(std::clamp<off_t>(old_size - done, 0, static_cast<off_t>(want)));
    std::memset(chunk.get() + old_part, 0, want - old_part);
    if (ReadAt(backup, chunk.get(), old_part, offset + done) != static_cast<ssize_t>(old_part)) {
      errno = EIO;
      return false;
    }
    if (!WriteAt(target, chunk.get(), want, done)) return false;
    done += static_cast<off_t>(want);
  }
  return true;
}

}  // namespace

Backup::Backup(int directory, std::string name, UniqueFd file, BackupHeader header)
    : directory_(directory), name_(std::move(name)), file_(std::move(file)), header_(std::move(header)) {}

Backup Backup::Make(const BackupPlaces& places, const std::string& target_path, int target,
                    const struct stat& status, int contents) {
  const off_t new_size = FileSize(contents);
  BackupHeader header;
  header.identity = IdentityOf(target);
  if (!Known(header.identity)) {
    throw EFileFailed(FileStep::Write, errno, "the file cannot be identified for its backup: " + ErrnoReason(errno));
  }
  header.path_key = TargetKey(target_path);
  header.owner = status.st_uid;
  header.maker = geteuid();
  header.old_size = static_cast<std::uint64_t>(status.st_size);
  header.new_size = static_cast<std::uint64_t>(std::max<off_t>(new_size, 0));
  const auto old_hash = HashOfRange(target, 0, status.st_size);
  auto new_pages = new_size >= 0 ? PageHashes(contents, new_size) : std::nullopt;
  if (!old_hash || !new_pages) {
    throw EFileFailed(FileStep::Write, errno, "the file cannot be read for its backup: " + ErrnoReason(errno));
  }
  header.old_hash = *old_hash;
  header.new_pages = std::move(*new_pages);
  const EncodedHeader encoded = EncodeBackupHeader(header);
  const std::string key = IdentityKey(header.identity);
  std::string reasons;
  for (const std::string& refused : places.refused) reasons += "; " + refused;
  for (const BackupPlace& place : places.usable) {
    auto [file, name] = WriteInPlace(place.directory.get(), target_path, key, encoded, header, target);
    if (file.valid()) return Backup(place.directory.get(), std::move(name), std::move(file), header);
    reasons += "; " + place.description + ": " + ErrnoReason(errno);
  }
  throw EFileFailed(FileStep::Write, 0, "no place takes a backup of the file" + reasons);
}

Backup::Found Backup::Open(int directory, const std::string& place, const std::string& name,
                           const FileIdentity& identity, uid_t owner, const std::string& target_path) {
  Found found;
  found.directory = directory;
  found.place = place;
  found.name = name;
  UniqueFd file(openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat status {};
  if (!file.valid() || fstat(file.get(), &status) != 0) {
    found.missing = errno == ENOENT;
    found.why_not = found.missing ? "is gone" : "cannot be opened: " + ErrnoReason(errno);
    return found;
  }
  found.ours = status.st_uid == geteuid();
  if (!found.ours) {
    found.why_not = "is not ours";
    return found;
  }
  if (!S_ISREG(status.st_mode) || status.st_nlink != 1 || (status.st_mode & 07777) != 0600) {
    found.why_not = !S_ISREG(status.st_mode) ? "is not a regular file"
                    : status.st_nlink != 1   ? "has " + std::to_string(status.st_nlink) + " links"
                                             : "has had its mode changed, so others may have written it";
    return found;
  }
  BackupHeader header;
  std::string detail;
  const HeaderProblem problem = DecodeBackupHeader(file.get(), status.st_size, header, detail);
  found.unfinished = problem == HeaderProblem::Unfinished;
  found.same_path = problem == HeaderProblem::None && header.path_key == TargetKey(target_path) &&
                    header.identity != identity;
  if (problem != HeaderProblem::None) {
    found.why_not = WhyNot(problem, detail);
  } else if (!Known(identity) || header.identity != identity || header.owner != owner ||
             header.maker != geteuid()) {
    found.why_not = "is of another file";
  } else if (HashOfRange(file.get(), static_cast<off_t>(header.data_offset),
                         static_cast<off_t>(header.old_size)) != header.old_hash) {
    found.why_not = "has damaged old contents";
  } else {
    found.backup = Backup(directory, name, std::move(file), std::move(header));
  }
  return found;
}

Backup::Verdict Backup::Judge(int target) const {
  const off_t size = FileSize(target);
  const auto old_size = static_cast<off_t>(header_.old_size);
  const auto new_size = static_cast<off_t>(header_.new_size);
  if (size < std::min(old_size, new_size) || size > std::max(old_size, new_size)) return Verdict::Foreign;
  const std::unique_ptr<unsigned char[]> now(new unsigned char[BackupReadSize]);
  const std::unique_ptr<unsigned char[]> old_bytes(new unsigned char[BackupReadSize]);
  bool untouched = size == old_size, whole_new = size == new_size;
  for (off_t done = 0; done < size;) {
    const auto want = static_cast<std::size_t>(std::min<off_t>(size - done, BackupReadSize));
    const auto old_part = static_cast<std::size_t>(std::clamp<off_t>(old_size - done, 0, static_cast<off_t>(want)));
    std::memset(old_bytes.get() + old_part, 0, want - old_part);
    if (ReadAt(target, now.get(), want, done) != static_cast<ssize_t>(want) ||
        ReadAt(file_.get(), old_bytes.get(), old_part, static_cast<off_t>(header_.data_offset) + done) !=
            static_cast<ssize_t>(old_part)) {
      return Verdict::Foreign;
    }
    for (std::size_t page = 0; page < want; page += BackupPageSize) {
      const std::size_t length = std::min(BackupPageSize, want - page);
      const off_t start = done + static_cast<off_t>(page);
      const PageMatch match = MatchPage(now.get() + page, start, start + static_cast<off_t>(length),
                                        old_bytes.get() + page, header_);
      if (!match.explained) return Verdict::Foreign;
      untouched = untouched && match.old_bytes;
      whole_new = whole_new && match.new_page;
    }
    done += static_cast<off_t>(want);
  }
  return untouched ? Verdict::Untouched : whole_new ? Verdict::New : Verdict::Torn;
}

bool Backup::RestoreTo(int target) const {
  const auto old_size = static_cast<off_t>(header_.old_size);
  const off_t length = std::max(old_size, FileSize(target));
  return WriteOldExtended(file_.get(), static_cast<off_t>(header_.data_offset), old_size, target, length) &&
         fsync(target) == 0 && ftruncate(target, old_size) == 0 && fsync(target) == 0;
}

bool Backup::Remove() const {
  return unlinkat(directory_, name_.c_str(), 0) == 0 && SyncDirectory(directory_);
}

std::string Backup::SetAside(int directory, const std::string& name) {
  const auto parsed = ParseName(name);
  if (!parsed) return {};
  const std::string aside = MakeName(NameKind::SetAside, parsed->stem, parsed->key);
  if (renameat2(directory, name.c_str(), directory, aside.c_str(), RENAME_NOREPLACE) != 0) return {};
  static_cast<void>(SyncDirectory(directory));
  return aside;
}

std::vector<Backup::Found> FindBackupsOf(const BackupPlaces& places, const FileIdentity& identity,
                                         const std::string& target_path, uid_t owner) {
  const std::string identity_key = IdentityKey(identity), path_key = TargetKey(target_path);
  const std::string stem = StemOf(target_path);  // what a backup of an earlier file here is named with
  std::vector<Backup::Found> found;
  for (const BackupPlace& place : places.usable) {
    if (!place.listable) continue;
    for (const std::string& name : EntriesOfKind(place.directory.get(), NameKind::Backup)) {
      const ParsedName parsed = *ParseName(name);
      const bool named_for_it = parsed.key == identity_key || parsed.key == path_key;
      if (!named_for_it && parsed.stem != stem) continue;
      Backup::Found entry = Backup::Open(place.directory.get(), place.description, name, identity, owner, target_path);
      if (named_for_it || entry.same_path) found.push_back(std::move(entry));
    }
  }
  return found;
}

Backup::Found FindNamedBackup(const BackupPlaces& places, const std::string& name,
                              const FileIdentity& identity, uid_t owner, const std::string& target_path) {
  std::optional<Backup::Found> first;
  for (const BackupPlace& place : places.usable) {
    struct stat status {};
    if (fstatat(place.directory.get(), name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 && errno == ENOENT) {
      continue;
    }
    Backup::Found found = Backup::Open(place.directory.get(), place.description, name, identity, owner, target_path);
    if (found.backup) return found;
    if (!first) first = std::move(found);
  }
  if (first) return std::move(*first);
  Backup::Found missing;
  missing.missing = true;
  missing.why_not = "is gone";
  missing.name = name;
  return missing;
}

}  // namespace tessvane
