#!/bin/bash
# Times a complete LPC serial recovery of a 256 KB image by Updater against
# the time lpc21isp takes to program the same image into the same simulated
# boot ROM (qn-lpcsim pacing the line at 115200 baud): without latency, with
# 16 ms of latency before every reply line, and with that latency also on the
# echo of every line (as a USB-serial adapter holds back an echo's tail).
# Prints one line per run and the ratios.
#
#   bench/recovery/recovery_bench.sh [BUILD_DIR]   (default build)
#   CONFIGS="16e" bench/recovery/recovery_bench.sh  (only some of 0 16 16e)
#
# Everything runs on this machine: pseudo-terminals and a loopback server.
set -u
BUILD=${1:-build}
TOOLS=$BUILD/tools
for f in "$BUILD/Updater" "$TOOLS/qn-lpcsim" "$TOOLS/birdtool" "$TOOLS/qn-update-server"; do
  [ -x "$f" ] || { echo "missing $f (build Updater and the tools first)" >&2; exit 1; }
done
command -v lpc21isp > /dev/null || { echo "lpc21isp is not installed" >&2; exit 1; }

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2> /dev/null; wait "$p" 2> /dev/null; done
  rm -rf "$WORK"
}
trap cleanup EXIT

SIZE=262144
WORDS=0A000001,0B000002,0C000003,0D000004
"$TOOLS/birdtool" gen-image --size $SIZE --seed 5 -o "$WORK/image.bin" > /dev/null || exit 1
mkdir -p "$WORK/fw/devices/40F5849A"
"$TOOLS/birdtool" pack -o "$WORK/fw/devices/40F5849A/12.bird" --firmware "0:$WORK/image.bin" \
  --info 12,1.0.0,40F5849A,QN-HUB4 --vector-checksum --scramble $WORDS > /dev/null || exit 1
echo QN-HUB4 > "$WORK/fw/devices/40F5849A/model"
echo "${WORDS//,/ } 40F5849A 12" > "$WORK/fw/fingerprints"

. "$(dirname "$0")/update-server.sh"
start_update_server

# start_sim LATENCY [--echo-latency]: a fresh simulated chip on $WORK/tty.
start_sim() {
  rm -f "$WORK/sim.out"
  "$TOOLS/qn-lpcsim" --link "$WORK/tty" --baud 115200 --latency-ms "$1" ${2:-} \
    --dump "$WORK/flash.bin" > "$WORK/sim.out" 2>&1 &
  SIM=$!
  PIDS+=($SIM)
  for _ in $(seq 50); do [ -s "$WORK/sim.out" ] && break; sleep 0.1; done
}
stop_sim() { kill "$SIM" 2> /dev/null; wait "$SIM" 2> /dev/null; }

# The flash must hold the image (with its vector checksum) in both cases.
check_flash() {
  cmp -s -n $((SIZE - 32)) -i 32 "$WORK/flash.bin" "$WORK/image.bin" && echo ok || echo MISMATCH
}

now() { date +%s.%N; }

# timed NAME OUTPUT COMMAND...: runs COMMAND on a fresh chip ($latency,
# $extra, $config), records its time in T[NAME,$config] and prints a line.
timed() {
  local name=$1 out=$2 start status
  shift 2
  start_sim $latency $extra
  start=$(now)
  "$@" > "$out" 2>&1
  status=$?
  T[$name,$config]=$(awk -v a="$(now)" -v b="$start" 'BEGIN { print a - b }')
  sleep 0.3
  printf '%-9s %s: %7.2f s (status %d, flash %s)\n' "$name" "${LABEL[$config]}" \
    "${T[$name,$config]}" $status "$(check_flash)"
  stop_sim
}

declare -A T
declare -A LABEL
LABEL=([0]="no latency          " [16]="16 ms on replies    " [16e]="16 ms, echoes too   ")
for config in ${CONFIGS:-0 16 16e}; do
  latency=${config%e}
  extra=""
  [ "$config" = 16e ] && extra=--echo-latency
  timed Updater "$WORK/updater.out" env QUILLNODE_HOME="$WORK/home" "$BUILD/Updater" -U -t RECOVER \
    -s "$WORK/tty" -o 115200 -u "$URL"
  timed lpc21isp "$WORK/lpc21isp.out" lpc21isp -bin -wipe "$WORK/image.bin" "$WORK/tty" 115200 14746
done

# ratio NAME CONFIG: prints the ratio for the configurations that ran.
ratio() {
  [ -n "${T[Updater,$2]:-}" ] && [ -n "${T[lpc21isp,$2]:-}" ] || return 0
  if [ "$2" = 0 ]; then
    awk -v u="${T[Updater,$2]}" -v l="${T[lpc21isp,$2]}" -v n="$1" \
      'BEGIN { printf "%s Updater / lpc21isp = %.2f (goal <= 1.2)\n", n, u / l }'
  else
    awk -v u="${T[Updater,$2]}" -v l="${T[lpc21isp,$2]}" -v n="$1" \
      'BEGIN { printf "%s lpc21isp / Updater = %.2f (goal >= 2.5)\n", n, l / u }'
  fi
}
ratio "no latency:        " 0
ratio "16 ms on replies:  " 16
ratio "16 ms, echoes too: " 16e
