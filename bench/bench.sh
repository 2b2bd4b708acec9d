#!/bin/sh
# make bench / make bench-long: builds the helper programs (a release native
# program that times HttpFetch, a plain native receive loop, and a bare
# Winsock receive loop at each width for Wine), then runs bench/bench.py against one loopback nginx and the
# scripted bench/slowserver.py, and writes bench/results.md.
# The served files (about 330 MiB, and a 3 GiB extracted file for a moment
# with --long) live under BUILD_ROOT/bench/data and are removed on every way
# out; so are the Wine servers of the trees' prefixes.
# Usage: sh bench/bench.sh ABSOLUTE_BUILD_ROOT [--long]
#   BUILD_ROOT holds the Windows trees win32 and win64 (make builds the
#   plug-ins, spihost.exe and spibench.exe in them first).
# BENCH_OPTIONS=--quick: two runs of everything, to try the script.
set -eu

build=${1:?usage: bench.sh BUILD_ROOT [--long]}
shift
repo=$(cd "$(dirname "$0")/.." && pwd)
tools=$build/bench
work=$tools/data

cleanup() {
    rm -rf "$work"
    for tree in win64 win32; do
        [ -d "$build/$tree/wineprefix" ] &&
            WINEPREFIX="$build/$tree/wineprefix" wineserver -k 2>/dev/null || true
    done
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$tools"
cd "$repo"
echo "bench: building $tools/fetch_bench, native_floor, floor32.exe and floor64.exe"
clang++ -O2 -std=c++17 -Wall -Wextra -pthread -I"$repo" -o "$tools/fetch_bench" \
    bench/fetch_bench.cpp urllist/urllist.cpp http/*.cpp plugin/*.cpp compat/win32_stub.cpp
clang++ -O2 -std=c++17 -Wall -Wextra -o "$tools/native_floor" bench/native_floor.cpp
i686-w64-mingw32-g++-posix -O2 -static -Wall -Wextra -o "$tools/floor32.exe" \
    bench/floor.cpp -lwsock32
x86_64-w64-mingw32-g++-posix -O2 -static -Wall -Wextra -o "$tools/floor64.exe" \
    bench/floor.cpp -lwsock32

rm -rf "$work"
python3 -B bench/bench.py --build "$build" --tools "$tools" --work "$work" \
    --out "$repo/bench/results.md" "$@" ${BENCH_OPTIONS:-}
