#!/usr/bin/env bash
# Release build of the Updater and the tools into ./build.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQN_BUILD_TESTS=OFF >/dev/null
cmake --build build -j "${JOBS:-2}"
