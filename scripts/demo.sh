#!/usr/bin/env bash
# The main job: with no module attached, a short tour of the Updater against
# the bundled tools, in a private store under ./demo-out.
set -euo pipefail
cd "$(dirname "$0")/.."
BIN=build/Updater
OUT=demo-out
rm -rf "$OUT"; mkdir -p "$OUT"
export QUILLNODE_HOME="$PWD/$OUT/home"
mkdir -p "$QUILLNODE_HOME"

echo "== Updater banner and usage"
"$BIN" || true
