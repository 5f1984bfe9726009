// The identity of a file: see file_identity.h.
#include "file_identity.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace tessvane {
namespace {

// The kernel's FS_IOC_GETFSUUID (Linux 6.5), declared here because the C
// library's headers of older systems lack it; an older kernel answers
// ENOTTY and f_fsid names the file system instead.
struct FilesystemUuid {
  std::uint8_t length;
  std::uint8_t uuid[16];
};
constexpr unsigned long GetFilesystemUuid = _IOR(0x15, 0, FilesystemUuid);

void NameFilesystem(int fd, FileIdentity& identity) {
  FilesystemUuid uuid{};
  if (ioctl(fd, GetFilesystemUuid, &uuid) == 0 && uuid.length > 0 && uuid.length <= 16) {
    identity.filesystem[0] = 'u';
    std::memcpy(identity.filesystem.data() + 1, uuid.uuid, uuid.length);
    return;
  }
  struct statfs status {};
  if (fstatfs(fd, &status) != 0) return;
  identity.filesystem[0] = 'f';
  std::memcpy(identity.filesystem.data() + 1, &status.f_fsid, sizeof status.f_fsid);
}

}  // namespace

FileIdentity IdentityOf(int fd) noexcept {
  struct statx status {};
  if (statx(fd, "", AT_EMPTY_PATH, STATX_INO | STATX_BTIME, &status) != 0) return {};
  FileIdentity identity;
  identity.inode = status.stx_ino;
  if ((status.stx_mask & STATX_BTIME) != 0) {
    identity.birth_seconds = status.stx_btime.tv_sec;
    identity.birth_nanoseconds = status.stx_btime.tv_nsec;
  }
  int generation = 0;
  if (ioctl(fd, FS_IOC_GETVERSION, &generation) == 0) {
    identity.generation = static_cast<std::uint32_t>(generation);
  }
  NameFilesystem(fd, identity);
  return identity;
}

std::string IdentityText(const FileIdentity& identity) {
  std::string text;
  char part[40];
  for (const std::uint8_t byte : identity.filesystem) {
    std::snprintf(part, sizeof part, "%02x", byte);
    text += part;
  }
  std::snprintf(part, sizeof part, " %" PRIu64, identity.inode);
  text += part;
  std::snprintf(part, sizeof part, " %" PRId64 ".%09" PRIu32, identity.birth_seconds,
                identity.birth_nanoseconds);
  text += part;
  std::snprintf(part, sizeof part, " %" PRIu64, identity.generation);
  text += part;
  return text;
}

bool ParseIdentityText(const std::string& text, FileIdentity& identity) {
  FileIdentity parsed;
  const std::size_t hex = parsed.filesystem.size() * 2;
  if (text.size() < hex) return false;
  for (std::size_t i = 0; i < parsed.filesystem.size(); ++i) {
    unsigned value = 0;
    if (std::sscanf(text.c_str() + 2 * i, "%2x", &value) != 1) return false;
    parsed.filesystem[i] = static_cast<std::uint8_t>(value);
  }
  int used = 0;
  if (std::sscanf(text.c_str() + hex, " %" SCNu64 " %" SCNd64 ".%9" SCNu32 " %" SCNu64 "%n",
                  &parsed.inode, &parsed.birth_seconds, &parsed.birth_nanoseconds,
                  &parsed.generation, &used) != 4 ||
      hex + static_cast<std::size_t>(used) != text.size() || IdentityText(parsed) != text) {
    return false;
  }
  identity = parsed;
  return true;
}

}  // namespace tessvane
