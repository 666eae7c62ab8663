#!/usr/bin/env bash
# Builds every libFuzzer target with clang into build-fuzz/ and runs each for a
# bounded time (first argument, seconds; default 30). A crash, a sanitizer
# report or a leak fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"

CC=clang CXX=clang++ cmake -S . -B build-fuzz -DWEFT_FUZZ=ON -DWEFT_TESTS=ON >/dev/null
cmake --build build-fuzz --target weft_fuzzers -j"$(nproc 2>/dev/null || echo 2)"

shopt -s nullglob
targets=(build-fuzz/fuzz/*_fuzz)
if [ "${#targets[@]}" -eq 0 ]; then
  echo "no fuzz targets to run"
  exit 0
fi
for target in "${targets[@]}"; do
  name=$(basename "$target")
  corpus="build-fuzz/corpus/$name"
  mkdir -p "$corpus"
  seeds="tests/fuzz/seeds/$name"
  echo "== $name for ${seconds}s"
  if [ -d "$seeds" ]; then
    "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "$corpus" "$seeds"
  else
    "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 "$corpus"
  fi
done
