// The pending-overwrite mark: an extended attribute on the target,
// user.tessvane.pending, set and flushed before the first byte of an
// in-place overwrite and removed once the new contents are on disk
// (in_place.h, invariants 1 and 2).
//
// It travels with the inode, whatever name the file has, and only those
// who may write the file can set or remove it, so its value is read as a
// claim, never as a path: "uid=N backup=NAME", N the user whose run was
// overwriting the file, in decimal, NAME a backup name of this tool's own
// form (names.h), a plain entry name looked up only in the tool's own
// places.  Anything else is a mark this tool did not make.
#pragma once

#include <sys/types.h>

#include <string>

namespace tessvane {

inline constexpr char PendingAttribute[] = "user.tessvane.pending";

// What the mark on a file says.
struct PendingMark {
  enum class State {
    None,        // no mark (or no extended attributes on this file system)
    Unreadable,  // the attribute exists but cannot be read: error_number
    Malformed,   // not a mark of this tool's form: value holds what it says
    Pending,     // an overwrite by owner, its backup named backup
  };
  State state = State::None;
  std::string value;        // the attribute's value (at most its first 4 KiB)
  int error_number = 0;
  uid_t owner = 0;
  std::string backup;
};

// The mark on the file open at fd.  Raises nothing but std::bad_alloc.
PendingMark ReadPendingMark(int fd);

// True when the file open at fd can carry the mark (its file system keeps
// user extended attributes); false with errno set otherwise.
bool CanCarryPendingMark(int fd);

// Sets the mark for this user and the backup backup_name on the file open
// at fd; false with errno set on failure.
bool SetPendingMarker(int fd, const std::string& backup_name);

// Removes the mark; true when none is left.
bool RemovePendingMarker(int fd);

// The command that removes the mark from the file at path, for a reason
// that tells the user how to get out once the file has been checked.
std::string MarkRemovalCommand(const std::string& path);

}  // namespace tessvane
