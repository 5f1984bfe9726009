// tessvane: whitens the dark regions joined to the border of an 8-bit
// grayscale TIFF and divides the rest by its background, rewriting the file
// in place.
//
// Usage: tessvane FILE.tif
//
// The run is one pass: read the image, build the border marker, lower it by
// reconstruction, map the image through the ratio to the marker, write the
// file back.  Nothing is printed on success.  Every failure prints one line
// (or the report of a run-ending error) on standard output and exits with 1.
#include <csignal>
#include <new>
#include <optional>
#include <string>

#include "checked.h"
#include "console.h"
#include "run_sequence.h"

namespace {

using namespace tessvane;

// The run's steps; returns the exit code or ends through a run-ending error.
int Run(int argc, const char* const* argv) {
  const std::optional<std::string> argument = FirstArgument(argc, argv);
  if (!argument) {
    WriteConsoleLine("Tessvane v.0.0 alpha");
    WriteConsoleLine("______12.06.06._______________");
    WaitForEnter();
    return 1;
  }
  if (argument->find(".tif") == std::string::npos) {
    WriteConsoleLine("No TIFF file!");
    WaitForEnter();
    return 1;
  }
  const char* const name = argument->c_str();
  TMyImage image;
  switch (ClearFile(name, image)) {
    case RunOutcome::Cleared: return 0;
    case RunOutcome::ReadFailed: WriteConsoleLine("image read error"); break;
    case RunOutcome::WriteFailed: WriteConsoleLine("image write error"); break;
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything is opened: a closed 0, 1 or 2 must not become the
  // user's file, or console output and libtiff's diagnostics would land in
  // it.
  if (!GuardStandardDescriptors()) return 1;
  // A closed pipe and a file-size limit become failed writes with an errno,
  // reported like any other, instead of killing the process.
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  try {
    return Run(argc, argv);
  } catch (const ERunError& error) {
    WriteReport(ErrorReport(error, ExecutableName()));
  } catch (const std::bad_alloc&) {
    WriteReport(ErrorReport(EOutOfMemory(0), ExecutableName()));
  }
  return 1;
}
