#!/bin/sh
# Runs a Windows program under Wine in the given prefix: wine-run.sh PREFIX PROGRAM [ARGS...]
# CTest uses it as the emulator for every test program.
prefix=$1
shift
export WINEPREFIX="$prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
# Never inherit a closed standard input: Wine misbehaves without one.
exec wine "$@" </dev/null
