#!/bin/sh
# The manual page formats without warnings, and `man -l` shows every console
# message and error report the sources can print, so that a message added to
# the code cannot go undocumented.
# Usage: manual_page_test.sh SOURCE_DIR
set -u
. "$(dirname "$0")/common.sh"
source=$1 page=$1/docs/tessvane.1
for tool in groff man; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

warnings=$(groff -ww -z -man "$page" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"

# The rendered text as one line: hyphenated words joined, line breaks and
# runs of spaces made single spaces.
export LC_ALL=C MANWIDTH=80
man -l "$page" >"$work/page.txt" 2>/dev/null || fail "man -l failed"
text=$(sed -e ':a' -e 'N' -e '$!ba' -e 's/-\n *//g' -e 's/\n/ /g' -e 's/  */ /g' "$work/page.txt")

# Extracts the string literals of one kind from the sources, one a line:
# literals PATTERN FILE..., where PATTERN matches the text before the quote.
literals() {
  pattern=$1
  shift
  grep -ho "$pattern\"[^\"]*\"" "$@" | sed -e 's/^[^"]*"//' -e 's/"$//' -e 's/ *$//'
}
literals 'WriteConsoleLine(' "$source"/src/driver/*.cpp >"$work/console"
literals '\(override { return \|Name\[\] = \)' "$source"/src/base/checked.h >"$work/classes"
literals 'Text\[\] = ' "$source"/src/base/checked.h >"$work/reports"
literals 'return ' "$source"/src/base/checked.cpp >"$work/io"

# A refactoring that hides the messages from these patterns must fail here,
# not pass with nothing checked.
[ "$(wc -l <"$work/console")" -ge 4 ] && [ "$(wc -l <"$work/classes")" -ge 4 ] &&
  [ "$(wc -l <"$work/reports")" -ge 3 ] && [ "$(wc -l <"$work/io")" -ge 6 ] ||
  fail "the messages were not found in src/; update this test"

missing=0
while IFS= read -r message; do
  case $text in
    *"$message"*) ;;
    *) echo "not in the manual page: $message" >&2; missing=1 ;;
  esac
done <<END
$(cat "$work/console" "$work/classes" "$work/reports" "$work/io")
Exception
in module
END
[ $missing -eq 0 ] || fail "the manual page misses messages"
