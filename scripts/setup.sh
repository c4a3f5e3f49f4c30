#!/usr/bin/env bash
# Installs what the build needs (on Debian, when missing), builds the release
# preset and runs the main job on the bundled sample.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(g++ cmake ninja-build libgtest-dev libbenchmark-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  "${sudo_cmd[@]}" apt-get install -y "${missing[@]}"
fi

jobs=$(nproc)
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs"
build/release/tools/mtsinfo tests/data/sample.m2ts
