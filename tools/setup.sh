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

if [ -n "$missing" ]; then
    echo "setup: installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    apt-get update -q
    apt-get install -y -q --no-install-recommends $missing
fi

if ! has_locale; then
    echo "setup: generating the locale $LOCALE"
    localedef -i ja_JP -f UTF-8 "$LOCALE"
fi
