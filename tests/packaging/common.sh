# Shared by the packaging tests: a scratch directory, failure reports, and a
# sample page with the result the freshly built tessvane makes of it.

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# make_sample BUILT_TESSVANE MAKE_SAMPLE_PAGE: writes $work/page.tif and the
# built executable's result for it, $work/expected.tif.
make_sample() {
  "$2" "$work/page.tif" >/dev/null || fail "cannot make the sample page"
  cp "$work/page.tif" "$work/expected.tif"
  "$1" "$work/expected.tif" </dev/null || fail "the built tessvane failed on the sample"
}

# check_runs TESSVANE: the given executable cleans a copy of the sample
# exactly as the built one does, silently and with exit status 0.
check_runs() {
  cp "$work/page.tif" "$work/run.tif"
  output=$("$1" "$work/run.tif" </dev/null) || fail "$1 exited with status $?"
  [ -z "$output" ] || fail "$1 printed: $output"
  cmp -s "$work/run.tif" "$work/expected.tif" || fail "$1 made a different result"
}
