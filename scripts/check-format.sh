#!/usr/bin/env bash
# Fails, naming the places, when a C++ file is not as clang-format (.clang-format) writes it.
# To fix: scripts/check-format.sh --fix
set -euo pipefail
cd "$(dirname "$0")/.."
mode=(--dry-run --Werror)
[ "${1:-}" = "--fix" ] && mode=(-i)
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z -- '*.cpp' '*.h' | xargs -0 clang-format "${mode[@]}"
else
    find src tests bench tools \( -name '*.cpp' -o -name '*.h' \) -print0 | xargs -0 clang-format "${mode[@]}"
fi
