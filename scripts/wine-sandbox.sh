#!/usr/bin/env bash
# scripts/wine-sandbox.sh: runs a command in a sandbox for Windows programs
# that serve the network: private network and mount namespaces, with an X
# display, a wineserver and a throwaway Wine prefix of their own. Used by
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
#   already running outside would bind 113 on the host. Private mounts over
#   /tmp/.wine-UID and /tmp/.X11-unix give the sandbox a wineserver socket
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
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillet-sandbox.XXXXXX")
    export QUILLET_SANDBOX_INSIDE=1 QUILLET_SANDBOX_PREFIX="$shared_prefix"
    export QUILLET_SANDBOX_SCRATCH="$scratch"
    status=0
    unshare "${flags[@]}" "$(realpath "$0")" "$@" || status=$?
    rmdir "$scratch" 2>/dev/null || true
    exit $status
fi

ip link set lo up
# The sandbox's own files live on a tmpfs that only its mount namespace
# sees. The rest of /tmp stays visible, so a checkout under /tmp still works;
# only the two socket directories whose names Wine and X fix under /tmp are
# covered with private ones.
S=$QUILLET_SANDBOX_SCRATCH
mount -t tmpfs -o mode=1777 quillet-sandbox "$S"
mkdir -p "$S/prefix.upper" "$S/prefix.work" "$S/prefix" "$S/run" "$S/wine" "$S/x11"
chmod 700 "$S/wine"
chmod 1777 "$S/x11"
wine_dir=/tmp/.wine-$(id -u)
mkdir -p -m 700 "$wine_dir"
mkdir -p -m 1777 /tmp/.X11-unix
mount --bind "$S/wine" "$wine_dir"
mount --bind "$S/x11" /tmp/.X11-unix
mount -t overlay quillet-prefix \
    -o "lowerdir=$QUILLET_SANDBOX_PREFIX,upperdir=$S/prefix.upper,workdir=$S/prefix.work" \
    "$S/prefix"
cat >>"$S/prefix/user.reg" <<'EOF'

[Software\\Wine\\X11 Driver]
"Decorated"="N"
"Managed"="N"
EOF
# X keeps its lock files in the shared /tmp: take a display nobody holds.
display=99
while [ -e "/tmp/.X$display-lock" ] && [ $display -lt 199 ]; do
    display=$((display + 1))
done
export WINEPREFIX=$S/prefix WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='
export DISPLAY=:$display SANDBOX_RUN=$S/run

Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >"$SANDBOX_RUN/xvfb.out" 2>&1 &
xvfb_pid=$!
cleanup() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
[ -e "/tmp/.X11-unix/X$display" ] || { echo "wine-sandbox: Xvfb did not start" >&2; exit 1; }
"$WINESERVER" -p
# Wine's own services start with the first program and inherit its output;
# start them now, on nothing, so that no pipe of the command is held open.
"$WINE64" wineboot </dev/null >/dev/null 2>&1 || true

status=0
"$@" || status=$?
exit $status
