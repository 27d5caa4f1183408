#!/usr/bin/env bash
# Builds Loopsmith in Release and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build
./build/bin/loopsmith-example build/example.gif
