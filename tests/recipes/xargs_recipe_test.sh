#!/bin/sh
# The xargs and find -exec recipes of the README and the manual page, as
# printed, on a tree whose names hold spaces, quotes and a newline, with one
# broken file and a planted link: xargs exits with 123 and find with 1,
# every good file is what a single run makes of it, and the broken one, the
# link and the file it points at are untouched.  The failed-file list names exactly the broken
# file; the originals-keeping recipe clears the copy and leaves the originals.
# Usage: xargs_recipe_test.sh SOURCE_DIR TESSVANE MAKE_SAMPLE_PAGE
set -u
. "$(dirname "$0")/common.sh"
require find:findutils xargs:findutils nproc:coreutils

make_scans

# run_xargs WHAT RECIPE [tif-only [STATUS]]: the recipe on a fresh tree
# exits with STATUS (123 unless given) and clears the tree; the broken file
# keeps its inode too.
run_xargs() {
  reset_scans
  broken_inode=$(inode "$work/run/$broken")
  run_recipe "$2" >"$work/output"
  status=$?
  [ "$status" -eq "${4-123}" ] || fail "$1 exited with $status, not ${4-123}"
  check_scans "$1" "${3-}"
  [ "$(inode "$work/run/$broken")" = "$broken_inode" ] || fail "$1 replaced the broken file"
}

readme_recipe "-name '*.tiff'"
run_xargs "the README's xargs recipe" "$recipe"
# One failure message for the one broken file, nothing else on the console.
printf 'image read error\r\n' | cmp -s - "$work/output" ||
  fail "the README's xargs recipe printed: $(cat "$work/output")"
man_recipe 'xargs'
run_xargs "the manual page's xargs recipe" "$recipe" tif-only

# find -exec with several files a run: find exits with 1 for the failure.
readme_recipe '-exec tessvane'
run_xargs "the README's find -exec recipe" "$recipe" tif-only 1
printf 'image read error\r\n' | cmp -s - "$work/output" ||
  fail "the README's find -exec recipe printed: $(cat "$work/output")"
man_recipe '-exec tessvane'
run_xargs "the manual page's find -exec recipe" "$recipe" tif-only 1

# The failed-file list, on a fresh tree: exactly the broken file's name.
readme_recipe 'failed.txt'
run_xargs "the README's failed-file recipe" "$recipe" tif-only
printf '%s\n' "$broken" | cmp -s - "$work/run/failed.txt" ||
  fail "the failed-file list holds: $(cat "$work/run/failed.txt")"

# Keeping originals: scans stays as it was, scans-clean is cleared.
readme_recipe 'scans-clean'
reset_scans
run_recipe "$recipe" >/dev/null 2>&1
status=$?
[ "$status" -eq 123 ] || fail "the originals-keeping recipe exited with $status, not 123"
diff -r "$work/orig/scans" "$work/run/scans" >/dev/null || fail "the originals-keeping recipe changed scans"
rm -rf "$work/run/scans"
mv "$work/run/scans-clean" "$work/run/scans"
check_scans "the originals-keeping recipe" tif-only
