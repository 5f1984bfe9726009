#!/bin/sh
# Installs the Debian packages that a make target needs, when missing.
# Usage: install-deps.sh GROUP|PACKAGE...
# Each GROUP names the packages of one make target; any other word is taken
# as a package name.  As root it uses apt-get; otherwise it names what is
# missing and fails.
set -eu

# The packages of each group.  Building the tool needs only the first.
group_packages() {
  case $1 in
    build) echo "cmake g++ make libtiff-dev" ;;
    test) echo "cmake g++ make libtiff-dev libtiff-tools zlib1g-dev libzstd-dev liblzma-dev python3-pil python3-numpy fonts-liberation libgtest-dev graphicsmagick imagemagick libvips-tools dpkg-dev groff-base man-db parallel openssh-server openssh-client rsync acl attr" ;;
    bench) echo "cmake g++ make libtiff-dev libtiff-tools libbenchmark-dev" ;;
    deb) echo "cmake g++ make libtiff-dev dpkg-dev" ;;
    lint) echo "clang-tidy cppcheck" ;;
    fuzz) echo "clang libclang-rt-14-dev" ;;
    evaluate) echo "cmake g++ make libtiff-dev tesseract-ocr tesseract-ocr-eng fonts-dejavu fonts-liberation python3-pil python3-numpy python3-matplotlib" ;;
    *) echo "$1" ;;
  esac
}

packages=""
for word in "$@"; do
  packages="$packages $(group_packages "$word")"
done
missing=""
for package in $packages; do
  case " $missing " in *" $package "*) continue ;; esac
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
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
if ! apt-get install -y -q --no-install-recommends $missing >/dev/null; then
  apt-get update -q >/dev/null
  # shellcheck disable=SC2086
  apt-get install -y -q --no-install-recommends $missing >/dev/null
fi
