#!/usr/bin/env bash
# Formats the C++ sources with the repository's .clang-format.
#   scripts/format.sh          rewrite the files in place
#   scripts/format.sh --check  list the files that differ and fail, change nothing
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  # One clang-format per batch of files: starting it once a file costs more
  # than the formatting.
  status=0
  report=$(printf '%s\0' "${files[@]}" |
    xargs -0 -n 32 -P "${JOBS:-2}" clang-format --dry-run --Werror 2>&1 >/dev/null) || status=$?
  mapfile -t bad < <(sed -n 's/^\([^:]*\):[0-9]*:[0-9]*: error: .*/\1/p' <<<"$report" | sort -u)
  if [ $status -ne 0 ] && [ ${#bad[@]} -eq 0 ]; then
    echo "clang-format failed:" >&2
    echo "$report" >&2
    exit 1
  fi
  if [ ${#bad[@]} -ne 0 ]; then
    echo "Not formatted (run scripts/format.sh):" >&2
    printf '  %s\n' "${bad[@]}" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files clean"
else
  clang-format -i "${files[@]}"
fi
