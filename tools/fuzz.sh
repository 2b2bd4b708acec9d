#!/bin/sh
# Runs every libFuzzer target of the native build for SECONDS each, one after
# another, keeping the grown corpora in the build tree. Any finding (a crash,
# leak or time-out file) makes the run fail; the inputs are kept next to the
# corpora for a regression test.
# usage: tools/fuzz.sh NATIVE_BUILD_DIR SECONDS [JOBS]
set -u
build=$(cd "$1" && pwd) || exit 2
seconds=$2
jobs=${3:-1}
src=$(cd "$(dirname "$0")/.." && pwd)
status=0
for target in "$build"/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    work="$build/fuzz-corpus/$name"
    findings="$build/fuzz-findings/$name"
    mkdir -p "$work" "$findings"
    echo "== $name: $seconds s"
    start=$(date +%s)
    # With several jobs libFuzzer writes each job's log (fuzz-N.log) into the
    # current folder; one job logs straight to the target's log.
    parallel=""
    [ "$jobs" -gt 1 ] && parallel="-jobs=$jobs -workers=$jobs"
    # shellcheck disable=SC2086
    if ! cd "$build" || ! TZ=UTC "$target" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 \
            $parallel -print_final_stats=1 \
            -artifact_prefix="$findings/" "$work" "$src/tests/fuzz/corpus/$name" \
            >"$build/fuzz-$name.log" 2>&1; then
        echo "!! $name found something: see $findings and $build/fuzz-$name.log"
        status=1
    fi
    end=$(date +%s)
    logs="$build/fuzz-$name.log"
    [ -n "$parallel" ] && logs="$logs $(ls "$build"/fuzz-[0-9]*.log 2>/dev/null)"
    # shellcheck disable=SC2086
    runs=$(cat $logs | grep -h 'stat::number_of_executed_units' | awk '{s+=$2} END {print s+0}')
    echo "$(date -u +%Y-%m-%dT%H:%M:%SZ) $name seconds=$((end - start)) runs=$runs status=$status" \
        | tee -a "$build/fuzz-history.txt"
done
exit $status
