#!/usr/bin/env bash
# scripts/wine.sh: runs a command with Wine ready for it: a prefix, a running
# wineserver with Wine's own services started, and an X display.
#
#   scripts/wine.sh run COMMAND [ARGS...]
#       The shared prefix (${WINEPREFIX:-~/.wine}) and its wineserver, which is
#       started here unless one already serves this prefix, and stopped again
#       if it was. An X display is started unless DISPLAY is set. For the
#       unit suites: ctest --preset win64.
#
#   scripts/wine.sh sandbox COMMAND [ARGS...]
#       For Windows programs that serve the network (tests/wine/shell-e2e.sh,
#       scripts/screenshots.sh): private network and mount namespaces, with an
#       X display, a wineserver and a throwaway Wine prefix of their own.
#       Inside, the command finds WINEPREFIX, DISPLAY and WINEDEBUG set, the
#       wineserver running, loopback up, and SANDBOX_RUN naming a scratch
#       directory.
#
# The command's exit status is the script's.
#
# Why each piece of the sandbox is needed:
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

HERE=$(dirname "$(realpath "$0")")
# shellcheck source=wine-paths
. "$HERE/wine-paths"
export WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml='

usage() {
    echo "usage: scripts/wine.sh run|sandbox COMMAND [ARGS...]" >&2
    exit 2
}

# make_prefix PREFIX: a Wine prefix, made once. A prefix made before the
# 32-bit loader was installed lacks Windows' 32-bit half, which the i686
# build needs ("could not load kernel32.dll"): it is added once.
make_prefix() {
    if [ ! -f "$1/system.reg" ]; then
        echo "wine: making the Wine prefix (once, about 20 s)"
        WINEPREFIX=$1 "$WINE64" wineboot -i >/dev/null 2>&1
        WINEPREFIX=$1 "$WINESERVER" -w
    fi
    if [ ! -e "$1/drive_c/windows/syswow64/kernel32.dll" ] && "$WINE32" --version >/dev/null 2>&1; then
        echo "wine: adding the 32-bit half to the Wine prefix (once)"
        # Without its timestamp Wine updates the whole prefix, both halves.
        rm -f "$1/.update-timestamp"
        WINEPREFIX=$1 "$WINE64" wineboot -u >/dev/null 2>&1
        WINEPREFIX=$1 "$WINESERVER" -w
    fi
}

# start_display SIZE LOG: an Xvfb on a display number nobody holds; sets
# DISPLAY and XVFB_PID. X keeps its lock files in /tmp, which the sandbox
# shares with the machine, so a free number is one without lock or socket.
start_display() {
    local n
    for n in $(seq 90 199); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 "$1" -nolisten tcp >"$2" 2>&1 &
        XVFB_PID=$!
        export DISPLAY=":$n"
        for _ in $(seq 50); do
            [ -e "/tmp/.X11-unix/X$n" ] && return 0
            sleep 0.1
        done
        echo "wine: Xvfb did not start on :$n" >&2
        return 1
    done
    echo "wine: no free X display number" >&2
    return 1
}

# The first Wine program started on a new server starts Wine's own services
# (with the display known by now), and they inherit its standard output and
# error. Were that a test, ctest would wait on the pipes the services hold
# open until the test timed out; start them here, on nothing.
start_services() {
    "$WINE64" wineboot </dev/null >/dev/null 2>&1 || true
}

# A wineserver serves one prefix and works in a directory named for the
# prefix's device and inode; another prefix's server does not count.
prefix_server_running() {
    local dev ino want p
    read -r dev ino < <(stat -c '%d %i' "$WINEPREFIX")
    want=$(printf 'server-%x-%x' "$dev" "$ino")
    for p in $(pgrep -u "$(id -u)" wineserver); do
        [ "$(basename "$(readlink "/proc/$p/cwd" 2>/dev/null)")" = "$want" ] && return 0
    done
    return 1
}

