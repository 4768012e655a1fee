#!/usr/bin/env bash
# Builds the fuzz flavour and runs every libFuzzer harness (fuzz/*_fuzz.cpp) for
# a bounded time, on a scratch copy of its committed seed corpus in
# fuzz/corpus/<harness>/, under AddressSanitizer and UndefinedBehaviorSanitizer
# with leak detection. Any crash, leak, timeout or sanitizer report fails; the
# input that caused it is kept in build/fuzz/artifacts/.
# Usage: scripts/fuzz.sh [seconds per harness, default 60] [harness...]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
[ $# -gt 0 ] && shift
if [ $# -gt 0 ]; then
    harnesses=("$@")
else
    harnesses=()
    for f in fuzz/*_fuzz.cpp; do
        h=$(basename "$f" _fuzz.cpp)
        harnesses+=("$h")
    done
fi

scripts/deps.sh
scripts/build.sh fuzz "${harnesses[@]/%/_fuzz}"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
artifacts=build/fuzz/artifacts
mkdir -p "$artifacts"

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

summary=()
for h in "${harnesses[@]}"; do
    printf '\n---- %s: %s s\n' "$h" "$seconds"
    cp -r "fuzz/corpus/$h" "$scratch/$h"
    options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -detect_leaks=1
             -print_final_stats=1 -artifact_prefix="$artifacts/$h-")
    [ -f "fuzz/dict/$h.dict" ] && options+=(-dict="fuzz/dict/$h.dict")
    log="$scratch/$h.log"
    if ! "build/fuzz/fuzz/${h}_fuzz" "${options[@]}" "$scratch/$h" >"$log" 2>&1; then
        tail -n 80 "$log"
        echo "FAILED: $h (input kept in $artifacts/)" >&2
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    cover=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1)
    summary+=("$(printf '%-28s %10s executions, %s, corpus %s files' "$h" "$runs" "$cover" \
                 "$(ls "$scratch/$h" | wc -l)")")
done

printf '\n---- fuzzing summary (%s s per harness)\n' "$seconds"
printf '%s\n' "${summary[@]}"
