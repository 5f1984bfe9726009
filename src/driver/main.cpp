// tessvane: whitens the dark regions joined to the border of an 8-bit
// grayscale TIFF and divides the rest by its background, rewriting the file
// in place.
//
// Usage: tessvane FILE.tif...
//
// Each file named is cleared in turn, as a run of its own: its lock, its
// read, the clearing of every page, its write.  A failure on one file
// prints its line on standard output (or the report of a run-ending error)
// and its reason on standard error, and the next file is cleared all the
// same.  Nothing is printed on success; the exit code is 1 when any file
// failed.  Only a run given a single argument pauses for Enter after a
// usage message: a batch must never wait.  Nor does a batch end when its
// standard output fails (a closed descriptor, a pipe whose reader has gone,
// a full disk): that is said once on standard error and every later file
// is still cleared, while one file's run ends with the error report.
#include <cctype>
#include <csignal>
#include <new>
#include <string>
#include <vector>

#include "checked.h"
#include "console.h"
#include "file_failure.h"
#include "run_sequence.h"

namespace {

using namespace tessvane;

// The reason a run-ending error gives on standard error: its message text
// in lower case, "integer overflow".
std::string RunErrorReason(const ERunError& error) {
  std::string reason = error.Message();
  if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
  return reason;
}

// Clears the file at path and reports a failure on both streams; true when
// the file was cleared.  A run-ending error inside the file's run ends
// that run only.  EInOutError when the console fails.
bool ClearNamedFile(const std::string& path) {
  try {
    const char* const name = path.c_str();
    TMyImage image;
    ClearFile(name, image);
    return true;
  } catch (const EFileFailed& failure) {
    if (IsReadStep(failure.Step())) {
      WriteConsoleLine("image read error");
    } else {
      WriteConsoleLine("image write error");
    }
    WriteFailureReason(path, failure.Reason());
  } catch (const ERunError& error) {
    WriteReport(ErrorReport(error, ExecutableName()));
    WriteFailureReason(path, RunErrorReason(error));
  } catch (const std::bad_alloc&) {
    const EOutOfMemory error(0);
    WriteReport(ErrorReport(error, ExecutableName()));
    WriteFailureReason(path, RunErrorReason(error));
  }
  return false;
}

// The run's steps; returns the exit code or ends through a run-ending error
// outside any file's run.
int Run(int argc, const char* const* argv) {
  const std::vector<std::string> paths = PathArguments(argc, argv);
  if (paths.empty()) {
    WriteConsoleLine("Tessvane v.0.0 alpha");
    WriteConsoleLine("______12.06.06._______________");
    WaitForEnter();
    return 1;
  }
  if (paths.size() > 1) KeepGoingWhenOutputFails();
  bool all_cleared = true;
  for (const std::string& path : paths) {
    if (path.find(".tif") == std::string::npos) {
      WriteConsoleLine("No TIFF file!");
      WriteFailureReason(path, "the name does not contain \".tif\"");
      if (paths.size() == 1) WaitForEnter();
      all_cleared = false;
    } else if (!ClearNamedFile(path)) {
      all_cleared = false;
    }
  }
  return all_cleared ? 0 : 1;
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
