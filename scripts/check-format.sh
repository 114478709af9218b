#!/bin/bash
# Fails when clang-format (the repository's .clang-format) would change a C++
# file. The kernel-style C keeps its own style: the drivers, the host kernel
# layer, and the C layers' *.c files with their headers.
# With --fix, formats those files in place instead.
set -euo pipefail
cd "$(dirname "$0")/.."
files=()
while IFS= read -r f; do
  case "$f" in drivers/* | sim/kernel/*) continue ;; esac
  [[ "$f" == *.h && -f "${f%.h}.c" ]] && continue
  files+=("$f")
done < <(git ls-files '*.cc' '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
else
  clang-format --dry-run -Werror "${files[@]}"
fi
