#!/usr/bin/env bash
# Builds and runs every test, in the optimised build and under AddressSanitizer
# with UndefinedBehaviorSanitizer. Extra arguments go to ctest (for example
# -L unit, or -R demux).
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc)
for preset in release asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" "$@"
done
