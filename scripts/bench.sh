#!/usr/bin/env bash
# Builds in Release and runs every benchmark against its peer; each prints
# its own timings and ratios.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
command -v convert >/dev/null || { apt-get update -q && apt-get install -y -q --no-install-recommends imagemagick; }
bash scripts/build.sh build
for bench in build/bin/bench_*; do
  echo "== $(basename "$bench")"
  "$bench"
done
