#!/bin/sh
# make demo: serves demo/images from an nginx of our own on a free loopback
# port, writes a URL list of the images, lists it and extracts every member
# with ./spihost under Wine, and compares the extracted bytes with the originals.
# ./spihost runs the 32-bit build where this kernel runs 32-bit programs, else
# the 64-bit one (and says so); KESTA_NO_WIN32=1 takes the 64-bit one anyway.
# Usage: sh demo/demo.sh ABSOLUTE_BUILD_DIR   (the directory of win32 and win64)
set -eu

builds=${1:?usage: demo.sh BUILD_DIR}
repo=$(cd "$(dirname "$0")/.." && pwd)
images=$repo/demo/images
harness=$repo/tests/e2e/harness.py
out=$builds/demo-out
work=$(mktemp -d "${TMPDIR:-/tmp}/kesta-demo.XXXXXX")
nginx_pid=""
export KESTA_BUILD_ROOT="$builds"
unset KESTA_BUILD

# Stops nginx and removes its directory on every way out, errors included.
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill -QUIT "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
        nginx_pid=""
    fi
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port=$(python3 "$harness" conf "$images" "$work")
nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" </dev/null >/dev/null 2>&1 &
nginx_pid=$!
if ! python3 "$harness" wait "$port" 10; then
    echo "demo: nginx did not start on 127.0.0.1:$port" >&2
    cat "$work/error.log" >&2 2>/dev/null || true
    exit 1
fi

rm -rf "$out"
mkdir -p "$out/files"
list=$out/demo.ykt
# CR LF line ends, as a list written on Windows has them.
for f in "$images"/*; do
    printf 'http://127.0.0.1:%s/%s\r\n' "$port" "$(basename "$f")"
done >"$list"

echo "== URL list $list"
tr -d '\r' <"$list"
echo
echo "== ./spihost list $list"
"$repo/spihost" list "$list"
echo
echo "== ./spihost extract $list -o $out/files"
"$repo/spihost" extract "$list" -o "$out/files"
echo

status=0
for f in "$images"/*; do
    name=$(basename "$f")
    if cmp -s "$f" "$out/files/$name"; then
        echo "same bytes: $name"
    else
        echo "DIFFERENT: $name" >&2
        status=1
    fi
done
echo
if [ "$status" -eq 0 ]; then
    echo "demo: every member extracted intact into $out/files"
else
    echo "demo: extracted files differ from the originals" >&2
fi
exit "$status"
