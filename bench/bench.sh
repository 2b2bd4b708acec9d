#!/bin/sh
# make bench: builds the two helper programs (a release native program that
# times HttpFetch, and a bare Winsock receive loop for Wine), then runs
# bench/bench.py against one loopback nginx and writes bench/results.md.
# The served files (about 330 MiB) live under the build tree and are removed
# on every way out; so is the Wine server of the build's prefix.
# Usage: sh bench/bench.sh ABSOLUTE_WINDOWS_BUILD ABSOLUTE_NATIVE_BUILD
# (BENCH_OPTIONS=--quick: two runs of everything, to try the script.)
set -eu

win=${1:?usage: bench.sh WINDOWS_BUILD NATIVE_BUILD}
native=${2:?usage: bench.sh WINDOWS_BUILD NATIVE_BUILD}
repo=$(cd "$(dirname "$0")/.." && pwd)
# The helpers get a build directory of their own beside the two trees.
tools=$(dirname "$native")/bench
work=$tools/data

cleanup() {
    rm -rf "$work"
    WINEPREFIX="$win/wineprefix" wineserver -k 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$tools"
cd "$repo"
echo "bench: building $tools/fetch_bench and $tools/floor.exe"
clang++ -O2 -std=c++17 -Wall -Wextra -I"$repo" -o "$tools/fetch_bench" \
    bench/fetch_bench.cpp urllist/urllist.cpp http/*.cpp plugin/*.cpp compat/win32_stub.cpp
i686-w64-mingw32-g++-posix -O2 -static -Wall -Wextra -o "$tools/floor.exe" \
    bench/floor.cpp -lwsock32

rm -rf "$work"
python3 -B bench/bench.py --win "$win" --tools "$tools" --work "$work" \
    --out "$repo/bench/results.md" ${BENCH_OPTIONS:-}
