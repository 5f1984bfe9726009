// Console input and output on the raw descriptors: each line is written
// whole before the call returns, so nothing is pending when a run ends, and
// every failure is reported with the errno that caused it.  In a batch of
// several files a failure on standard output is told once on standard
// error instead, and the batch goes on without standard output.
#include "console.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <new>

#include "file_failure.h"
#include "terminal_quote.h"

namespace tessvane {
namespace {

constexpr char EndOfInputCharacter = 26;

// The standard descriptors that were closed when the run started and now
// stand on /dev/null; the console treats them as closed still.
bool closed_at_start[3] = {false, false, false};

// Set for a batch: a failed write on standard output ends nothing.  Set
// too once that failure has been told, standard output being given up.
bool keep_going_when_output_fails = false;
bool output_lost = false;

// Writes all of text to descriptor fd; false with errno set on failure.
bool WriteAll(int fd, std::string_view text) noexcept {
  if (fd <= STDERR_FILENO && closed_at_start[fd]) {
    errno = EBADF;
    return false;
  }
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Tells on standard error, once, that standard output failed with
// error_number, and gives standard output up for the rest of the run.
void LoseOutput(int error_number) noexcept {
  if (output_lost) return;
  output_lost = true;
  try {
    const std::string line = "tessvane: standard output: " + ErrnoReason(error_number) + "\n";
    static_cast<void>(WriteAll(STDERR_FILENO, line));
  } catch (const std::bad_alloc&) {
  }
}

// Writes text to standard output for the console; false with errno set
// when the write failed and that failure ends the run.
bool WriteOutput(std::string_view text) noexcept {
  if (output_lost) return true;
  if (WriteAll(STDOUT_FILENO, text)) return true;
  if (!keep_going_when_output_fails) return false;
  LoseOutput(errno);
  return true;
}

}  // namespace

bool IsBlankArgument(std::string_view argument) {
  std::size_t i = 0;
  while (i < argument.size()) {
    const auto c = static_cast<unsigned char>(argument[i]);
    if (c >= 1 && c <= 32) {
      ++i;
    } else if (c == '"' && i + 1 < argument.size() && argument[i + 1] == '"') {
      i += 2;
    } else {
      return false;
    }
  }
  return true;
}

std::vector<std::string> PathArguments(int argc, const char* const* argv) {
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    if (!IsBlankArgument(argv[i])) paths.emplace_back(argv[i]);
  }
  return paths;
}

void WriteConsoleLine(std::string_view text) {
  std::string line(text);
  line += "\r\n";
  if (!WriteOutput(line)) RaiseInOutError(errno);
}

void WriteFailureReason(std::string_view path, std::string_view reason) noexcept {
  try {
    std::string line = "tessvane: ";
    line += QuotedForTerminal(path);
    line += ": ";
    line += reason;
    line += '\n';
    static_cast<void>(WriteAll(STDERR_FILENO, line));
  } catch (const std::bad_alloc&) {
  }
}

void WaitForEnter() {
  if (closed_at_start[STDIN_FILENO]) RaiseInOutError(EBADF);
  char c;
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, &c, 1);
    if (got < 0) {
      if (errno == EINTR) continue;
      RaiseInOutError(errno);
    }
    if (got == 0 || c == '\n' || c == EndOfInputCharacter) return;
  }
}

std::string ErrorReport(const ERunError& error, std::string_view module) {
  char offset[32];
  static_cast<void>(std::snprintf(offset, sizeof offset, "%08llX",
                                  static_cast<unsigned long long>(error.Offset())));
  std::string report = "Exception ";
  report += error.ClassName();
  report += " in module ";
  report += module;
  report += " at ";
  report += offset;
  report += ".\n";
  report += error.Message();
  if (!error.Message().empty() && error.Message().back() != '.') report += '.';
  report += "\r\n";
  return report;
}

std::string ExecutableName() {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return program_invocation_short_name;
  const std::string_view full(path, static_cast<std::size_t>(length));
  return std::string(full.substr(full.rfind('/') + 1));
}

void WriteReport(std::string_view text) noexcept {
  static_cast<void>(WriteOutput(text));
}

void KeepGoingWhenOutputFails() noexcept {
  keep_going_when_output_fails = true;
}

bool GuardStandardDescriptors() noexcept {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free descriptor is fd itself, the ones below being open.
    if (open("/dev/null", O_RDWR) != fd) return false;
    closed_at_start[fd] = true;
  }
  return true;
}

}  // namespace tessvane
