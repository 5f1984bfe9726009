// EFileFailed: why a run on one file failed short of a run-ending error,
// carried from the failing check to the run sequence.
//
// It names the step that failed, the system's errno when a system call
// failed (0 otherwise) and the reason in a few lower-case words, as
// standard error shows it after "tessvane: PATH: ".  Whoever raises it
// guarantees that the user's file is unchanged: a failure is only ever
// raised before the new contents are committed, never after.
#pragma once

#include <cctype>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

namespace tessvane {

// The step of a run on one file.  Lock and Read failures are reported as
// "image read error", Write and Commit failures as "image write error".
enum class FileStep {
  Lock,    // opening the file and taking the run's lock on it
  Read,    // reading, checking and decoding the image
  Write,   // encoding the new contents and making the new file
  Commit,  // putting the new file in place of the old one
};

constexpr bool IsReadStep(FileStep step) {
  return step == FileStep::Lock || step == FileStep::Read;
}

class EFileFailed : public std::exception {
 public:
  EFileFailed(FileStep step, int error_number, std::string reason)
      : step_(step), error_number_(error_number), reason_(std::move(reason)) {}
  FileStep Step() const noexcept { return step_; }
  int ErrorNumber() const noexcept { return error_number_; }
  const std::string& Reason() const noexcept { return reason_; }
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  FileStep step_;
  int error_number_;
  std::string reason_;
};

// The system's text for errno error_number with a lower-case first letter,
// as a reason: "permission denied", "no space left on device".
inline std::string ErrnoReason(int error_number) {
  std::string text = std::strerror(error_number);
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

}  // namespace tessvane
