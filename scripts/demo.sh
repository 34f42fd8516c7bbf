#!/usr/bin/env bash
# The main job. With no module attached, a tour of the Updater against the
# bundled simulators: two simulated modules (qn-modsim) and the reference
# update server (qn-update-server), all inside a private network namespace,
# so that discovery traffic never leaves this machine. Everything the
# Updater writes goes to a private store under ./demo-out.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "${QN_DEMO_IN_LAB:-}" != 1 ]; then
  # Re-run this script inside a network namespace of its own (as root, or
  # with a user namespace otherwise).
  if [ "$(id -u)" -eq 0 ]; then
    exec env QN_DEMO_IN_LAB=1 unshare --net "$0" "$@"
  else
    exec env QN_DEMO_IN_LAB=1 unshare --user --map-root-user --net "$0" "$@"
  fi
fi

B=build
OUT=$PWD/demo-out
rm -rf "$OUT"
mkdir -p "$OUT/home" "$OUT/fw" "$OUT/images"
export QUILLNODE_HOME=$OUT/home
LAB=10.77.0.1
PIDS=()
cleanup() { for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; }
trap cleanup EXIT

say() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
run() { printf '$ %s\n' "Updater $*"; "$B/Updater" "$@" || printf '(exit status %d)\n' "$?"; }

. scripts/lab-network.sh
lab_network_up

say "Firmware for the update server, made with birdtool"
"$B/tools/birdtool" gen-image --size 16384 --seed 1 -o "$OUT/images/fw-12.bin"
"$B/tools/birdtool" gen-image --size 16384 --seed 2 -o "$OUT/images/fw-13.bin"
"$B/tools/birdtool" gen-image --size 2048 --seed 3 -o "$OUT/images/loader.bin"
for b in 12 13; do
  "$B/tools/birdtool" pack -o "$OUT/images/$b.bird" \
    --loader 0x10000000:"$OUT/images/loader.bin" \
    --firmware 0x0:"$OUT/images/fw-$b.bin" \
    --info "$b,2.2.$b,OFFLINE,Tarlinx" --serial-offsets 0x200,0x300 \
    --stamp "2.2.$b,$b"
done
"$B/tools/birdtool" show "$OUT/images/13.bird"
mkdir -p "$OUT/fw/devices/40F5849A"
echo "QN-TARLINX" > "$OUT/fw/devices/40F5849A/model"
echo 13 > "$OUT/fw/devices/40F5849A/latest"
printf '12;2.2.12\n13;2.2.13\n' > "$OUT/fw/devices/40F5849A/builds"
cp "$OUT/images/12.bird" "$OUT/images/13.bird" "$OUT/fw/devices/40F5849A/"

say "Check a BIRD file (-C) and record a message (-l)"
run -C -f "$OUT/images/13.bird"
run -Z 1 -l "demo started"

say "Start two simulated modules and the update server"
"$B/tools/qn-modsim" --bind $LAB --discovery $LAB \
  --module serial=40F5849A,port=0,model=4,version=2.1.3,build=11 \
  --module serial=0012ABCD,port=0,model=5,addr=06,version=1.0.7,build=99 \
  > "$OUT/modsim.log" 2>&1 &
PIDS+=($!)
"$B/tools/qn-update-server" --root "$OUT/fw" --listen 127.0.0.1:9890 > "$OUT/server.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do
  grep -q "ready" "$OUT/modsim.log" && grep -q "listening" "$OUT/server.log" && break
  sleep 0.1
done
cat "$OUT/modsim.log" "$OUT/server.log"

say "Discover modules on both transports (-D)"
run -D

say "Download the latest build (-G), list the builds (-B)"
run -G -d 40F5849A
run -B -d 40F5849A

say "Stored information of one device (-I)"
run -I -d 40F5849A -t TCP

say "Download the latest build and install it into the module (-G -U), then discover again"
run -G -U -d 40F5849A -t TCP
sleep 1  # the module restarts into its new firmware
run -D -t TCP

say "The store on disk"
(cd "$OUT/home" && find .vorlaine -type f | sort | while read -r f; do
  printf -- '--- %s\n' "$f"
  case "$f" in *.bird) echo "(BIRD file, $(stat -c %s "$f") bytes)";; *) cat "$f";; esac
done)
