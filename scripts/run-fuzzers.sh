#!/bin/sh
# Runs every libFuzzer target found in BUILD/fuzz for SECONDS seconds each.
# Usage: run-fuzzers.sh BUILD SECONDS
# Each target keeps its growing corpus in BUILD/fuzz-corpus/<target> and
# also reads the seeds in fuzz/seeds/<target> and the dictionary
# fuzz/<target>.dict when they exist. Crashing inputs are written to
# BUILD/fuzz-artifacts/. An input that runs longer than TIMEOUT seconds
# (default 30) counts as a finding too. Exits non-zero when any target fails.
set -eu
if [ $# -lt 1 ]; then
  echo "usage: $0 BUILD [SECONDS]" >&2
  exit 2
fi
build=$1
seconds=${2:-60}
timeout=${TIMEOUT:-30}
root=$(cd "$(dirname "$0")/.." && pwd)

# Undefined behaviour stops the run like a crash does, so the fuzzer keeps
# the input.
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:abort_on_error=1:print_stacktrace=1}"

mkdir -p "$build/fuzz-artifacts"
found=0
failed=""
for bin in "$build"/fuzz/*_fuzz; do
  [ -f "$bin" ] && [ -x "$bin" ] || continue
  found=1
  name=$(basename "$bin")
  corpus="$build/fuzz-corpus/$name"
  mkdir -p "$corpus"
  seeds=""
  [ -d "$root/fuzz/seeds/$name" ] && seeds="$root/fuzz/seeds/$name"
  dict=""
  [ -f "$root/fuzz/$name.dict" ] && dict="-dict=$root/fuzz/$name.dict"
  echo "== $name: $seconds s, corpus $corpus"
  # $dict and $seeds are left unquoted on purpose: when empty they vanish.
  if ! "$bin" -max_total_time="$seconds" -timeout="$timeout" -print_final_stats=1 \
      -artifact_prefix="$build/fuzz-artifacts/$name-" $dict "$corpus" $seeds; then
    failed="$failed $name"
  fi
done

if [ "$found" = 0 ]; then
  echo "no fuzz targets in $build/fuzz" >&2
  exit 1
fi
if [ -n "$failed" ]; then
  echo "fuzz targets that failed:$failed" >&2
  exit 1
fi
echo "all fuzz targets ran for $seconds s without a finding"
