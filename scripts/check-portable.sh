#!/usr/bin/env bash
# The controller (src/app, src/backend, src/ui) is portable: it reaches the
# system only through the neutral headers in src/platform/. This checks what
# compiling it against POSIX.1-2008 alone would (libstdc++ itself needs
# _GNU_SOURCE, so that cannot be done directly): no system header but the
# C++ library's and <sys/types.h>, no platform directory's own header (the
# entry point alone picks the desktop adapter), and no call into the global
# namespace, which is where the system's functions are.
set -euo pipefail
cd "$(dirname "$0")/.."

failed=0
while IFS= read -r file; do
    while IFS= read -r line; do
        echo "$file: $line"
        failed=1
    done < <(
        grep -nE '^#include <[^>]*\.h>' "$file" | grep -v '<sys/types.h>' || true
        if [ "$file" != src/app/main.cpp ]; then
            grep -nE '^#include "platform/[a-z_]+/' "$file" || true
        fi
        grep -nE '(^|[^:A-Za-z0-9_>])::[a-z_]+\(' "$file" || true
    )
done < <(find src/app src/backend src/ui -name '*.cpp' -o -name '*.h' | sort)
if [ "$failed" -ne 0 ]; then
    echo "check-portable: the lines above reach the system around src/platform/" >&2
    exit 1
fi
echo "check-portable: src/app, src/backend and src/ui use the platform headers only"
