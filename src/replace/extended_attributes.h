// Copying a file's extended attributes onto its replacement.  POSIX access
// control lists are extended attributes too (system.posix_acl_access), so
// they travel the same way, as with cp --preserve=all.
#pragma once

namespace tessvane {

// Gives the file open at to exactly the extended attributes of the file
// open at from: each of from's copied, any other of to's removed, except
// the pending-overwrite mark (pending_marker.h), which is never copied.  False
// when one cannot be read, set or removed.  A file system without extended
// attributes has none.
bool CopyExtendedAttributes(int from, int to);

}  // namespace tessvane
