#!/usr/bin/env bash
# Runs a command with a ready Wine prefix, a persistent wineserver and an X
# display, then stops the wineserver and the display that it started itself.
set -uo pipefail

export WINEDEBUG=-all
export WINEDLLOVERRIDES='mscoree,mshtml='
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

if [ ! -f "${WINEPREFIX:-$HOME/.wine}/system.reg" ]; then
    echo "with-wine: making the Wine prefix (once, about 20 s)"
    "$WINE64" wineboot -i >/dev/null 2>&1
    "$WINESERVER" -w
fi

# A wineserver serves one prefix and works in a directory named for the
# prefix's device and inode; another prefix's server does not count.
prefix_server_running() {
    local dev ino want p
    read -r dev ino < <(stat -c '%d %i' "${WINEPREFIX:-$HOME/.wine}")
    want=$(printf 'server-%x-%x' "$dev" "$ino")
    for p in $(pgrep -u "$(id -u)" wineserver); do
        [ "$(basename "$(readlink "/proc/$p/cwd" 2>/dev/null)")" = "$want" ] && return 0
    done
    return 1
}

started_server=0
if ! prefix_server_running; then
    "$WINESERVER" -p
    started_server=1
fi

xvfb_pid=
if [ -z "${DISPLAY:-}" ]; then
    for n in $(seq 90 120); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
        xvfb_pid=$!
        export DISPLAY=":$n"
        for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
        break
    done
fi

# The first Wine program started on a new server starts Wine's own services
# (with the display known by now), and they inherit its standard output and
# error. Were that a test, ctest would wait on the pipes the services hold
# open until the test timed out; start them here, on nothing.
[ "$started_server" = 1 ] && { "$WINE64" wineboot </dev/null >/dev/null 2>&1 || true; }

"$@"
status=$?

[ "$started_server" = 1 ] && "$WINESERVER" -k >/dev/null 2>&1
[ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
exit $status
