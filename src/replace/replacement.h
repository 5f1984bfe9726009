// Replacement: the new contents of a Target put in place of the old as one
// transaction: begin (decide how, open the descriptor the new contents go
// to), write, Commit; an uncommitted replacement leaves nothing behind.
//
// Two ways, decided before anything is written:
//  - by rename: a temporary file in the target's directory, given the
//    target's owner, mode and extended attributes (ACLs included), flushed,
//    named and renamed over the target's entry; the directory is flushed.
//    Taken when the rename keeps the owner (the user's own file, or root),
//    the directory can be flushed (opened for reading) and entries can be
//    removed from it (not append-only).  Other hard links keep the old
//    contents, as with sed -i.
//  - in place: the new contents are made in memory, then written over the
//    target's own inode behind a flushed backup and a mark, as in_place.h
//    lays out; a run cut off in between leaves the backup and the mark,
//    from which the same user's next run puts the file back (recovery.h).
//
// Commit only what was read: just before the rename, and again before the
// first overwritten byte, the target's entry must still name the locked
// file, unchanged since it was read (Target::CheckUnchanged).
//
// Never report failure after success: everything the commit needs is had
// before the rename; once the file is replaced, what fails after (the
// directory's flush, removing the backup) becomes a notice, not a failure.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "target.h"
#include "unique_fd.h"

namespace tessvane {

class TemporaryFile;

class Replacement {
 public:
  // Begins replacing target, which must outlive the replacement.
  // EFileFailed(Write) when the file can be replaced neither way.
  explicit Replacement(const Target& target);
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement();  // an uncommitted replacement is discarded

  // Where the new contents go: an empty file, read and write, at 0.
  int fd() const noexcept;

  // Puts what was written to fd() in place of the target's contents, on
  // disk.  EFileFailed(Commit or Write), the target unchanged, when the
  // target changed since it was read or the new contents cannot be put in
  // place.
  void Commit();

  // What the run should tell the user on standard error after the commit.
  const std::vector<std::string>& notices() const noexcept { return notices_; }

 private:
  bool BeginByRename();
  void CommitByRename();
  void CommitInPlace();

  const Target& target_;
  std::unique_ptr<TemporaryFile> temporary_;  // by rename
  UniqueFd memory_;                           // in place
  bool backups_beside_ = false;
  std::vector<std::string> notices_;
};

}  // namespace tessvane
