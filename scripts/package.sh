#!/usr/bin/env bash
# Builds the Debian packages into build-pkg/: a Release build of only the
# packaged programs (no tests), then one .deb per install component.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-2}
BUILD=${BUILD:-build-pkg}

scripts/deps.sh

cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQN_BUILD_TESTS=OFF \
  -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target qn_packaged
rm -f "$BUILD"/*.deb
(cd "$BUILD" && cpack -G DEB)
ls -1 "$BUILD"/*.deb
