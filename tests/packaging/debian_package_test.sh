#!/bin/sh
# cpack -G DEB makes a package named tessvane that depends on libtiff,
# suggests ocrmypdf and holds exactly the executable, the compressed manual
# page and the OCRmyPDF plugin in Debian's place for Python modules, with a
# prerm that removes the plugin's cached byte code; the unpacked executable
# works.  Nothing is installed on the system.
# Usage: debian_package_test.sh BUILD_DIR SOURCE_DIR TESSVANE MAKE_SAMPLE_PAGE
set -u
. "$(dirname "$0")/common.sh"
build=$1 source=$2 tessvane=$3 sample_tool=$4
for tool in dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
set -- "$work"/out/*.deb
[ $# -eq 1 ] && [ -f "$1" ] || fail "expected one package, found: $*"
package=$1

[ "$(dpkg-deb -f "$package" Package)" = tessvane ] || fail "the package is not named tessvane"
depends=$(dpkg-deb -f "$package" Depends)
echo "$depends" | grep -q 'libtiff[0-9]' || fail "no libtiff in Depends: $depends"
[ "$(dpkg-deb -f "$package" Suggests)" = ocrmypdf ] || fail "the package does not suggest ocrmypdf"
plugin=usr/lib/python3/dist-packages/tessvane_ocrmypdf.py
contents=$(dpkg-deb -c "$package" | awk '$1 !~ /^d/ { print $1, $NF }' | tr '\n' ' ')
[ "$contents" = "-rwxr-xr-x ./usr/bin/tessvane -rw-r--r-- ./$plugin -rw-r--r-- ./usr/share/man/man1/tessvane.1.gz " ] ||
  fail "package contents: $contents"
dpkg-deb -I "$package" prerm | grep -q "rm -f /usr/lib/python3/dist-packages/__pycache__/tessvane_ocrmypdf\." ||
  fail "no prerm removes the plugin's byte code"

dpkg-deb -x "$package" "$work/root" || fail "cannot unpack the package"
gzip -dc "$work/root/usr/share/man/man1/tessvane.1.gz" | cmp -s - "$source/docs/tessvane.1" ||
  fail "the packed manual page differs from docs/tessvane.1"
cmp -s "$work/root/$plugin" "$source/integrations/ocrmypdf/tessvane_ocrmypdf.py" ||
  fail "the packed plugin differs from integrations/ocrmypdf/tessvane_ocrmypdf.py"
make_sample "$tessvane" "$sample_tool"
check_runs "$work/root/usr/bin/tessvane"
