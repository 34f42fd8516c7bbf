#!/bin/bash
# Times the loader download of an i.MX recovery: a 64 KB loader written by
# Updater into the simulated boot ROM over a serial line (qn-usbemu
# --imx-serial, paced at 115200 baud and unpaced) and over USB HID (qn-usbemu
# --imx), followed by the firmware transfer to the module the device becomes
# on the emulated bus when the loader is started (--imx-becomes).
# Prints the loader time and throughput per run; over the paced line it also
# prints the share of the line rate (10 bits per byte) that was used.
#
#   bench/recovery/imx_bench.sh [BUILD_DIR]   (default build)
#
# Everything runs on this machine, in a network namespace of its own:
# pseudo-terminals, an emulated USB bus and a loopback update server.
set -u
if [ -z "${QN_BENCH_NETNS:-}" ]; then
  QN_BENCH_NETNS=1 exec unshare --net /bin/bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi
BUILD=${1:-build}
TOOLS=$BUILD/tools
for f in "$BUILD/Updater" "$TOOLS/qn-usbemu" "$TOOLS/birdtool" \
  "$TOOLS/qn-update-server"; do
  [ -x "$f" ] || { echo "missing $f (build Updater and the tools first)" >&2; exit 1; }
done

WORK=$(mktemp -d)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2> /dev/null; wait "$p" 2> /dev/null; done
  [ -z "${KEEP:-}" ] && rm -rf "$WORK"
}
trap cleanup EXIT
[ -n "${KEEP:-}" ] && echo "work: $WORK"

SERIAL=5A5AC0DE
LOADER=65536
"$TOOLS/birdtool" gen-image --size $LOADER --seed 7 -o "$WORK/loader.bin" > /dev/null || exit 1
"$TOOLS/birdtool" gen-image --size 4096 --seed 8 -o "$WORK/fw.bin" > /dev/null || exit 1
mkdir -p "$WORK/fw/devices/$SERIAL"
"$TOOLS/birdtool" pack -o "$WORK/fw/devices/$SERIAL/77.bird" --loader "0x20200000:$WORK/loader.bin" \
  --firmware "0x60000000:$WORK/fw.bin" --info "77,1.2.3,$SERIAL,QN-RT" --stamp 1.2.3,77 \
  > /dev/null || exit 1
echo QN-RT > "$WORK/fw/devices/$SERIAL/model"
echo "0 0 A 1234ABCD $SERIAL 77" > "$WORK/fw/fingerprints"

. "$(dirname "$0")/update-server.sh"
start_update_server
MODULE="serial=$SERIAL,model=4"

# Stamps every line of standard input with the time it arrived.
stamp() { while IFS= read -r line; do printf '%s %s\n' "$(date +%s.%N)" "$line"; done; }

# report NAME FILE STATUS [LINE_RATE]: the loader time is from the request
# to open the boot ROM to its "Loader Transfer Successful"; the serial
# transport's 1 s settling pause after opening the port is taken out.
report() {
  local from to settle=0
  from=$(grep -m1 'Firmware_Recovery via Serial Interface (iMX):' "$2" | cut -d' ' -f1)
  to=$(grep -m1 'Loader Transfer Successful' "$2" | cut -d' ' -f1)
  [ "$1" != "HID" ] && settle=1
  if [ -z "$from" ] || [ -z "$to" ]; then
    printf '%-22s loader not written (status %d)\n' "$1" "$3"
    return
  fi
  awk -v a="$from" -v b="$to" -v s=$settle -v n=$LOADER -v rate="${4:-0}" -v name="$1" \
    -v st="$3" 'BEGIN {
      t = b - a - s
      printf "%-22s %6.3f s for %d bytes, %8.0f bytes/s", name, t, n, n / t
      if (rate > 0) printf ", %3.0f%% of the line rate", 100 * n / t / (rate / 10)
      printf " (status %d)\n", st
    }'
}

for baud in ${BAUDS:-115200 0}; do
  rm -rf "$WORK/home"
  QUILLNODE_HOME="$WORK/home" "$TOOLS/qn-usbemu" \
    --imx-serial "$WORK/tty,fingerprint=0000000A1234ABCD,baud=$baud" --imx-becomes "$MODULE" \
    -- "$BUILD/Updater" -U -t RECOVER -s "$WORK/tty" -u "$URL" 2>&1 | stamp > "$WORK/serial-$baud.out"
  status=${PIPESTATUS[0]}
  name="serial $baud baud"
  [ $baud -eq 0 ] && name="serial unpaced"
  report "$name" "$WORK/serial-$baud.out" "$status" $baud
done

rm -rf "$WORK/home"
QUILLNODE_HOME="$WORK/home" "$TOOLS/qn-usbemu" --imx fingerprint=0000000A1234ABCD \
  --imx-becomes "$MODULE" -- "$BUILD/Updater" -U -t RECOVER -s USB -u "$URL" 2>&1 |
  stamp > "$WORK/hid.out"
report HID "$WORK/hid.out" "${PIPESTATUS[0]}"
