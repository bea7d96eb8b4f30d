#!/usr/bin/env bash
# scripts/wine-sandbox.sh: runs a command in a sandbox for Windows programs
# that serve the network: private network and mount namespaces, with an X
# display :99, a wineserver and a throwaway Wine prefix of their own. Used by
# scripts/shell-e2e.sh and scripts/screenshots.sh.
#
#   scripts/wine-sandbox.sh COMMAND [ARGS...]
#
# Inside, the command finds WINEPREFIX, DISPLAY and WINEDEBUG set, the
# wineserver running, loopback up, and SANDBOX_RUN naming a scratch
# directory. Its exit status is the script's.
#
# Why each piece is needed:
# - Network namespace: port 113 and the host server's port 7113 belong to
#   this run alone, and nothing leaves loopback.
# - Wine 8 makes its sockets inside the wineserver process, so the wineserver
#   must live in the same network namespace as the program: a wineserver
#   already running outside would bind 113 on the host. A private /tmp (a
#   tmpfs in the mount namespace) gives the sandbox a wineserver socket
#   directory, and X sockets, of its own.
# - The prefix is an overlay on the shared one (${WINEPREFIX:-~/.wine}), so
#   nothing is copied and whatever Wine writes vanishes with the sandbox. In
#   it the X11 driver is told to draw windows itself: there is no window
#   manager, and without this windows would have no frame and every hide
#   would wait 2 s for one.
set -euo pipefail

WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver

if [ $# -eq 0 ]; then
    echo "usage: scripts/wine-sandbox.sh COMMAND [ARGS...]" >&2
    exit 2
fi

if [ "${QUILLET_SANDBOX_INSIDE:-}" != 1 ]; then
    shared_prefix=$(realpath -m "${WINEPREFIX:-$HOME/.wine}")
    case "$shared_prefix" in
    /tmp/*) echo "wine-sandbox: the Wine prefix may not live under /tmp" >&2; exit 1 ;;
    esac
    if [ ! -f "$shared_prefix/system.reg" ]; then
        echo "wine-sandbox: making the Wine prefix (once, about 20 s)"
        WINEDEBUG=-all WINEPREFIX="$shared_prefix" "$WINE64" wineboot -i >/dev/null 2>&1
        WINEPREFIX="$shared_prefix" "$WINESERVER" -w
    fi
    # As root a network and a mount namespace suffice; otherwise a user
    # namespace maps the caller to root inside, which may then bind 113.
    flags=(--net --mount --propagation private)
    [ "$(id -u)" = 0 ] || flags=(--map-root-user "${flags[@]}")
    export QUILLET_SANDBOX_INSIDE=1 QUILLET_SANDBOX_PREFIX="$shared_prefix"
    exec unshare "${flags[@]}" "$(realpath "$0")" "$@"
fi

ip link set lo up
mount -t tmpfs -o mode=1777 quillet-sandbox /tmp
mkdir -p /tmp/prefix.upper /tmp/prefix.work /tmp/prefix /tmp/run
mount -t overlay quillet-prefix \
    -o "lowerdir=$QUILLET_SANDBOX_PREFIX,upperdir=/tmp/prefix.upper,workdir=/tmp/prefix.work" \
    /tmp/prefix
cat >>/tmp/prefix/user.reg <<'EOF'

[Software\\Wine\\X11 Driver]
"Decorated"="N"
"Managed"="N"
EOF
export WINEPREFIX=/tmp/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
export DISPLAY=:99 SANDBOX_RUN=/tmp/run

Xvfb :99 -screen 0 1024x768x24 -nolisten tcp >"$SANDBOX_RUN/xvfb.out" 2>&1 &
xvfb_pid=$!
cleanup() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do [ -e /tmp/.X11-unix/X99 ] && break; sleep 0.1; done
[ -e /tmp/.X11-unix/X99 ] || { echo "wine-sandbox: Xvfb did not start" >&2; exit 1; }
"$WINESERVER" -p
# Wine's own services start with the first program and inherit its output;
# start them now, on nothing, so that no pipe of the command is held open.
"$WINE64" wineboot </dev/null >/dev/null 2>&1 || true

status=0
"$@" || status=$?
exit $status
