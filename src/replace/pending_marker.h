// The pending-overwrite marker: an extended attribute on the target,
// user.tessvane.pending, set and flushed before the first byte of an
// in-place overwrite and removed once the new contents are on disk.
//
// It travels with the inode, whatever name the file has, and only those
// who may write the file can set or remove it.  Its value, "uid=N
// backup=NAME", names the user whose run was overwriting the file and the
// backup that run made.  A run of any other user that finds it refuses
// the file: only the owner's next run can find the backup (it may sit in
// that user's private state directory) and put the file right.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace tessvane {

inline constexpr char PendingAttribute[] = "user.tessvane.pending";

// The user named by the marker on the file open at fd; nullopt when there
// is none (or the file system keeps no extended attributes).  A marker
// that cannot be parsed names no user: uid −1.
std::optional<uid_t> PendingOwner(int fd);

// The backup named by the marker on the file open at fd; empty when there
// is no marker or it names none.
std::string PendingBackupName(int fd);

// Sets the marker for this user and the backup backup_name on the file
// open at fd; false with errno set on failure (ENOTSUP: no extended
// attributes here).
bool SetPendingMarker(int fd, const std::string& backup_name);

// Removes the marker; true when none is left.
bool RemovePendingMarker(int fd);

}  // namespace tessvane
