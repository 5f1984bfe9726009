#!/bin/sh
# cmake --install into a temporary prefix gives exactly the executable and
# the manual page, and the installed executable works.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR TESSVANE MAKE_SAMPLE_PAGE
set -u
. "$(dirname "$0")/common.sh"
build=$1 source=$2 tessvane=$3 sample_tool=$4

cmake --install "$build" --prefix "$work/prefix" >/dev/null || fail "cmake --install failed"
installed=$(cd "$work/prefix" && find . ! -type d | sort | tr '\n' ' ')
[ "$installed" = "./bin/tessvane ./share/man/man1/tessvane.1 " ] ||
  fail "installed files: $installed"
[ -x "$work/prefix/bin/tessvane" ] || fail "the installed tessvane is not executable"
cmp -s "$work/prefix/share/man/man1/tessvane.1" "$source/docs/tessvane.1" ||
  fail "the installed manual page differs from docs/tessvane.1"

make_sample "$tessvane" "$sample_tool"
check_runs "$work/prefix/bin/tessvane"
