#!/usr/bin/env bash
# Sources the Updater completion and checks what it offers for a few command
# lines, with a store of known devices in a temporary QUILLNODE_HOME.
set -u
completion=$1
source "$completion" || exit 1

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
mkdir -p "$home/.vorlaine/updater/40F5849A" "$home/.vorlaine/updater/D272031D" \
  "$home/.vorlaine/updater/RECOVER" "$home/.vorlaine/updater/.cache" \
  "$home/.vorlaine/updater/0012abcd"
touch "$home/.vorlaine/updater/4F000000"   # a file, not a device directory
export QUILLNODE_HOME=$home

failures=0
# expect "<words of the command line, the last one being completed>" "<offers>"
expect() {
  read -r -a COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMPREPLY=()
  _quillnode_updater
  local got
  got=$(printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ')
  if [ "${got% }" != "$2" ]; then
    echo "FAIL: [$1] offers [${got% }], expected [$2]"
    failures=$((failures + 1))
  fi
}

expect "Updater -d " "40F5849A D272031D"
expect "Updater -U -d 4" "40F5849A"
expect "Updater -U -d 40f" "40F5849A"
expect "Updater -D -r D" "D272031D"
expect "Updater -d = " "40F5849A D272031D"
expect "Updater -t " "RECOVER TCP TCPIP USB"
expect "Updater -t TC" "TCP TCPIP"
expect "Updater -o 11" "115200"
expect "Updater -b " ""
expect "Updater -D -O" "-OVERRIDE"
expect "Updater --h" "--help"
expect "Updater -D -" "$(printf '%s\n' -B -C -D -G -H -I -N -OVERRIDE -U -X -Y -Z -b -d -e -f -h -k -l -o -r -s -t -u --help | sort | tr '\n' ' ' | sed 's/ $//')"

# No store yet: nothing to offer, and no error.
QUILLNODE_HOME=$home/none expect "Updater -d " ""

[ "$failures" -eq 0 ] && echo "all completions as expected"
exit "$failures"
