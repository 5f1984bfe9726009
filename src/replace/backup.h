// Backup: a flushed, self-describing copy of a file's old contents, kept
// while the file is overwritten in place, so that the next run of the same
// user can put back a file that a cut-off run left torn (in_place.h).
//
// A backup is a header of plain text, a table, then the old contents:
//
//   tessvane backup
//   format 1
//   old contents at byte 8193: tail -c +8193 THIS-FILE > OLD-FILE
//   old size 123456
//   new size 98765
//   file IDENTITY                      (file_identity.h)
//   path key 16 HEX                    the key of its path then (names.h)
//   owner 1000                         the target's
//   maker 1000                         the user whose run made the backup
//   old hash 32 HEX                    XXH3-128 of the old contents
//   new page hashes at byte 4096: 25 of 4096 bytes each
//   check 16 HEX                       XXH3-64 of the lines above and the table
//
// The text is padded with NULs to 4096 bytes; the table holds the XXH3-64
// of each 4 KiB page of the new contents (the last one as long as the
// contents are), 8 bytes each, little-endian; the old contents start at
// the next multiple of 4096.  The header is written last and the file is
// flushed before it, so a backup whose first byte is NUL was cut off while
// it was written.
//
// A backup is trusted only when it is a regular file of the running user
// of mode 0600 (as it was made: no other user can have written it) with
// one link, its header is whole, of this format and in canonical form,
// names the target's identity (a known one), owner and this user as
// maker, the file is exactly as long as the header says and its old
// contents hash as the header says.  Judge then tells whether the target
// is a state that a cut-off overwrite or restore by it leaves (in_place.h,
// invariant 3).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "backup_places.h"
#include "file_identity.h"
#include "unique_fd.h"

namespace tessvane {

// What a backup says of itself.
struct BackupHeader {
  FileIdentity identity;
  std::string path_key;  // TargetKey of the target's path when it was made
  std::uint64_t owner = 0, maker = 0;
  std::uint64_t old_size = 0, new_size = 0;
  std::uint64_t data_offset = 0;  // where the old contents start
  std::array<std::uint8_t, 16> old_hash{};
  std::vector<std::uint64_t> new_pages;
};

class Backup {
 public:
  // What the target is, measured against a backup.
  enum class Verdict {
    Untouched,  // exactly the old contents
    New,        // exactly the new contents: the overwrite got to its end
    Torn,       // another state a cut-off overwrite or restore leaves
    Foreign,    // anything else: changed by someone else, not to restore
  };

  // Saves the contents of the target (open at target, at target_path, with
  // status) in the first of places that takes it, with the description of
  // the new contents open at contents; flushed and named.
  // EFileFailed(Write) when the files cannot be read or no place takes it,
  // saying why of each place (refused lists the places found unfit).
  static Backup Make(const BackupPlaces& places, const std::string& target_path, int target,
                     const struct stat& status, int contents);

  // The backup named name in directory (place names the place), checked
  // as above against the target of identity and owner at target_path.
  struct Found;
  static Found Open(int directory, const std::string& place, const std::string& name,
                    const FileIdentity& identity, uid_t owner, const std::string& target_path);

  // The target open at target measured against this backup.
  Verdict Judge(int target) const;

  // Puts the old contents back over the target open at target (read and
  // write), at their length, and flushes it; false with errno on failure.
  // Every state on the way is one Judge calls torn: the old contents,
  // zeros past their end, are written over the whole length first, in
  // writes that each cover whole pages, and flushed; only then is the file
  // cut to the old length.
  bool RestoreTo(int target) const;

  // Removes the backup and flushes its directory; false on failure.
  bool Remove() const;

  const std::string& name() const noexcept { return name_; }
  std::uint64_t data_offset() const noexcept { return header_.data_offset; }

  // Renames the entry name in directory to a set-aside name with the same
  // key; that name, or empty when it cannot be renamed.
  static std::string SetAside(int directory, const std::string& name);

 private:
  Backup(int directory, std::string name, UniqueFd file, BackupHeader header);

  int directory_;  // borrowed from its place, which outlives the backup
  std::string name_;
  UniqueFd file_;
  BackupHeader header_;
};

// A file named as a backup, and whether it is one to trust.
struct Backup::Found {
  std::optional<Backup> backup;  // set when trusted
  int directory = -1;
  std::string place;             // its place, as the user knows it
  std::string name;
  std::string why_not;           // set when not trusted: "is not ours", ...
  bool ours = false;             // the running user's file: may be set aside
  bool unfinished = false;       // ours, cut off while it was written
  bool missing = false;          // no such entry
  bool same_path = false;        // its header names the target's path, and another file
};

// Every backup in the listable places named for the target of identity (or
// for its path, as older versions named them), and every one made at the
// target's path for an earlier file there, checked as Backup::Open does.
std::vector<Backup::Found> FindBackupsOf(const BackupPlaces& places, const FileIdentity& identity,
                                         const std::string& target_path, uid_t owner);

// The backup name, trusted, in the first place that has it so; else what
// the first place that has such an entry makes of it; missing set when
// none has.
Backup::Found FindNamedBackup(const BackupPlaces& places, const std::string& name,
                              const FileIdentity& identity, uid_t owner, const std::string& target_path);

}  // namespace tessvane
