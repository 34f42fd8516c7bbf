#!/usr/bin/env bash
# Checks the formatting of the C++ sources; builds everything with
# warnings as errors, AddressSanitizer and UndefinedBehaviorSanitizer and
# runs every test; builds the link library's tests with ThreadSanitizer and
# runs them again; builds the Debian packages (Release, packaged programs
# only) and checks them.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-2}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

scripts/deps.sh
scripts/format.sh --check

cmake -S . -B build-check -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DQN_SANITIZE=address,undefined -DQN_WERROR=ON >/dev/null
cmake --build build-check -j "$JOBS"

cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DQN_SANITIZE=thread -DQN_TSAN_ONLY=ON -DQN_WERROR=ON >/dev/null
cmake --build build-tsan -j "$JOBS"

# The package build runs at the lowest priority on the CPU the tests leave
# idle: most tests wait on simulators and time-outs rather than compute, which
# is also why more of them run at once than there are cores.
package_dir=${BUILD:-build-pkg}
mkdir -p "$package_dir"
JOBS=$JOBS nice -n 19 scripts/package.sh >"$package_dir/package.log" 2>&1 &
package_build=$!
# fail: waits for the package build, then fails.
fail() {
  wait || true
  exit 1
}

ctest --test-dir build-check --output-on-failure -j "${CTEST_JOBS:-$((JOBS * 2))}" \
  --timeout 300 || fail
TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1} \
  ctest --test-dir build-tsan --output-on-failure -j "$JOBS" --timeout 300 --no-tests=ignore || fail

package_status=0
wait $package_build || package_status=$?
cat "$package_dir/package.log"
[ $package_status -eq 0 ]
scripts/check-package.sh
