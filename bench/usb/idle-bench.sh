#!/bin/sh
# Idle cost of an open USB link: holds a link to one emulated module for a
# few seconds and prints the CPU time and context switches of the client
# (linkbench --usb), once with the bus's
# doorbell nodes (what a real usbfs node does: poll sleeps until a transfer
# completes), once with always-writable nodes (libusb then spins) and once
# over the module's kernel-driver node instead of libusb.
#
# Usage: bench/usb/idle-bench.sh [BUILD_DIR] [SECONDS]
set -eu
build=${1:-build}
seconds=${2:-5}
emu="$build/tools/qn-usbemu"
probe="$build/bench/linkbench"
for tool in "$emu" "$probe"; do
  if [ ! -x "$tool" ]; then
    echo "idle-bench: $tool is not built (cmake --build $build --target qn-usbemu linkbench)" >&2
    exit 1
  fi
done
for mode in doorbell no-doorbell kernel-node; do
  flag=
  module=serial=0012ABCD
  [ "$mode" = no-doorbell ] && flag=--no-doorbell
  [ "$mode" = kernel-node ] && module=serial=0012ABCD,kernel-node
  echo "== $mode"
  "$emu" --stats $flag --module "$module" -- "$probe" --usb 0012ABCD --idle-seconds "$seconds" 2>&1 |
    grep -E "idle USB link|qn-usbemu: stats"
done
