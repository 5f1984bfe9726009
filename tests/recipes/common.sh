# Shared by the recipe tests: a scratch directory, failure and skip reports,
# the recipes as the README and the manual page print them, and a tree of
# sample scans with the result a single run of tessvane makes of each.
#
# Every test is called as: TEST.sh SOURCE_DIR TESSVANE MAKE_SAMPLE_PAGE.
# A recipe runs in $work/run, where it finds its `scans` directory, with the
# built tessvane first on PATH under the name `tessvane`.

source=$1 tessvane=$(realpath -- "$2") sample_tool=$3
work=$(mktemp -d)
# stop_services is redefined by a test that starts a server of its own.
stop_services() { :; }
trap 'stop_services; rm -rf "$work"' EXIT
trap 'exit 1' HUP INT TERM

mkdir "$work/bin" "$work/run"
ln -s "$tessvane" "$work/bin/tessvane"
PATH=$work/bin:$PATH:/usr/sbin:/sbin
export PATH

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# require COMMAND:PACKAGE...: each command is there; as root a missing one's
# package is installed, otherwise the test is skipped (status 77).
require() {
  missing=""
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing="$missing ${pair#*:}"
  done
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: missing Debian packages:$missing (not root, so not installed;" \
      "sudo $source/tools/install-deps.sh installs them)"
    exit 77
  fi
  # shellcheck disable=SC2086
  flock /tmp/tessvane-install-deps.lock "$source/tools/install-deps.sh" $missing ||
    fail "cannot install:$missing"
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || fail "${pair%%:*} is missing after installing"
  done
}

# readme_recipe MARKER: sets recipe to the README's indented code block that
# holds MARKER, without its indent; fails when there is none.
readme_recipe() {
  recipe=$(awk -v marker="$1" '
    /^    / { block = block substr($0, 5) "\n"; if (index($0, marker)) found = 1; next }
    found { exit }
    { block = "" }
    END { if (found) printf "%s", block }' "$source/README.md")
  [ -n "$recipe" ] || fail "the README has no recipe with: $1"
}

# man_recipe MARKER: sets recipe to the manual page's example (.EX to .EE)
# that holds MARKER, its roff escapes undone; fails when there is none.
man_recipe() {
  recipe=$(sed -n '/^\.EX$/,/^\.EE$/p' "$source/docs/tessvane.1" |
    sed -e 's/\\-/-/g' -e "s/\\\\(aq/'/g" -e 's/\\e/\\/g' |
    awk -v marker="$1" '
      /^\.EX$/ { block = ""; next }
      /^\.EE$/ { if (found) exit; next }
      { block = block $0 "\n"; if (index($0, marker)) found = 1 }
      END { if (found) printf "%s", block }')
  [ -n "$recipe" ] || fail "the manual page has no example with: $1"
}

# run_recipe TEXT: runs the recipe with sh in $work/run; returns its status.
run_recipe() {
  (cd "$work/run" && sh -c "$1")
}

# inode FILE: prints the file's inode number, which a replacement changes.
inode() {
  stat -c %i -- "$1"
}

# The sample tree: good pages of different sizes and layouts under names
# with spaces, quotes and a newline, one in a subdirectory with a .tiff
# suffix, a broken one (a page cut short), and a symbolic link named like a
# page, planted to point at the runner's private page outside the tree,
# which no recipe may follow.  name_N is the path of page N relative to
# $work/run, expect_N the single run's result of it.
good_pages="1 2 3 4 5"
name_1='scans/plain.tif'
name_2='scans/two  words.tif'
name_3="scans/it's a \"quote\".tif"
name_4='scans/new
line.tif'
name_5='scans/sub dir/deep.tiff'
broken='scans/broken one.tif'
planted='scans/planted link.tif'
private='private.tif'

# make_scans: writes the tree to $work/orig and each expect_N.
make_scans() {
  mkdir -p "$work/orig/scans/sub dir" "$work/expect"
  for n in $good_pages; do
    eval "name=\$name_$n"
    # shellcheck disable=SC2154
    "$sample_tool" "$work/orig/$name" $((180 + 10 * n)) $((240 + 7 * n)) $((8 * n)) \
      "$([ "$n" = 3 ] && echo none || echo lzw)" >/dev/null || fail "cannot make page $n"
    cp "$work/orig/$name" "$work/expect/$n.tif"
    "$tessvane" "$work/expect/$n.tif" </dev/null || fail "a single run failed on page $n"
    cmp -s "$work/orig/$name" "$work/expect/$n.tif" && fail "a single run left page $n as it was"
  done
  head -c 2000 "$work/orig/$name_1" >"$work/orig/$broken"
  cp "$work/orig/$name_1" "$work/orig/$private"
  ln -s "../$private" "$work/orig/$planted"
}

# reset_scans: puts a fresh copy of the tree in $work/run/scans.
reset_scans() {
  rm -rf "$work/run/scans"
  cp -a "$work/orig/scans" "$work/run/scans"
  cp "$work/orig/$private" "$work/run/$private"
}

# check_scans WHAT [tif-only]: every good page of $work/run is its single
# run's result (with tif-only, the .tiff page is as it was), the broken one
# is as it was, and so are the planted link and the private page it points
# at; WHAT names the run in the failure.
check_scans() {
  for n in $good_pages; do
    eval "name=\$name_$n"
    if [ "${2-}" = tif-only ] && [ "${name%.tiff}" != "$name" ]; then
      cmp -s "$work/orig/$name" "$work/run/$name" || fail "$1 changed $name"
    else
      cmp -s "$work/expect/$n.tif" "$work/run/$name" || fail "$1 did not clear $name"
    fi
  done
  cmp -s "$work/orig/$broken" "$work/run/$broken" || fail "$1 changed the broken file"
  [ "$(readlink "$work/run/$planted")" = "../$private" ] || fail "$1 replaced the planted link"
  cmp -s "$work/orig/$private" "$work/run/$private" ||
    fail "$1 followed the planted link and rewrote the private page"
}
