// The pending-overwrite mark: see pending_marker.h.
#include "pending_marker.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <vector>

#include "names.h"
#include "terminal_quote.h"

namespace tessvane {
namespace {

constexpr std::size_t ValueLimit = 4096;

// The uid written as decimal digits without a sign or leading zeros, below
// the reserved value -1; false for anything else.
bool ParseUid(std::string_view digits, uid_t& uid) {
  if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) return false;
  unsigned long long value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value >= static_cast<uid_t>(-1)) return false;
  uid = static_cast<uid_t>(value);
  return true;
}

// Reads the mark's value into mark.value; the attribute's state.
PendingMark::State ReadValue(int fd, PendingMark& mark) {
  std::vector<char> value(ValueLimit);
  ssize_t size = fgetxattr(fd, PendingAttribute, value.data(), value.size());
  if (size < 0 && errno == ERANGE) {
    // Longer than any mark of ours: its beginning is enough to show.
    const ssize_t whole = fgetxattr(fd, PendingAttribute, nullptr, 0);
    if (whole > 0) value.resize(static_cast<std::size_t>(whole));
    size = fgetxattr(fd, PendingAttribute, value.data(), value.size());
    if (size > static_cast<ssize_t>(ValueLimit)) size = static_cast<ssize_t>(ValueLimit);
  }
  if (size < 0) {
    if (errno == ENODATA || errno == ENOTSUP) return PendingMark::State::None;
    mark.error_number = errno;
    return PendingMark::State::Unreadable;
  }
  mark.value.assign(value.data(), static_cast<std::size_t>(size));
  return PendingMark::State::Malformed;
}

}  // namespace

PendingMark ReadPendingMark(int fd) {
  PendingMark mark;
  mark.state = ReadValue(fd, mark);
  if (mark.state != PendingMark::State::Malformed) return mark;
  const std::string_view text = mark.value;
  constexpr std::string_view UidField = "uid=", BackupField = " backup=";
  const std::size_t backup_at = text.find(BackupField);
  if (text.substr(0, UidField.size()) != UidField || backup_at == std::string_view::npos ||
      !ParseUid(text.substr(UidField.size(), backup_at - UidField.size()), mark.owner)) {
    return mark;
  }
  const std::string_view name = text.substr(backup_at + BackupField.size());
  const auto parsed = ParseName(name);
  if (!parsed || parsed->kind != NameKind::Backup) return mark;
  mark.backup = std::string(name);
  mark.state = PendingMark::State::Pending;
  return mark;
}

bool CanCarryPendingMark(int fd) {
  char probe;
  return fgetxattr(fd, PendingAttribute, &probe, 0) >= 0 || (errno != ENOTSUP && errno != EOPNOTSUPP);
}

bool SetPendingMarker(int fd, const std::string& backup_name) {
  const std::string value = "uid=" + std::to_string(geteuid()) + " backup=" + backup_name;
  return fsetxattr(fd, PendingAttribute, value.data(), value.size(), 0) == 0;
}

bool RemovePendingMarker(int fd) {
  return fremovexattr(fd, PendingAttribute) == 0 || errno == ENODATA || errno == ENOTSUP;
}

std::string MarkRemovalCommand(const std::string& path) {
  return std::string("setfattr -x ") + PendingAttribute + " " + ShellQuoted(path);
}

}  // namespace tessvane
