// FileIdentity: what names one file for as long as it exists, whatever its
// path, and survives the disk being mounted again under another device
// number (a USB disk plugged in again, a loop device attached again, an
// LVM or NFS remount).
//
// It is the file system's own identity, the inode number, the birth time
// and the inode's generation.  The file system is named by its UUID where
// the kernel gives it (FS_IOC_GETFSUUID: ext4, XFS, tmpfs, ...), else by
// statfs's f_fsid (btrfs: from its UUID and the subvolume; ext4: from the
// UUID; on XFS and FAT without the UUID ioctl it is the device number, so a
// remount there makes the file another file).  A reused inode number has a
// new birth time and generation.  A copy of a file, on the same disk or
// another, is another file: a backup of the original is never restored
// over it.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace tessvane {

struct FileIdentity {
  std::array<std::uint8_t, 17> filesystem{};  // 'u' + UUID, or 'f' + f_fsid + zeros
  std::uint64_t inode = 0;
  std::int64_t birth_seconds = 0;       // 0 where the file system keeps none
  std::uint32_t birth_nanoseconds = 0;
  std::uint64_t generation = 0;         // 0 where the file system tells none
  bool operator==(const FileIdentity&) const = default;
};

// The identity of the file open at fd; an identity of zeros when it cannot
// be had.  Raises nothing.
FileIdentity IdentityOf(int fd) noexcept;

// False for the identity of zeros, which names no file: nothing is matched
// by it.
inline bool Known(const FileIdentity& identity) {
  return identity.filesystem[0] != 0 && identity.inode != 0;
}

// The identity as one line of text, and back; false when text is not one.
std::string IdentityText(const FileIdentity& identity);
bool ParseIdentityText(const std::string& text, FileIdentity& identity);

}  // namespace tessvane
