#!/usr/bin/env bash
# Installs what the build needs (on Debian, when missing), builds the release
# preset and runs the main job on the bundled sample.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh g++ cmake ninja-build libgtest-dev libbenchmark-dev

cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
build/release/tools/mtsimport tests/data/sample.m2ts
