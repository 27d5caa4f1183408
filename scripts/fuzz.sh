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
# The test fixtures seed each decoder's corpus: the libraries behind some
# decoders are not instrumented, so the fuzzer would rarely find a valid
# header of theirs on its own.
declare -A fixtures=([fuzz_png]=png [fuzz_bmp]=bmp [fuzz_icon]=ico [fuzz_pcx]=pcx [fuzz_tga]=tga
  [fuzz_pnm]=pnm [fuzz_wbmp]=wbmp [fuzz_jpeg]=jpeg [fuzz_psd]=psd [fuzz_tiff]=tiff [fuzz_jpeg2000]=jp2
  [fuzz_raw]=raw [fuzz_dicom]=dicom [fuzz_gif_read]=gif)
for target in build/fuzz/bin/fuzz_*; do
  name=$(basename "$target")
  corpus=build/fuzz/corpus/$name
  mkdir -p "$corpus"
  inputs=("$corpus")
  [ -d "fuzz/seeds/$name" ] && inputs+=("fuzz/seeds/$name")
  [ -n "${fixtures[$name]:-}" ] && inputs+=("tests/data/${fixtures[$name]}")
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
