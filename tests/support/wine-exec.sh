#!/usr/bin/env bash
# tests/support/wine-exec.sh LOADER PROGRAM [ARGS...]: runs a Windows test
# program under Wine's LOADER; the toolchain files make it ctest's emulator.
# A program that ends with any status but 0 gets a last line on standard
# error naming the loader, the program and the status, after whatever Wine
# itself wrote there: its error lines are kept (WINEDEBUG=-all,err+all, or
# WINE_EXEC_DEBUG when set), so that a Windows test that fails before its
# first line still says why.
loader=$1
shift
export WINEDEBUG=${WINE_EXEC_DEBUG:--all,err+all}
"$loader" "$@"
status=$?
[ $status -eq 0 ] || echo "wine-exec: $loader ${1##*/} ended with status $status" >&2
exit $status
