// The guard over mappings of files: a page of a mapped file can vanish
// while the process reads it, when another program cuts the file short or
// the disk fails, and the system then stops the process with SIGBUS.
//
// While a range is guarded, such a fault replaces the whole range with
// zero pages, so that the access is retried and succeeds, and counts the
// loss.  Whoever reads through the mapping compares the count before and
// after, and treats a change as a failed read: the bytes it got are not
// the file's.  A fault outside every guarded range keeps the default
// action.  Process-wide; a few ranges at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessvane {

// Guards begin .. begin + size − 1, a mapping of a file.  False when every
// slot is taken or the handler cannot be installed; the range is then not
// guarded and should not be read through.
bool GuardFileView(void* begin, std::size_t size) noexcept;

// Ends the guard of the range that starts at begin; a range not guarded is
// ignored.
void UnguardFileView(void* begin) noexcept;

// How many guarded ranges have lost their pages since the process began.
std::uint32_t LostFileViews() noexcept;

}  // namespace tessvane