run_shared() {
    export WINEPREFIX=${WINEPREFIX:-$HOME/.wine}
    make_prefix "$WINEPREFIX"
    XVFB_PID=
    if [ -z "${DISPLAY:-}" ]; then
        start_display 1280x1024x24 /dev/null
    fi
    local started_server=0
    if ! prefix_server_running; then
        "$WINESERVER" -p
        started_server=1
        start_services
    fi

    local status=0
    "$@" || status=$?

    if [ $started_server = 1 ]; then
        "$WINESERVER" -k >/dev/null 2>&1 || true
    fi
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
    fi
    exit $status
}

# Outside the sandbox: makes the shared prefix, then runs this script again
# in new namespaces.
enter_sandbox() {
    local shared_prefix scratch status=0
    shared_prefix=$(realpath -m "${WINEPREFIX:-$HOME/.wine}")
    case "$shared_prefix" in
    /tmp/*) echo "wine: the Wine prefix may not live under /tmp" >&2; exit 1 ;;
    esac
    make_prefix "$shared_prefix"
    # As root a network and a mount namespace suffice; otherwise a user
    # namespace maps the caller to root inside, which may then bind 113.
    local flags=(--net --mount --propagation private)
    [ "$(id -u)" = 0 ] || flags=(--map-root-user "${flags[@]}")
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/quillet-sandbox.XXXXXX")
    export QUILLET_SANDBOX_INSIDE=1 QUILLET_SANDBOX_PREFIX="$shared_prefix"
    export QUILLET_SANDBOX_SCRATCH="$scratch"
    unshare "${flags[@]}" "$HERE/wine.sh" sandbox "$@" || status=$?
    rmdir "$scratch" 2>/dev/null || true
    exit $status
}

# Inside the new namespaces.
run_sandboxed() {
    ip link set lo up
    # The sandbox's own files live on a tmpfs that only its mount namespace
    # sees. The rest of /tmp stays visible, so a checkout under /tmp still
    # works; only the two socket directories whose names Wine and X fix under
    # /tmp are covered with private ones.
    local S=$QUILLET_SANDBOX_SCRATCH
    mount -t tmpfs -o mode=1777 quillet-sandbox "$S"
    mkdir -p "$S/prefix.upper" "$S/prefix.work" "$S/prefix" "$S/run" "$S/wine" "$S/x11"
    chmod 700 "$S/wine"
    chmod 1777 "$S/x11"
    local wine_dir
    wine_dir=/tmp/.wine-$(id -u)
    mkdir -p -m 700 "$wine_dir"
    mkdir -p -m 1777 /tmp/.X11-unix
    mount --bind "$S/wine" "$wine_dir"
    mount --bind "$S/x11" /tmp/.X11-unix
    mount -t overlay quillet-prefix \
        -o "lowerdir=$QUILLET_SANDBOX_PREFIX,upperdir=$S/prefix.upper,workdir=$S/prefix.work" \
        "$S/prefix"
    cat >>"$S/prefix/user.reg" <<'REG'

[Software\\Wine\\X11 Driver]
"Decorated"="N"
"Managed"="N"
REG
    export WINEPREFIX=$S/prefix SANDBOX_RUN=$S/run

    XVFB_PID=
    trap stop_sandbox EXIT
    start_display 1024x768x24 "$SANDBOX_RUN/xvfb.out"
    "$WINESERVER" -p
    start_services

    local status=0
    "$@" || status=$?
    exit $status
}

stop_sandbox() {
    "$WINESERVER" -k >/dev/null 2>&1 || true
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
    fi
}

[ $# -ge 2 ] || usage
mode=$1
shift
case "$mode" in
run) run_shared "$@" ;;
sandbox)
    if [ "${QUILLET_SANDBOX_INSIDE:-}" = 1 ]; then
        run_sandboxed "$@"
    else
        enter_sandbox "$@"
    fi
    ;;
*) usage ;;
esac
