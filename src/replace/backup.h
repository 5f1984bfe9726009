// Backup: a flushed, self-describing copy of a file's old contents, kept
// while the file is overwritten in place, so that the next run of the same
// user can put back a file that a killed run left torn.
//
// A backup starts with a header: the target's identity (device, inode and
// birth time), its owner, the backup's maker, the old and new sizes, and a
// hash of every 4 KiB block of the old and of the new contents; the old
// contents follow.  A backup is trusted only when it is a regular file of
// the running user with one link, its header is whole and its identity is
// the target's; it is restored only when the target is, block by block,
// exactly the old or the new contents (the torn state an overwrite leaves;
// the block where shorter new contents end may hold both, in that order);
// any other is set aside under a name of its own and never restored.
//
// Places, in the order tried: beside the target, where its directory can
// be flushed and entries removed; the user's state directory
// ($XDG_STATE_HOME/tessvane, else $HOME/.local/state/tessvane); else
// /var/tmp/tessvane-UID.  State directories are the user's own (mode 0700,
// used only when nobody else may write them), and each directory made for
// them is flushed in its parent.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "unique_fd.h"

namespace tessvane {

// What stays the same for a file across renames and only for that file: a
// reused inode number has a new birth time.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t birth_seconds = 0;  // 0 where the file system keeps none
  std::uint64_t birth_nanoseconds = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file open at fd; zeros when it cannot be had.
FileIdentity IdentityOf(int fd);

// A directory a backup may live in.
struct BackupPlace {
  UniqueFd directory;
};

// The places for backups of a target whose directory is open at beside
// (invalid: not a place), in the order tried.  create: make the state
// directory when missing.
std::vector<BackupPlace> BackupPlaces(int beside, bool create);

struct FoundBackup;

class Backup {
 public:
  // What the target is, measured against a backup.
  enum class Verdict {
    Untouched,  // exactly the old contents
    Torn,       // every block old or new, the new contents whole included:
                // restore the old, and the run makes the new again
    Foreign,    // anything else: not this backup's to restore
  };

  // Saves the contents of the target (open at target, at target_path, with
  // status) in the first place that takes it, with the description of the
  // new contents open at contents; flushed and named.  EFileFailed(Write)
  // when no place takes it.
  static Backup Make(const std::vector<BackupPlace>& places, const std::string& target_path,
                     int target, const struct stat& status, int contents);

  // Every file in places named as a backup of target_path, or named
  // also_named (the backup a pending-overwrite mark names, made while the
  // file had another path), judged against the target open at target.
  static std::vector<FoundBackup> FindAll(const std::vector<BackupPlace>& places,
                                          const std::string& target_path, int target,
                                          const std::string& also_named);

  // The target open at target measured against this backup.
  Verdict Judge(int target) const;

  // Puts the old contents back over the target open at target (read and
  // write) and flushes it; false on failure.
  bool RestoreTo(int target) const;

  // Removes the backup and flushes its directory; false on failure.
  bool Remove() const;

  const std::string& name() const noexcept { return name_; }

  // Renames the entry name in directory to a set-aside name for
  // target_path; that name, or empty when it cannot be renamed.
  static std::string SetAside(int directory, const std::string& name,
                              const std::string& target_path);

  // The fixed part of the header, in the maker's byte order.
  struct Header {
    std::uint64_t magic[2];
    std::uint64_t byte_order;
    std::uint64_t device, inode, birth_seconds, birth_nanoseconds;
    std::uint64_t owner;  // the target's
    std::uint64_t maker;  // the user whose run made the backup
    std::uint64_t old_size, new_size, block_count;
    std::uint64_t data_offset;  // where the old contents start
    std::uint64_t boundary;     // hash of the block holding the new end: new
                                // bytes, then old ones (a shorter file before
                                // it is cut to its new length)
    std::uint64_t check;        // hash of all of the above and both tables
  };

 private:
  Backup(int directory, std::string name, UniqueFd file, Header header,
         std::vector<std::uint64_t> old_blocks, std::vector<std::uint64_t> new_blocks);
  bool ContentsIntact() const;

  int directory_;  // borrowed from its place, which outlives the backup
  std::string name_;
  UniqueFd file_;
  Header header_;
  std::vector<std::uint64_t> old_blocks_;  // hash of each 4 KiB block
  std::vector<std::uint64_t> new_blocks_;
};

// A file named as a backup of a target that an interrupted run left, and
// whether it is one to trust.
struct FoundBackup {
  std::optional<Backup> backup;  // set when trusted
  int directory = -1;            // its place's directory
  std::string name;
  std::string why_not;           // set when not trusted
  bool ours = false;             // the running user's file: may be set aside
  bool unfinished = false;       // ours, cut off while it was written: the
                                 // target was never touched, so it goes
};

}  // namespace tessvane
