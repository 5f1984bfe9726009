#!/bin/sh
# The README's multi-page recipe, as printed: a 3-page file comes back with
# its 3 pages in order, each with the pixels a single run of tessvane makes
# of that page, and its permissions kept.  A file with a page tessvane
# refuses stays byte for byte as it was, with its inode, and the recipe
# fails and leaves no temporary file beside it.
# Usage: multi_page_recipe_test.sh SOURCE_DIR TESSVANE MAKE_SAMPLE_PAGE
set -u
. "$(dirname "$0")/common.sh"
require tiffsplit:libtiff-tools tiffcp:libtiff-tools tiffinfo:libtiff-tools \
  tiff2rgba:libtiff-tools mktemp:coreutils

readme_recipe 'clear_pages() ('
# The recipe's last line calls the function on scan.tif; take the function.
clear_pages=$(printf '%s\n' "$recipe" | sed '$d')
printf '%s\n' "$recipe" | tail -n 1 | grep -qx 'clear_pages scan.tif' ||
  fail "the recipe does not end with the call of clear_pages: $recipe"

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
# The recipe's own temporary directory goes here, to be seen removed.
mkdir "$work/tmp"
TMPDIR=$work/tmp
export TMPDIR

run_recipe "$clear_pages
clear_pages scan.tif" >/dev/null || fail "the recipe failed on a 3-page file"
[ "$(tiffinfo "$work/run/scan.tif" 2>/dev/null | grep -c '^=== TIFF directory')" = 3 ] ||
  fail "the result does not have 3 pages"
pixels "$work/run/scan.tif" | cmp -s - "$work/expected-pixels" ||
  fail "the pages are not the single runs' results, in order"
[ "$(stat -c %a "$work/run/scan.tif")" = 640 ] || fail "the recipe changed the file's permissions"
[ "$(ls -A "$work/run" "$work/tmp")" = "$(printf '%s\n' "$work/run:" scan.tif '' "$work/tmp:")" ] ||
  fail "the recipe left files: $(ls -A "$work/run" "$work/tmp")"

# A file whose second page tessvane refuses (red, green, blue and alpha).
tiff2rgba "$work/pages/2.tif" "$work/pages/2-rgba.tif" || fail "tiff2rgba failed"
tiffcp "$work/pages/1.tif" "$work/pages/2-rgba.tif" "$work/pages/3.tif" "$work/run/bad.tif" ||
  fail "cannot join the pages"
cp "$work/run/bad.tif" "$work/bad-original.tif"
bad_inode=$(inode "$work/run/bad.tif")
run_recipe "$clear_pages
clear_pages bad.tif" >/dev/null 2>"$work/errors" && fail "the recipe succeeded with a refused page"
grep -qx 'bad.tif: page 2 failed' "$work/errors" || fail "the recipe reported: $(cat "$work/errors")"
cmp -s "$work/bad-original.tif" "$work/run/bad.tif" && [ "$(inode "$work/run/bad.tif")" = "$bad_inode" ] ||
  fail "a refused page did not leave the original untouched"
[ "$(ls -A "$work/run" "$work/tmp")" = "$(printf '%s\n' "$work/run:" bad.tif scan.tif '' "$work/tmp:")" ] ||
  fail "the failed recipe left files: $(ls -A "$work/run" "$work/tmp")"

# A join that fails part way (a tiffcp that writes half the file, then
# fails): the original stays as it was, and the partial file is removed.
real_tiffcp=$(command -v tiffcp)
cat >"$work/bin/tiffcp" <<SCRIPT
#!/bin/sh
for last; do :; done
"$real_tiffcp" "\$@" && truncate -s 50% "\$last"
exit 1
SCRIPT
chmod +x "$work/bin/tiffcp"
cp "$work/pages/1.tif" "$work/run/bad.tif"
cp "$work/run/bad.tif" "$work/bad-original.tif"
run_recipe "$clear_pages
clear_pages bad.tif" >/dev/null 2>&1 && fail "the recipe succeeded with a failed join"
cmp -s "$work/bad-original.tif" "$work/run/bad.tif" || fail "a failed join changed the original"
[ "$(ls -A "$work/run" "$work/tmp")" = "$(printf '%s\n' "$work/run:" bad.tif scan.tif '' "$work/tmp:")" ] ||
  fail "the failed join left files: $(ls -A "$work/run" "$work/tmp")"
