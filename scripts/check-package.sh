#!/usr/bin/env bash
# Checks the Debian packages that scripts/package.sh wrote into build-pkg/:
# their contents and Depends, that the programs run from the unpacked
# packages, and that the service unit passes systemd-analyze verify.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build-pkg}
version=$(sed -n 's/^project(Quillnode VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
failures=0
fail() {
  echo "package check FAILED: $*" >&2
  failures=$((failures + 1))
}

deb() { echo "$BUILD/$1_${version}_${arch}.deb"; }

# has <deb> <path>...: every path is in the package.
has() {
  local pkg=$1 listing path
  shift
  listing=$(dpkg-deb -c "$pkg" | awk '{print $6}' | sed 's|^\./|/|')
  for path in "$@"; do
    grep -qx -- "$path" <<<"$listing" || fail "$(basename "$pkg") lacks $path"
  done
}

# lacks <deb> <regex>: no path of the package matches.
lacks() {
  if dpkg-deb -c "$1" | awk '{print $6}' | grep -qE -- "$2"; then
    fail "$(basename "$1") holds $2"
  fi
}

# depends <deb> <package>...: the Depends field names every package.
depends() {
  local pkg=$1 field dep
  shift
  field=$(dpkg-deb -f "$pkg" Depends)
  for dep in "$@"; do
    grep -qE "(^|, )$dep( |,|$)" <<<"$field" || fail "$(basename "$pkg") does not depend on $dep: $field"
  done
}

updater=$(deb quillnode-updater)
server=$(deb quillnode-update-server)
simulators=$(deb quillnode-simulators)
for pkg in "$updater" "$server" "$simulators"; do
  [ -f "$pkg" ] || { fail "missing $pkg"; exit 1; }
done

has "$updater" /usr/bin/Updater /usr/bin/birdtool \
  /usr/lib/udev/rules.d/70-quillnode.rules \
  /usr/share/man/man1/Updater.1.gz /usr/share/man/man1/birdtool.1.gz \
  /usr/share/bash-completion/completions/Updater \
  /usr/share/doc/quillnode-updater/README.md /usr/share/doc/quillnode-updater/docs/commands.md
has "$server" /usr/bin/qn-update-server /usr/share/man/man1/qn-update-server.1.gz \
  /usr/lib/systemd/system/quillnode-update-server.service /etc/default/quillnode-update-server
has "$simulators" /usr/bin/qn-modsim /usr/bin/qn-lpcsim /usr/bin/qn-sdpsim /usr/bin/qn-usbemu
for pkg in "$updater" "$server" "$simulators"; do
  lacks "$pkg" 'bench|probe'
done
depends "$updater" 'libcurl4[^ ,]*' 'libusb-1\.0-0' 'libhidapi-hidraw0' zlib1g
depends "$server" 'libcpp-httplib[^ ,]*'
[ "$(dpkg-deb -I "$server" conffiles)" = "/etc/default/quillnode-update-server" ] || fail "the server's settings are not a conffile"
dpkg-deb -I "$updater" postinst | grep -q 'udevadm control --reload-rules' ||
  fail "quillnode-updater does not reload the udev rules"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for pkg in "$updater" "$server" "$simulators"; do dpkg-deb -x "$pkg" "$root"; done

out=$("$root/usr/bin/Updater" -h) || fail "Updater -h from the package exits $?"
grep -q "Application Usage:" <<<"$out" || fail "Updater -h from the package prints no usage"
"$root/usr/bin/birdtool" help >/dev/null || fail "birdtool help from the package"
"$root/usr/bin/qn-update-server" --help >/dev/null || fail "qn-update-server --help from the package"
"$root/usr/bin/qn-modsim" --help >/dev/null 2>&1 || fail "qn-modsim --help from the package"
zcat "$root/usr/share/man/man1/Updater.1.gz" | grep -q '^\.SH ENVIRONMENT' ||
  fail "Updater.1 has no ENVIRONMENT section"
bash -n "$root/usr/share/bash-completion/completions/Updater" || fail "completion script syntax"

# The unit names /usr/bin/qn-update-server: verify a copy that points at the
# unpacked binary.
service=$root/usr/lib/systemd/system/quillnode-update-server.service
grep -q '^ExecStart=/usr/bin/qn-update-server ' "$service" || fail "the unit does not run /usr/bin/qn-update-server"
grep -qx 'EnvironmentFile=-/etc/default/quillnode-update-server' "$service" ||
  fail "the unit does not read /etc/default/quillnode-update-server"
if command -v systemd-analyze >/dev/null 2>&1; then
  unit=$root/verify/quillnode-update-server.service
  mkdir -p "$root/verify"
  sed "s|/usr/bin/qn-update-server|$root/usr/bin/qn-update-server|" \
    "$service" >"$unit"
  if ! verify=$(SYSTEMD_LOG_LEVEL=warning systemd-analyze verify --man=no "$unit" 2>&1) ||
    [ -n "$verify" ]; then
    fail "systemd-analyze verify: $verify"
  fi
else
  echo "systemd-analyze not available: the service unit is not verified"
fi

[ "$failures" -eq 0 ] || exit 1
echo "packages checked: $(cd "$BUILD" && ls -1 ./*.deb | sed 's|^\./||' | tr '\n' ' ')"
