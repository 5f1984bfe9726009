#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
# As root it uses apt-get; otherwise it names what is missing and fails.
set -eu

packages="cmake g++ make libtiff-dev libtiff-tools zlib1g-dev libgtest-dev libbenchmark-dev dpkg-dev groff-base man-db parallel openssh-server openssh-client rsync $*"
missing=""
for package in $packages; do
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
