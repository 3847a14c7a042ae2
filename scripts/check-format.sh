#!/usr/bin/env bash
# Fails when a C or C++ file of the tree is not as clang-format writes it
# (.clang-format); `scripts/check-format.sh --fix` writes them so. The
# format is the one of Debian 12's clang-format (14).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || {
    echo "Installing: clang-format" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang-format >&2
}
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
    clang-format -i "${files[@]}"
else
    clang-format --dry-run --Werror "${files[@]}"
fi
