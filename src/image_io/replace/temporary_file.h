// TemporaryFile: the new file that becomes the target by rename.
//
// It is opened unnamed (O_TMPFILE) where the file system allows, so that a
// run killed while writing leaves nothing behind; it is given a name only
// for the moment between linking and renaming.  Where it must be named from
// the start, the name is removed on every failure and on the usual
// termination signals (SIGHUP, SIGINT, SIGTERM, SIGQUIT).
#pragma once

#include <memory>
#include <string>

#include "unique_fd.h"

namespace tessvane {

class SignalCleanup;

// Removes the user's temporary files for the target named base in
// directory that a run killed between naming and renaming one left
// behind.  Call only while holding the target's lock, when no other run
// can be writing one.
void RemoveStaleTemporaries(const std::string& directory, const std::string& base);

class TemporaryFile {
 public:
  // Opens a temporary file in directory, for the target named base there;
  // valid() is false when none can be made.
  TemporaryFile(const std::string& directory, const std::string& base);
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile();  // removes the file unless it was renamed

  bool valid() const noexcept { return fd_.valid(); }
  int fd() const noexcept { return fd_.get(); }

  // Puts the file in place of target; false (the file discarded) on failure.
  bool RenameOver(const std::string& target);

 private:
  bool LinkUnnamed();

  std::string directory_;
  std::string base_;
  std::string name_;  // empty while the file has no name
  std::unique_ptr<SignalCleanup> cleanup_;
  UniqueFd fd_;
};

}  // namespace tessvane
