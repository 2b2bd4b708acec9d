#!/bin/sh
# Runs a Windows program under Wine in a build tree's private prefix
# (WINEPREFIX), headless (see KESTA_WINE_DISPLAY) and quiet, with the loader
# of the prefix's width:
# WINEARCH=win32 (the default) or win64. Each Windows build tree has a
# launcher, <tree>/wine-run, that sets both and calls this script.
#
# The first caller creates the prefix; every caller makes sure a wineserver
# for it is already up before the program starts, so that Wine's background
# services never inherit the caller's output pipes (ctest would otherwise
# wait for them after every test). KESTA_WINE_WARM=1 skips that step for a
# caller that knows the prefix's server is up (it ran a program moments ago).
set -u
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
WINEARCH=${WINEARCH:-win32}
export WINEPREFIX WINEARCH
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Headless, unless a test asks for an X display (KESTA_WINE_DISPLAY, an Xvfb
# of its own) to see what a desktop would show.
if [ -n "${KESTA_WINE_DISPLAY:-}" ]; then
    DISPLAY=$KESTA_WINE_DISPLAY
    export DISPLAY
fi

# Debian's `wine` prefers the 32-bit loader whenever wine32 is installed; a
# 64-bit prefix needs the 64-bit loader by its path.
case $WINEARCH in
    win32) wine=wine ;;
    win64) wine=/usr/lib/wine/wine64 ;;
    *) echo "wine-run.sh: WINEARCH must be win32 or win64, not '$WINEARCH'" >&2; exit 125 ;;
esac

if [ "${KESTA_WINE_WARM:-}" != 1 ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        # Starts a server that outlives this program by a minute (returns at
        # once; does nothing when one is already up), then the session's
        # services by a no-op program, with no pipe of ours and without the
        # lock (fd 9), which they would otherwise hold for as long as they
        # live. The first use creates the prefix (about 9 s); later ones cost
        # a few hundredths.
        wineserver -p60 </dev/null >/dev/null 2>&1 9>&-
        if [ -d "$WINEPREFIX/drive_c" ]; then
            "$wine" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 9>&-
        else
            "$wine" wineboot --init </dev/null >/dev/null 2>&1 9>&-
        fi
    ) 9>"$WINEPREFIX.lock"
fi

exec "$wine" "$@"
