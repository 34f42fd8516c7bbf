#!/usr/bin/env bash
# What a router scan costs while it waits: runs "Updater -D -r SERIAL" through
# a simulated router with no module behind it (every address stays silent, so
# each one waits out its query time-outs while only the router's heartbeats
# arrive) and prints the CPU time and context switches of the Updater process
# over a window in the middle of the scan. Runs in a network namespace of its
# own (as root, or with a user namespace otherwise), so discovery never leaves
# the machine.
#
# Usage: bench/link/scan-bench.sh [BUILD_DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
seconds=${2:-10}

if [ "${QN_SCANBENCH_IN_LAB:-}" != 1 ]; then
  if [ "$(id -u)" -eq 0 ]; then
    exec env QN_SCANBENCH_IN_LAB=1 unshare --net "$0" "$@"
  else
    exec env QN_SCANBENCH_IN_LAB=1 unshare --user --map-root-user --net "$0" "$@"
  fi
fi
for tool in "$build/Updater" "$build/tools/qn-modsim"; do
  if [ ! -x "$tool" ]; then
    echo "scan-bench: $tool is not built" >&2
    exit 1
  fi
done

LAB=10.77.0.1
ROUTER=D272031D
work=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

. scripts/lab-network.sh
lab_network_up

"$build/tools/qn-modsim" --bind $LAB --discovery $LAB \
  --module serial=$ROUTER,port=0,model=13,addr=02 >"$work/modsim.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do
  grep -q "ready" "$work/modsim.log" && break
  sleep 0.1
done

mkdir -p "$work/home"
QUILLNODE_HOME=$work/home "$build/Updater" -D -r $ROUTER -t TCP >"$work/updater.log" 2>&1 &
updater=$!
PIDS+=($updater)

# Sums over the process's threads: context switches (voluntary and not) and
# the time they ran (ns, from schedstat).
sample() {
  local switches=0 runtime=0 task v n ns
  for task in /proc/"$updater"/task/*; do
    v=$(awk '/^voluntary_ctxt_switches/ {print $2}' "$task/status" 2>/dev/null || echo 0)
    n=$(awk '/^nonvoluntary_ctxt_switches/ {print $2}' "$task/status" 2>/dev/null || echo 0)
    ns=$(awk '{print $1}' "$task/schedstat" 2>/dev/null || echo 0)
    switches=$((switches + ${v:-0} + ${n:-0}))
    runtime=$((runtime + ${ns:-0}))
  done
  echo "$switches $runtime $(date +%s%N)"
}

# Discovery takes about 2 s; then the scan of the router's addresses begins.
sleep 4
if ! kill -0 "$updater" 2>/dev/null; then
  echo "scan-bench: the Updater ended before the window" >&2
  cat "$work/updater.log" >&2
  exit 1
fi
read -r s0 r0 t0 < <(sample)
sleep "$seconds"
read -r s1 r1 t1 < <(sample)
if ! kill -0 "$updater" 2>/dev/null; then
  echo "scan-bench: the Updater ended inside the window (make SECONDS shorter)" >&2
  exit 1
fi
awk -v s=$((s1 - s0)) -v r=$((r1 - r0)) -v t=$((t1 - t0)) 'BEGIN {
  wall = t / 1e9
  printf "router scan waiting on silent addresses: %.3f s CPU in %.3f s = %.2f %% of one core, %d context switches = %.1f/s\n",
    r / 1e9, wall, 100 * r / t, s, s / wall }'
