#!/bin/sh
# Installs what the build and the tests need on Debian 12, as root, and does
# nothing when everything is already there. Safe to run any number of times.
set -eu

PACKAGES="cmake make g++ clang libclang-rt-14-dev
g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
wine wine32:i386 wine64 googletest nginx-light python3 curl wget util-linux time
hyperfine locales xvfb xauth libgnutls30:amd64 libgnutls30:i386"

# Wine's SChannel (https://) needs GnuTLS at each width; wine only recommends it.
# The Japanese locale that gives Wine code page 932 for the tests of names
# in the ANSI code page most of the plug-in's users have.
LOCALE=ja_JP.UTF-8

has_locale() {
    locale -a 2>/dev/null | grep -qix 'ja_JP.utf8'
}

missing=""
for p in $PACKAGES; do
    # dpkg-query knows "wine32:i386" as it is written; a package counts as
    # present only when it is fully installed.
    st=$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null || true)
    [ "$st" = "installed" ] || missing="$missing $p"
done

if [ -z "$missing" ] && has_locale; then
    exit 0
fi

if [ "$(id -u)" != 0 ]; then
    [ -n "$missing" ] && echo "setup: missing packages:$missing" >&2
    has_locale || echo "setup: missing the locale $LOCALE" >&2
    echo "setup: run 'make setup' as root to install them" >&2
    exit 1
fi

# The 32-bit packages (Wine's i386 half): only the win32 test tier needs
# them, and a mirror may not have them in step with the 64-bit ones.
is_i386() {
    case $1 in *:i386) return 0 ;; esac
    return 1
}

# Installs the packages named; apt's error lines go to the file $2.
install() {
    # shellcheck disable=SC2086
    apt-get install -y -q --no-install-recommends $1 2>"$2"
    rc=$?
    cat "$2" >&2
    return $rc
}

if [ -n "$missing" ]; then
    echo "setup: installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    # A mirror in the middle of a sync can fail one index file ("File has
    # unexpected size"): apt-get update then exits non-zero, though every
    # package may still be found in the other indexes. The install decides.
    errors=$(mktemp)
    if ! apt-get update -q 2>"$errors.update"; then
        cat "$errors.update" >&2
        echo "setup: apt-get update failed for some index files; installing from the others" >&2
    fi
    if ! install "$missing" "$errors"; then
        wide=""
        narrow=""
        for p in $missing; do
            if is_i386 "$p"; then narrow="$narrow $p"; else wide="$wide $p"; fi
        done
        if [ -z "$narrow" ] || ! install "$wide" "$errors.wide"; then
            rm -f "$errors" "$errors.wide"
            echo "setup: the packages could not be installed (see apt-get's messages above)" >&2
            exit 1
        fi
        # apt's own words: the first unmet dependency, and the i386 index
        # that failed to download, if one did.
        why=$(apt-get install -s -q --no-install-recommends $narrow 2>&1 |
              grep -m 1 ':i386 : Depends: ' | tr -s ' ' || true)
        index=$(grep -m 1 -E '^E: Failed to fetch .*i386' "$errors.update" | tr -s ' ' | cut -c4- || true)
        rm -f "$errors" "$errors.wide" "$errors.update"
        echo "setup: the 32-bit packages$narrow could not be installed:${why:- apt-get failed}${index:+ (apt-get update: $index)}" >&2
        echo "setup: every other package is installed; make test runs the native and win64 tiers and reports the win32 tier as not run" >&2
    fi
    rm -f "$errors" "$errors.update"
fi

if ! has_locale; then
    echo "setup: generating the locale $LOCALE"
    localedef -i ja_JP -f UTF-8 "$LOCALE"
fi
