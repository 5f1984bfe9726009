#!/bin/sh
# Runs the libFuzzer target for a bounded time (make fuzz).
# Usage: fuzz/run_fuzz.sh BUILD_DIR SECONDS
#
# The seeds are made afresh in BUILD_DIR/seeds: the generated pages and the
# real files of tests/data, with every input kept in tests/data/hostile.
# What the fuzzer learns stays in BUILD_DIR/corpus across runs; a crashing
# input lands in BUILD_DIR/artifacts.  The harness's temporary files live in
# a directory on /dev/shm (tmpfs), removed afterwards.
set -eu
build=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)

rm -rf "$build/seeds"
mkdir -p "$build/seeds" "$build/corpus" "$build/artifacts"
"$build/make_fuzz_seeds" "$build/seeds" | tail -n 1
cp "$root"/tests/data/*.tiff "$build/seeds/"
if [ -d "$root/tests/data/hostile" ]; then cp "$root"/tests/data/hostile/*.tif "$build/seeds/"; fi

shm=/dev/shm
[ -d "$shm" ] && [ -w "$shm" ] || shm=${TMPDIR:-/tmp}
work=$(mktemp -d "$shm/tessvane-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM

# 2 GiB of memory at most, 20 s an input: past either is a finding.  The
# dictionary holds the byte strings of the TIFF structure.
if ! TMPDIR=$work "$build/tessvane_fuzz" -max_total_time="$seconds" -rss_limit_mb=2048 \
    -timeout=20 -dict="$root/fuzz/tiff.dict" -print_final_stats=1 -artifact_prefix="$build/artifacts/" \
    "$build/corpus" "$build/seeds"; then
  echo "fuzz: a finding is in $build/artifacts; keep it under tests/data/hostile" >&2
  echo "      with a regression test, and fix the fault" >&2
  exit 1
fi
