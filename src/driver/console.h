// The console side of the tool: the command line, the lines it prints,
// the pause for Enter and the report of a run-ending error.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "checked.h"

namespace tessvane {

// True when the command-line argument holds nothing: only characters of
// code 1 to 32 and empty pairs of double quotes.
bool IsBlankArgument(std::string_view argument);

// The arguments after the program name that are not blank, in order and
// exactly as given (quotes are part of a file name here).
std::vector<std::string> PathArguments(int argc, const char* const* argv);

// Writes text and CR LF to standard output; EInOutError if the write fails.
void WriteConsoleLine(std::string_view text);

// Writes "tessvane: PATH: REASON" and a line feed to standard error, the
// reason a run on path failed or a notice of what it put right, the path
// quoted where it holds what a terminal would act on, as far as
// it can: a failure to say why must not hide the failure itself, which
// standard output and the exit code report.
void WriteFailureReason(std::string_view path, std::string_view reason) noexcept;

// Reads standard input up to a line feed, the end of input or a character
// 26, whichever comes first; EInOutError if a read fails.
void WaitForEnter();

// The report of a run-ending error, CR LF included:
// "Exception <class> in module <module> at <offset>.\n<message>[.]\r\n".
std::string ErrorReport(const ERunError& error, std::string_view module);

// The file name of the running executable, without its directory.
std::string ExecutableName();

// Writes text to standard output as far as it can; for the error report,
// which has nowhere else to go.
void WriteReport(std::string_view text) noexcept;

// For a batch of several files, where a failed write on standard output
// must not end the run: from this call on, the first such failure is told
// on standard error as "tessvane: standard output: REASON", standard
// output is not written again, and console writes return as if they had
// succeeded.  Without the call a failed write raises EInOutError (from
// WriteConsoleLine), as a run on one file does.
void KeepGoingWhenOutputFails() noexcept;

// Makes descriptors 0, 1 and 2 valid, opening /dev/null on each that is
// closed, so that no file the run opens takes their place and receives
// console output or a library's diagnostics.  A console write to one that
// was closed still fails as it would have (EBADF).  Call first thing.
// False when /dev/null cannot be opened.
bool GuardStandardDescriptors() noexcept;

}  // namespace tessvane
