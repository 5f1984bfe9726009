#!/bin/sh
# The README's multi-page recipe, as printed: a 3-page file comes back with
# its 3 pages in order, each with the pixels a single run of tessvane makes
# of that page on its own, and its permissions kept.  A file with a page
# tessvane refuses stays byte for byte as it was, with its inode, the
# recipe fails, standard error names the page and why, and no temporary
# file is left beside it.
# Usage: multi_page_recipe_test.sh SOURCE_DIR TESSVANE MAKE_SAMPLE_PAGE
set -u
. "$(dirname "$0")/common.sh"
require tiffcp:libtiff-tools tiffinfo:libtiff-tools tiff2rgba:libtiff-tools

readme_recipe 'every page of a multi-page file'

# pixels FILE: each page's size and decoded samples, in page order, as
# libtiff's tiffinfo dumps them (strip boundaries left out).
pixels() {
  tiffinfo -d "$1" 2>/dev/null | grep -E '^=== TIFF directory|^  Image Width|^ [0-9a-f]{2}( |$)' |
    sed 's/directory [0-9]*/directory/'
}

# Three pages of different sizes, strip layouts and compressions, and each
# one's single-run result.
mkdir "$work/pages"
for n in 1 2 3; do
  "$sample_tool" "$work/pages/$n.tif" $((200 + 20 * n)) $((260 - 15 * n)) $((16 * n)) \
    "$([ "$n" = 2 ] && echo none || echo lzw)" >/dev/null || fail "cannot make page $n"
  cp "$work/pages/$n.tif" "$work/pages/$n-expect.tif"
  "$tessvane" "$work/pages/$n-expect.tif" </dev/null || fail "a single run failed on page $n"
  pixels "$work/pages/$n-expect.tif" >>"$work/expected-pixels"
done
tiffcp "$work/pages/1.tif" "$work/pages/2.tif" "$work/pages/3.tif" "$work/run/scan.tif" ||
  fail "cannot join the pages"
chmod 640 "$work/run/scan.tif"

run_recipe "$recipe" >/dev/null || fail "the recipe failed on a 3-page file"
[ "$(tiffinfo "$work/run/scan.tif" 2>/dev/null | grep -c '^=== TIFF directory')" = 3 ] ||
  fail "the result does not have 3 pages"
pixels "$work/run/scan.tif" | cmp -s - "$work/expected-pixels" ||
  fail "the pages are not the single runs' results, in order"
[ "$(stat -c %a "$work/run/scan.tif")" = 640 ] || fail "the recipe changed the file's permissions"
[ "$(ls -A "$work/run")" = scan.tif ] || fail "the recipe left files: $(ls -A "$work/run")"

# A file whose second page tessvane refuses (red, green, blue and alpha),
# under the recipe's name.
tiff2rgba "$work/pages/2.tif" "$work/pages/2-rgba.tif" || fail "tiff2rgba failed"
tiffcp "$work/pages/1.tif" "$work/pages/2-rgba.tif" "$work/pages/3.tif" "$work/run/scan.tif" ||
  fail "cannot join the pages"
cp "$work/run/scan.tif" "$work/bad-original.tif"
bad_inode=$(inode "$work/run/scan.tif")
run_recipe "$recipe" >/dev/null 2>"$work/errors" && fail "the recipe succeeded with a refused page"
grep -qx 'tessvane: scan.tif: page 2: 4 samples per pixel; only grayscale of 1, 2, 4 or 8 bits is accepted' "$work/errors" ||
  fail "the recipe reported: $(cat "$work/errors")"
cmp -s "$work/bad-original.tif" "$work/run/scan.tif" && [ "$(inode "$work/run/scan.tif")" = "$bad_inode" ] ||
  fail "a refused page did not leave the original untouched"
[ "$(ls -A "$work/run")" = scan.tif ] || fail "the failed recipe left files: $(ls -A "$work/run")"
