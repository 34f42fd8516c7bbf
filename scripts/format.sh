#!/usr/bin/env bash
# Formats the C++ sources with the repository's .clang-format.
#   scripts/format.sh          rewrite the files in place
#   scripts/format.sh --check  list the files that differ and fail, change nothing
set -euo pipefail
cd "$(dirname "$0")/.."

mapfile -t files < <(git ls-files '*.cpp' '*.h')
if [ "${1:-}" = "--check" ]; then
  bad=()
  for f in "${files[@]}"; do
    clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
  done
  if [ ${#bad[@]} -ne 0 ]; then
    echo "Not formatted (run scripts/format.sh):" >&2
    printf '  %s\n' "${bad[@]}" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files clean"
else
  clang-format -i "${files[@]}"
fi
