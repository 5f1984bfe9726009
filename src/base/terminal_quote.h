// Names made safe to print on a terminal.
//
// A file name, a directory entry or an attribute's value can hold any
// byte but NUL and (for names) '/'.  Printed raw, an escape sequence would
// drive the user's terminal and a line feed would forge another line of
// the report.  A name that holds a control character (C0, DEL, C1) or
// bytes that are not UTF-8 is written as GNU coreutils writes it with
// `ls --quoting-style=shell-escape`: in single quotes, each run of such
// bytes as $'...' with C escapes or three octal digits, so that pasted
// into bash it names the same file.  Any other name is left as it is;
// ShellQuoted quotes every text that way, for a command to be pasted.
#pragma once

#include <string>
#include <string_view>

namespace tessvane {

// text as it may go to a terminal: unchanged when it holds only printable
// UTF-8, else quoted as above.  Raises nothing but std::bad_alloc.
std::string QuotedForTerminal(std::string_view text);

// text in single quotes whatever it holds, its unprintable bytes as above:
// one word that bash reads back as text, as `ls
// --quoting-style=shell-escape-always` writes it (which puts a printable
// name with a single quote in double quotes instead).  Raises nothing but
// std::bad_alloc.
std::string ShellQuoted(std::string_view text);

}  // namespace tessvane
