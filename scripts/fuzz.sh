#!/usr/bin/env bash
# Fuzzes every parser of outside input: builds each target with clang's
# libFuzzer, AddressSanitizer and UBSan, and runs each for SECONDS (default
# 60), starting from its committed corpus. Exit status 1 on any crash,
# time-out, leak or broken promise; the reproducer is kept in
# build/fuzz/findings/ (add it to tests/fuzz/corpus/TARGET/ once fixed).
# New inputs that reach further stay in build/fuzz/corpus/, not in the
# repository. Prints executions and coverage a target.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"

scripts/deps.sh
build=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKESTRIX_FUZZ=ON -DKESTRIX_BUILD_GTK=OFF \
    -DKESTRIX_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" >&2

mkdir -p "$build/findings"
failed=()
for seeds in tests/fuzz/corpus/*/; do
    target=$(basename "$seeds")
    work="$build/corpus/$target"
    mkdir -p "$work"
    log="$build/findings/$target.log"
    if "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/findings/$target-" \
        "$work" "$seeds" >"$log" 2>&1; then
        status=ok
    else
        status=FAILED
        failed+=("$target")
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1)
    printf '%-16s %-6s %10s runs  %s\n' "$target" "$status" "${runs:-?}" "${cov:-cov: ?}"
done
if [ ${#failed[@]} -gt 0 ]; then
    echo "failed: ${failed[*]} (logs and reproducers in $build/findings/)" >&2
    exit 1
fi
