#!/bin/sh
# Installs the Debian packages that a make target needs, when missing.
# Usage: install-deps.sh GROUP|PACKAGE|FILE:PACKAGE...
# Each GROUP names the requirements of one make target; any other word is
# taken as a requirement.  A requirement is a Debian package, met when it is
# installed, or FILE:PACKAGE, met when the file exists (whichever package put
# it there) and otherwise installed from PACKAGE.  As root it uses apt-get;
# otherwise it names what is missing and fails.
set -eu

# The font files the OCR evaluation renders with, each with the Debian
# package that ships it (eval/pages.py names them; its tests check this list).
FONTS=/usr/share/fonts/truetype
EVALUATE_FONTS="$FONTS/dejavu/DejaVuSerif.ttf:fonts-dejavu-core
$FONTS/dejavu/DejaVuSans.ttf:fonts-dejavu-core
$FONTS/dejavu/DejaVuSansCondensed.ttf:fonts-dejavu-extra
$FONTS/liberation/LiberationSerif-Regular.ttf:fonts-liberation
$FONTS/liberation/LiberationSans-Regular.ttf:fonts-liberation
$FONTS/liberation/LiberationMono-Regular.ttf:fonts-liberation"

# The packages of each group.  Building the tool needs only the first.
group_packages() {
  case $1 in
    build) echo "cmake g++ make libtiff-dev libxxhash-dev" ;;
    test) echo "cmake g++ make libtiff-dev libxxhash-dev libtiff-tools zlib1g-dev libzstd-dev liblzma-dev python3-pil python3-numpy $EVALUATE_FONTS ocrmypdf tesseract-ocr-eng libgtest-dev graphicsmagick imagemagick libvips-tools dpkg-dev groff-base man-db parallel openssh-server openssh-client rsync acl attr strace btrfs-progs" ;;
    bench) echo "cmake g++ make libtiff-dev libxxhash-dev libtiff-tools libbenchmark-dev" ;;
    deb) echo "cmake g++ make libtiff-dev libxxhash-dev dpkg-dev" ;;
    lint) echo "clang-tidy cppcheck" ;;
    fuzz) echo "clang libclang-rt-14-dev libxxhash-dev" ;;
    evaluate) echo "cmake g++ make libtiff-dev libxxhash-dev tesseract-ocr tesseract-ocr-eng $EVALUATE_FONTS python3-pil python3-numpy python3-matplotlib libleptonica-dev unpaper wamerican" ;;
    *) echo "$1" ;;
  esac
}

packages=""
for word in "$@"; do
  packages="$packages $(group_packages "$word")"
done
# Prints the package to install when the requirement is not met.
unmet_package() {
  case $1 in
    /*:*) [ -e "${1%:*}" ] || echo "${1##*:}" ;;
    *) dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed" || echo "$1" ;;
  esac
}

missing=""
for requirement in $packages; do
  package=$(unmet_package "$requirement")
  [ -n "$package" ] || continue
  case " $missing " in *" $package "*) continue ;; esac
  missing="$missing $package"
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages:$missing" >&2
  echo "install them with: sudo apt-get install$missing" >&2
  exit 1
fi
echo "installing:$missing"
export DEBIAN_FRONTEND=noninteractive
# shellcheck disable=SC2086
if ! apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $missing >/dev/null; then
  apt-get -o DPkg::Lock::Timeout=600 update -q >/dev/null
  # shellcheck disable=SC2086
  apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends $missing >/dev/null
fi
