#!/usr/bin/env bash
# Runs every benchmark: Google Benchmark programs in <build>/bench/*_bench and
# the relay benchmark at the rates the targets name. Figures go to stdout.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
export BUILD_DIR="$build"
shopt -s nullglob
for program in "$build"/bench/*_bench; do
  echo "== $(basename "$program")"
  "$program"
done
for qos in 0 1; do
  for rate in 2000 10000; do
    echo "== relay ZEBIN -> ZEBOUT, qos $qos, $rate msg/s"
    bench/relay/run-relay.sh 20000 "$rate" "$qos" relay
  done
done
