// Extended attributes copied between open files: see extended_attributes.h.
//
// Lists and values are read in two steps (size, then contents); one that
// grew in between is read again.
#include "extended_attributes.h"

#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "pending_marker.h"

namespace tessvane {
namespace {

// The names of the extended attributes of the file open at fd; nullopt on
// failure.  None where the file system has no extended attributes.  The
// pending-overwrite mark is not among them.
std::optional<std::vector<std::string>> AttributeNames(int fd) {
  for (;;) {
    const ssize_t size = flistxattr(fd, nullptr, 0);
    if (size < 0) {
      if (errno == ENOTSUP) return std::vector<std::string>{};
      return std::nullopt;
    }
    std::string list(static_cast<std::size_t>(size), '\0');
    const ssize_t got = flistxattr(fd, list.data(), list.size());
    if (got < 0 && errno == ERANGE) continue;
    if (got < 0) return std::nullopt;
    std::vector<std::string> names;
    for (std::size_t start = 0; start < static_cast<std::size_t>(got);) {
      const std::size_t end = list.find('\0', start);
      // The pending-overwrite mark belongs to the file being overwritten,
      // never to its replacement.
      if (list.compare(start, end - start, PendingAttribute) != 0) {
        names.push_back(list.substr(start, end - start));
      }
      start = end + 1;
    }
    return names;
  }
}

// The value of the attribute name of the file open at fd; nullopt on
// failure.
std::optional<std::string> AttributeValue(int fd, const std::string& name) {
  for (;;) {
    const ssize_t size = fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) return std::nullopt;
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (got < 0 && errno == ERANGE) continue;
    if (got < 0) return std::nullopt;
    value.resize(static_cast<std::size_t>(got));
    return value;
  }
}

}  // namespace

bool CopyExtendedAttributes(int from, int to) {
  const auto wanted = AttributeNames(from);
  const auto present = AttributeNames(to);
  if (!wanted || !present) return false;
  // A new file may have inherited attributes (a directory's default ACL)
  // that the old one did not have.
  for (const std::string& name : *present) {
    if (std::find(wanted->begin(), wanted->end(), name) == wanted->end() &&
        fremovexattr(to, name.c_str()) != 0) {
      return false;
    }
  }
  for (const std::string& name : *wanted) {
    const auto value = AttributeValue(from, name);
    if (!value || fsetxattr(to, name.c_str(), value->data(), value->size(), 0) != 0) return false;
  }
  return true;
}

}  // namespace tessvane
