#!/usr/bin/env bash
# Builds and runs every test: in the optimised build, under AddressSanitizer
# with UndefinedBehaviorSanitizer, and the fuzz targets briefly (clang).
# Extra arguments go to ctest for the first two (for example -L unit, -R demux).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh g++ cmake ninja-build libgtest-dev libbenchmark-dev clang libclang-rt-14-dev

jobs=$(nproc)
echo "== intrinsics"
scripts/check_intrinsics.sh
for preset in release asan; do
  echo "== $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs" "$@"
done

echo "== fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
if [ -n "$(cd build/fuzz && ctest -N -L fuzz | grep 'Test #')" ]; then
  ctest --preset fuzz -j "$jobs"
else
  echo "no fuzz targets"
fi
