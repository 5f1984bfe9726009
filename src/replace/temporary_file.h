// TemporaryFile: the new file that becomes the target by rename, made in
// the target's directory (open as a descriptor; no path is resolved).
//
// It is opened unnamed (O_TMPFILE) where the file system allows, so that a
// run killed while writing leaves nothing behind, and given a name (by
// /proc/self/fd) only for the moment between linking and renaming.  Where
// it must be named from the start (no unnamed files, no /proc), it gets a
// fresh random name with O_EXCL, removed on every failure and on the usual
// termination signals (SIGHUP, SIGINT, SIGTERM, SIGQUIT).  A name a kill
// leaves behind is recognized by the next run on the target (names.h) and
// removed, whoever made it.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "names.h"
#include "unique_fd.h"

namespace tessvane {

class SignalCleanup;

// Gives the unnamed file open at fd a fresh name of kind with key for
// target_path in directory; that name, or empty with errno set (ENOENT: no
// /proc).
std::string NameUnnamedFile(int fd, int directory, NameKind kind, const std::string& target_path,
                            const std::string& key);

// The entries of the directory open at directory named as files of kind
// (with key); none when the directory cannot be listed.
std::vector<std::string> EntriesOfKind(int directory, NameKind kind);
std::vector<std::string> EntriesNamed(int directory, NameKind kind, const std::string& key);

// Removes the temporary files of target_path that killed runs left in
// directory, whoever owns them.  Call only while holding the target's
// lock, when no other run can be writing one.
void RemoveStrayTemporaries(int directory, const std::string& target_path);

class TemporaryFile {
 public:
  // Opens a temporary file in directory for target_path; EFileFailed
  // (Write) when none can be made.
  TemporaryFile(int directory, const std::string& target_path);
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();  // removes the file unless it was renamed

  int fd() const noexcept { return fd_.get(); }

  // Gives the file its name in the directory (a no-op when it has one);
  // EFileFailed(Commit) on failure.
  void Name();

  // Renames the named file over the entry target in the directory; false
  // with errno set on failure (the file then stays named, removed later).
  bool RenameOver(const std::string& target);

 private:
  int directory_;  // borrowed from the target
  std::string target_path_;
  std::string name_;  // empty while the file has no name
  std::unique_ptr<SignalCleanup> cleanup_;
  UniqueFd fd_;
};

}  // namespace tessvane
