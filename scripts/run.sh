#!/usr/bin/env bash
# Builds Loopsmith in Release and runs its main job: the sample frames in
# data/samples/ exported as one looping animated GIF.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
bash scripts/build.sh build
./build/bin/loopsmith-cli export -o build/samples.gif --width 160 --height 120 --delay 120 data/samples/frame*.png
echo "The animation is in $(pwd)/build/samples.gif"
