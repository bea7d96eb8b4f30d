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

# Release files (scripts/dist.sh): the installers, and 7-Zip to list them.
PACKAGES+=(nsis p7zip-full)
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
