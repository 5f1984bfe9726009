#!/bin/sh
# Remakes docs/before-after.png: the bundled sample page before and after
# tessvane, side by side at half size.  Run from anywhere after `make build`.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$top/build}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/make_sample_page" "$work/before.tif"
cp "$work/before.tif" "$work/after.tif"
"$build/tessvane" "$work/after.tif" </dev/null
"$build/side_by_side_png" "$work/before.tif" "$work/after.tif" 2 "$top/docs/before-after.png"
echo "wrote $top/docs/before-after.png"
