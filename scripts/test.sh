#!/usr/bin/env bash
# Builds Loopsmith and runs every test: a Release build, a short run of every
# fuzz target, then the tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

bash scripts/build.sh build
ctest --test-dir build --output-on-failure --parallel "$jobs"

bash scripts/fuzz.sh --smoke

bash scripts/build.sh build/asan -DLOOPSMITH_SANITIZE=ON -DLOOPSMITH_BENCH=OFF
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure --parallel "$jobs"
