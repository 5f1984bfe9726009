// IoStatus: how a step that reads or writes a file ended, short of a
// run-ending error.  The one status vocabulary inside the code; the reader
// and the writer turn it into their signed 32-bit result at their boundary.
#pragma once

#include <cstdint>

namespace tessvane {

enum class IoStatus {
  Done,        // the file was processed (read whole, or replaced and on disk)
  CannotOpen,  // the file could not be opened; nothing was done
  Failed,      // opened, but not an image this tool can process, could not be
               // decoded, or could not be replaced safely; the file is unchanged
};

// The reader's and writer's result for status: 1 done, −1 cannot open, 0
// for every other failure.  Anything but 1 ends the run with a message.
constexpr std::int32_t StatusCode(IoStatus status) {
  switch (status) {
    case IoStatus::Done: return 1;
    case IoStatus::CannotOpen: return -1;
    case IoStatus::Failed: break;
  }
  return 0;
}

// The result of a reader or writer that succeeded.
inline constexpr std::int32_t StatusDone = StatusCode(IoStatus::Done);

}  // namespace tessvane
