#!/bin/sh
# Runs a Windows program under Wine in the build tree's private prefix
# (WINEPREFIX), headless and quiet. The first caller creates the prefix; every
# caller makes sure a wineserver for it is already up before the program
# starts, so that Wine's background services never inherit the caller's
# output pipes (ctest would otherwise wait for them after every test).
set -u
: "${WINEPREFIX:?WINEPREFIX must name the build tree's prefix}"
export WINEPREFIX
export WINEDEBUG=-all
export WINEARCH=win32
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$(dirname "$WINEPREFIX")"
(
    flock 9
    # Starts a server that outlives this program by a minute (returns at once;
    # does nothing when one is already up), then the session's services by a
    # no-op program, with no pipe of ours and without the lock (fd 9), which
    # they would otherwise hold for as long as they live. The first use
    # creates the prefix (about 9 s); later ones cost a few hundredths.
    wineserver -p60 </dev/null >/dev/null 2>&1 9>&-
    if [ -d "$WINEPREFIX/drive_c" ]; then
        wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 9>&-
    else
        wine wineboot --init </dev/null >/dev/null 2>&1 9>&-
    fi
) 9>"$WINEPREFIX.lock"

exec wine "$@"
