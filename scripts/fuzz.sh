#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each of them:
#   scripts/fuzz.sh SECONDS      run each target for that long
#   scripts/fuzz.sh --smoke      a short run with a fixed seed and count
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--smoke" ]; then
  limits=(-runs=10000 -max_total_time=15 -seed=1)
else
  limits=(-max_total_time="${1:-10}")
fi
CC=clang CXX=clang++ bash scripts/build.sh build/fuzz -DLOOPSMITH_FUZZ=ON
for target in build/fuzz/bin/fuzz_*; do
  name=$(basename "$target")
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus"
  inputs=("$corpus")
  [ -d "fuzz/seeds/$name" ] && inputs+=("fuzz/seeds/$name")
  log=build/fuzz/$name.log
  echo "== $name ${limits[*]}"
  if ! "$target" "${limits[@]}" -max_len=65536 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix=build/fuzz/ "${inputs[@]}" >"$log" 2>&1; then
    tail -40 "$log"
    echo "$name found a failure; the input is in build/fuzz/" >&2
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^Done' "$log" || true
done
