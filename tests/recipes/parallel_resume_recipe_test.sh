#!/bin/sh
# The README's GNU parallel recipe with --bar, --joblog and --resume-failed,
# as printed: the first run clears every good file, leaves the broken one
# untouched, exits with 1 and logs the one failure; once the broken file is
# mended, the same command reruns that file alone and exits with 0.  The bar
# reaches 100% on standard error.
# Usage: parallel_resume_recipe_test.sh SOURCE_DIR TESSVANE MAKE_SAMPLE_PAGE
set -u
. "$(dirname "$0")/common.sh"
require parallel:parallel sort:coreutils

make_scans
readme_recipe 'sort -z'
log=$work/run/tessvane.log

# exit_status_of FILE: the exit status the job log gives for the file's
# latest run (column 7; the command, column 9, is "tessvane FILE" quoted).
exit_status_of() {
  awk -F '\t' -v file="$1" 'NR > 1 && index($9, file) { status = $7 } END { print status }' "$log"
}

# The .tiff page is not selected by this recipe: the tree has four good
# .tif pages and the broken one.
reset_scans
broken_inode=$(inode "$work/run/$broken") page_inode=$(inode "$work/run/$name_1")
run_recipe "$recipe" >/dev/null 2>"$work/bar"
status=$?
[ "$status" -eq 1 ] || fail "the first run exited with $status, not 1 (one failed run)"
check_scans "the first run" tif-only
[ "$(inode "$work/run/$broken")" = "$broken_inode" ] || fail "the first run replaced the broken file"
# A cleared file is a new one, so an unchanged inode below means "not rerun".
[ "$(inode "$work/run/$name_1")" != "$page_inode" ] || fail "clearing kept the file's inode"
[ "$(awk 'NR > 1' "$log" | wc -l)" -eq 5 ] || fail "the job log does not list 5 runs: $(cat "$log")"
[ "$(awk -F '\t' 'NR > 1 && $7 != 0' "$log" | wc -l)" -eq 1 ] &&
  [ "$(exit_status_of "broken one.tif")" = 1 ] ||
  fail "the job log does not give the broken file alone as failed: $(cat "$log")"
tr '\r' '\n' <"$work/bar" | grep -q '^.*100% 5:0=' ||
  fail "no progress bar reaching 100% of 5 runs on standard error: $(cat "$work/bar")"

# Mend the broken file with page 1; remember the inodes of the cleared ones,
# which a rerun would replace.
cp "$work/orig/$name_1" "$work/run/$broken"
inodes_before=$(for n in 1 2 3 4; do eval "inode \"$work/run/\$name_$n\""; done)
run_recipe "$recipe" >/dev/null 2>&1
status=$?
[ "$status" -eq 0 ] || fail "the resumed run exited with $status"
cmp -s "$work/expect/1.tif" "$work/run/$broken" || fail "the resumed run did not clear the mended file"
inodes_after=$(for n in 1 2 3 4; do eval "inode \"$work/run/\$name_$n\""; done)
[ "$inodes_before" = "$inodes_after" ] || fail "the resumed run replaced files that had succeeded"
[ "$(awk 'NR > 1' "$log" | wc -l)" -eq 6 ] && [ "$(exit_status_of "broken one.tif")" = 0 ] ||
  fail "the job log does not end with one successful rerun: $(cat "$log")"
for n in 1 2 3 4; do
  eval "name=\$name_$n"
  cmp -s "$work/expect/$n.tif" "$work/run/$name" || fail "the resumed run changed $name"
done
