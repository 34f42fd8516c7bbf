#!/usr/bin/env bash
# Prints how long lpc21isp takes to program images of a few sizes into
# qn-lpcsim with line pacing and reply latency, next to the time the bytes
# alone need on the line. Usage: bench/recovery/bench-lpc21isp.sh <build-dir> [baud] [latency-ms]
set -euo pipefail
build=${1:?build directory}
baud=${2:-115200}
latency=${3:-16}
sim="$build/tools/qn-lpcsim"
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null || true; rm -rf "$work"' EXIT
printf '%-10s %-10s %-12s %s\n' bytes baud latency-ms seconds
for size in 4096 32768; do
  head -c "$size" /dev/urandom > "$work/image.bin"
  "$sim" --link "$work/tty" --baud "$baud" --latency-ms "$latency" > "$work/sim.out" &
  pid=$!
  for _ in $(seq 50); do [ -e "$work/tty" ] && break; sleep 0.1; done
  start=$(date +%s.%N)
  lpc21isp -bin "$work/image.bin" "$work/tty" "$baud" 14746 > "$work/isp.out" 2>&1
  end=$(date +%s.%N)
  kill "$pid"; wait "$pid" 2>/dev/null || true
  printf '%-10s %-10s %-12s %.2f\n' "$size" "$baud" "$latency" "$(awk -v a="$start" -v b="$end" 'BEGIN{print b-a}')"
done
# UU encoding makes 45 bytes into 63 characters; with echo the line carries
# them both ways at once.
echo "line time for the data alone: bytes * 63/45 * 10 / baud seconds"
