// The pending-overwrite marker: see pending_marker.h.
#include "pending_marker.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace tessvane {

std::optional<uid_t> PendingOwner(int fd) {
  char value[512];
  const ssize_t size = fgetxattr(fd, PendingAttribute, value, sizeof value - 1);
  if (size < 0) {
    if (errno == ERANGE) return static_cast<uid_t>(-1);
    return std::nullopt;  // none, or no extended attributes here
  }
  value[size] = '\0';
  if (std::string_view(value).substr(0, 4) != "uid=") return static_cast<uid_t>(-1);
  char* end = nullptr;
  const unsigned long owner = std::strtoul(value + 4, &end, 10);
  if (end == value + 4 || (*end != ' ' && *end != '\0')) return static_cast<uid_t>(-1);
  return static_cast<uid_t>(owner);
}

std::string PendingBackupName(int fd) {
  char value[512];
  const ssize_t size = fgetxattr(fd, PendingAttribute, value, sizeof value);
  if (size < 0) return {};
  const std::string_view text(value, static_cast<std::size_t>(size));
  const std::size_t start = text.find(" backup=");
  return start == std::string_view::npos ? std::string() : std::string(text.substr(start + 8));
}

bool SetPendingMarker(int fd, const std::string& backup_name) {
  const std::string value = "uid=" + std::to_string(geteuid()) + " backup=" + backup_name;
  return fsetxattr(fd, PendingAttribute, value.data(), value.size(), 0) == 0;
}

bool RemovePendingMarker(int fd) {
  return fremovexattr(fd, PendingAttribute) == 0 || errno == ENODATA || errno == ENOTSUP;
}

}  // namespace tessvane
