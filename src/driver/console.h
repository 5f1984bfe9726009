// The console side of the tool: the command line, the lines it prints,
// the pause for Enter and the report of a run-ending error.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "checked.h"

namespace tessvane {

// True when the command-line argument holds nothing: only characters of
// code 1 to 32 and empty pairs of double quotes.
bool IsBlankArgument(std::string_view argument);

// The first argument after the program name that is not blank, exactly as
// given (quotes are part of a file name here); none when there is none.
std::optional<std::string> FirstArgument(int argc, const char* const* argv);

// Writes text and CR LF to standard output; EInOutError if the write fails.
void WriteConsoleLine(std::string_view text);

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

// Makes descriptors 0, 1 and 2 valid, opening /dev/null on each that is
// closed, so that no file the run opens takes their place and receives
// console output or a library's diagnostics.  A console write to one that
// was closed still fails as it would have (EBADF).  Call first thing.
// False when /dev/null cannot be opened.
bool GuardStandardDescriptors() noexcept;

// Writes "tessvane: NAME: TEXT" and a line feed on standard error, as far
// as it can: a note beside the console's messages, never one of them.
void ReportOnStandardError(std::string_view name, std::string_view text) noexcept;

}  // namespace tessvane
