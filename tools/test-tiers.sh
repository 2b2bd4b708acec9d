#!/bin/sh
# make test and its parts: runs the CTest suites of the given tiers in the
# order given (make test: native, win64, win32), each to its end even when
# an earlier one failed, stops each Wine prefix's server after its tier and
# again at the end, and prints one line per tier at the end. Exits non-zero
# if any tier failed.
#
#   sh tools/test-tiers.sh BUILD_DIR JOBS TIER...    TIER: native, win64, win32
#
# The win32 tier needs a kernel that runs 32-bit x86 programs (32-bit Wine is
# one). Where it runs none, or with KESTA_NO_WIN32=1, the tier runs only the
# static check of KESTA.SPI's export table and says in one line why the rest
# was skipped.
set -u
repo=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: test-tiers.sh BUILD_DIR JOBS TIER...}" && pwd)
jobs=${2:?usage: test-tiers.sh BUILD_DIR JOBS TIER...}
shift 2

status=0
summary=""

# Appends a line to the summary.
note() {
    summary="$summary
$1"
}

# "<tier> tier passed in N s" or "... FAILED after N s"; records a failure.
outcome() {
    seconds=$(($(date +%s) - started))
    if [ "$2" = 0 ]; then
        note "$1 tier passed in $seconds s"
    else
        note "$1 tier FAILED after $seconds s"
        status=1
    fi
}

# Stops the servers of a tree's prefixes (the tree's own and the Japanese one).
stop_wine() {
    for prefix in "$1/wineprefix" "$1/wineprefix-ja"; do
        [ -d "$prefix" ] && WINEPREFIX="$prefix" wineserver -k 2>/dev/null
    done
    true
}

# Why 32-bit programs cannot run here; empty when they can.
no_win32_reason() {
    why=$(python3 "$repo/tools/runs-i386.py" "$build/win32/runs-i386") ||
        echo "${why:-the i386 probe failed}"
}

for tier; do
    started=$(date +%s)
    echo "== $tier tier"
    case $tier in
        native)
            ctest --test-dir "$build/native" --output-on-failure -j "$jobs"
            outcome native $?
            ;;
        win64)
            ctest --test-dir "$build/win64" --output-on-failure
            outcome win64 $?
            stop_wine "$build/win64"
            ;;
        win32)
            reason=$(no_win32_reason)
            if [ -z "$reason" ]; then
                ctest --test-dir "$build/win32" --output-on-failure
                outcome win32 $?
                stop_wine "$build/win32"
            elif ctest --test-dir "$build/win32" --output-on-failure -L '^static$'; then
                note "win32 tier skipped: $reason; KESTA.SPI was built and its export table checked statically"
            else
                note "win32 tier skipped: $reason; KESTA.SPI was built, and the static check of its export table FAILED"
                status=1
            fi
            ;;
        *)
            echo "test-tiers.sh: unknown tier '$tier'" >&2
            exit 2
            ;;
    esac
done

# A tier may start the other tree's Wine too (./spihost picks its tree by
# the kernel), so every prefix's server is stopped once more at the end.
for tree in win64 win32; do
    [ -d "$build/$tree/wineprefix" ] && stop_wine "$build/$tree"
done

echo "== tiers$summary"
exit $status
