#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12, once: only when
# something is missing does it touch apt. Further package names given as
# arguments are installed the same way (bench/deps.sh names its own).
set -euo pipefail

PACKAGES=(cmake ninja-build g++ make googletest
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
          wine wine64 xvfb iproute2 netcat-openbsd util-linux procps
          clang libclang-rt-14-dev valgrind python3)

# Fault scenarios that make system calls fail (tests/fault/fault.sh).
PACKAGES+=(strace)

# Screenshots of the Windows program (scripts/screenshots.sh).
PACKAGES+=(imagemagick)

# Release files (scripts/dist.sh): the installers, and 7-Zip to list them;
# systemd-analyze checks the service unit, and man its man page.
PACKAGES+=(nsis p7zip-full systemd man-db)
PACKAGES+=("$@")

# Another apt (an unattended upgrade, a second terminal) may hold apt's
# locks for a while: wait for them this long before giving up.
APT_LOCK_WAIT=600

# apt_update: apt-get update, which has no wait of its own for the lock on
# its lists: retried while another apt holds it, within APT_LOCK_WAIT.
apt_update() {
    local err deadline=$((SECONDS + APT_LOCK_WAIT))
    err=$(mktemp)
    until apt-get update -q 2>"$err"; do
        if ! grep -q "Could not get lock" "$err" || [ $SECONDS -ge $deadline ]; then
            cat "$err" >&2
            rm -f "$err"
            return 1
        fi
        echo "deps: another apt holds its lists; waiting"
        sleep 5
    done
    cat "$err" >&2
    rm -f "$err"
}

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "deps: installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt_update
    apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=$APT_LOCK_WAIT "${missing[@]}"
fi

# ---- Running the 32-bit Windows build ----
# This kernel may refuse 32-bit code. Wine's 32-bit loader then runs under
# qemu-i386 (user-mode emulation), registered with binfmt_misc as the
# handler of 32-bit x86 programs. Debian 12's own qemu-user-static (7.2)
# takes about a minute to start a program and never returns from a Winsock
# connect(); Debian 13's qemu-i386 (version 10) does both at once. It is a
# static program: only the one file is taken from its package, through an
# apt state of its own, so nothing else on this machine sees Debian 13.
# QUILLET_SKIP_WIN32_RUN=1 lets a machine that cannot have this (no root,
# no binfmt_misc) build and test everything else.
HERE=$(dirname "$(realpath "$0")")
# shellcheck source=wine-paths
. "$HERE/wine-paths"
QEMU_DIR=$HERE/../build/emulation
BINFMT=/proc/sys/fs/binfmt_misc
BINFMT_NAME=quillet-i386
# The ELF header of a 32-bit x86 program, and which of its bytes count.
I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

win32_skipped() {
    echo "deps: $1" >&2
    if [ "${QUILLET_SKIP_WIN32_RUN:-}" = 1 ]; then
        echo "deps: QUILLET_SKIP_WIN32_RUN=1: the 32-bit build will not be run" >&2
        exit 0
    fi
    echo "deps: set QUILLET_SKIP_WIN32_RUN=1 to test without running the 32-bit build" >&2
    exit 1
}

if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
    echo "deps: installing wine32:i386"
    export DEBIAN_FRONTEND=noninteractive
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    apt_update
    apt-get install -y -q --no-install-recommends -o DPkg::Lock::Timeout=$APT_LOCK_WAIT wine32:i386
fi

# fetch_qemu: qemu-i386 from Debian 13's qemu-user into QEMU_DIR.
fetch_qemu() {
    local state uri
    state=$(mktemp -d)
    # The archive this machine's own sources name.
    uri=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' 2>/dev/null |
        grep -m1 '/debian/$' || echo http://deb.debian.org/debian/)
    echo "deb [arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri trixie main" \
        >"$state/sources.list"
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$QEMU_DIR"
    local apt=(apt-get -q -o Dir::Etc::SourceList="$state/sources.list" -o Dir::Etc::SourceParts=-
        -o Dir::State::Lists="$state/lists" -o Dir::Cache="$state/cache" -o APT::Sandbox::User=root)
    echo "deps: fetching qemu-i386 from Debian 13's qemu-user"
    "${apt[@]}" update >/dev/null
    (cd "$state" && "${apt[@]}" download qemu-user/trixie >/dev/null)
    dpkg-deb --fsys-tarfile "$state"/qemu-user_*.deb | tar -x -O ./usr/bin/qemu-i386 >"$QEMU_DIR/qemu-i386.new"
    chmod 755 "$QEMU_DIR/qemu-i386.new"
    mv "$QEMU_DIR/qemu-i386.new" "$QEMU_DIR/qemu-i386"
    rm -rf "$state"
}

if ! "$WINE32" --version >/dev/null 2>&1; then
    [ "$(id -u)" = 0 ] || win32_skipped "32-bit programs do not run here, and registering an emulator for them needs root"
    [ -x "$QEMU_DIR/qemu-i386" ] || fetch_qemu
    [ -e "$BINFMT/register" ] || mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null ||
        win32_skipped "binfmt_misc cannot be mounted at $BINFMT"
    # F opens the emulator now, so that it serves in every namespace and
    # after the file has gone; the registration lasts until the next boot.
    [ -e "$BINFMT/$BINFMT_NAME" ] ||
        printf ':%s:M::%s:%s:%s:OCF' "$BINFMT_NAME" "$I386_MAGIC" "$I386_MASK" \
            "$(realpath "$QEMU_DIR/qemu-i386")" >"$BINFMT/register"
    "$WINE32" --version >/dev/null 2>&1 || win32_skipped "$WINE32 does not run, even under qemu-i386"
    echo "deps: 32-bit programs run under $(realpath "$QEMU_DIR/qemu-i386") (binfmt_misc entry $BINFMT_NAME)"
fi
