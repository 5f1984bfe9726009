// The raise helpers of the checked arithmetic and the texts of console
// errors.
#include "checked.h"

#include <cerrno>

// First byte of the executable's image, set by the linker; the load address
// that error locations are measured from (PIE or not).  The name is the
// linker's, hence reserved.
extern "C" const char __executable_start;  // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace tessvane {
namespace {

// Offset of a code address from the executable's load address.
std::uintptr_t OffsetInExecutable(const void* address) {
  return reinterpret_cast<std::uintptr_t>(address) -
         reinterpret_cast<std::uintptr_t>(&__executable_start);
}

}  // namespace

EInOutError::EInOutError(int errno_value, std::uintptr_t offset)
    : ERunError(InOutErrorText(errno_value), offset) {}

// Each helper reads its own return address, which lies in the code that made
// the failing check; noinline keeps that call real.
[[gnu::noinline]] void RaiseRangeError() {
  throw ERangeError(OffsetInExecutable(__builtin_return_address(0)));
}

[[gnu::noinline]] void RaiseIntOverflow() {
  throw EIntOverflow(OffsetInExecutable(__builtin_return_address(0)));
}

[[gnu::noinline]] void RaiseOutOfMemory() {
  throw EOutOfMemory(OffsetInExecutable(__builtin_return_address(0)));
}

[[gnu::noinline]] void RaiseInOutError(int errno_value) {
  throw EInOutError(errno_value, OffsetInExecutable(__builtin_return_address(0)));
}

// The errors a console user can act on have texts of their own; every other
// errno is reported by its number.
std::string InOutErrorText(int errno_value) {
  switch (errno_value) {
    case ENOENT: return "File not found";
    case ENOTDIR:
    case ENAMETOOLONG: return "Invalid filename";
    case EMFILE:
    case ENFILE: return "Too many open files";
    case EACCES:
    case EPERM: return "File access denied";
    case ENOSPC:
    case EDQUOT: return "Disk full";
    default: return "I/O error " + std::to_string(errno_value);
  }
}

}  // namespace tessvane
