#!/bin/sh
# cmake --install into a temporary prefix gives exactly the executable, the
# manual page and the OCRmyPDF plugin (in the prefix's lib/python3.X/
# site-packages), and the installed executable works.  Under the prefixes
# where Debian's python3, which runs ocrmypdf, has module directories (/usr,
# /usr/local, the user's ~/.local), the plugin lands in one of them.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR TESSVANE MAKE_SAMPLE_PAGE
set -u
. "$(dirname "$0")/common.sh"
build=$1 source=$2 tessvane=$3 sample_tool=$4

cmake --install "$build" --prefix "$work/prefix" >/dev/null || fail "cmake --install failed"
installed=$(cd "$work/prefix" && find . ! -type d | sort | tr '\n' ' ')
case $installed in
  "./bin/tessvane ./lib/python3."*"/site-packages/tessvane_ocrmypdf.py ./share/man/man1/tessvane.1 ") ;;
  *) fail "installed files: $installed" ;;
esac
[ -x "$work/prefix/bin/tessvane" ] || fail "the installed tessvane is not executable"
cmp -s "$work/prefix/share/man/man1/tessvane.1" "$source/docs/tessvane.1" ||
  fail "the installed manual page differs from docs/tessvane.1"
cmp -s "$work/prefix"/lib/python3.*/site-packages/tessvane_ocrmypdf.py \
  "$source/integrations/ocrmypdf/tessvane_ocrmypdf.py" ||
  fail "the installed plugin differs from integrations/ocrmypdf/tessvane_ocrmypdf.py"

python=/usr/bin/python3
if [ -x "$python" ]; then
  module_dirs=$("$python" -c 'import site; print("\n".join(site.getsitepackages() + [site.getusersitepackages()]))')
  for prefix in /usr /usr/local "$("$python" -c 'import site; print(site.getuserbase())')"; do
    rm -rf "$work/staged"
    DESTDIR=$work/staged cmake --install "$build" --prefix "$prefix" >/dev/null ||
      fail "cmake --install --prefix $prefix failed"
    plugin=$(cd "$work/staged" && find . -name tessvane_ocrmypdf.py)
    plugin=${plugin#.}
    echo "$module_dirs" | grep -qxF "${plugin%/tessvane_ocrmypdf.py}" ||
      fail "with the prefix $prefix the plugin is at $plugin, not on $python's module path"
  done
fi

make_sample "$tessvane" "$sample_tool"
check_runs "$work/prefix/bin/tessvane"
