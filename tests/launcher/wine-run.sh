#!/bin/sh
# Runs a Windows program under Wine with a private prefix.
# Usage: wine-run.sh PREFIX PROGRAM.exe [ARGS...]
# The prefix is created on first use (once per build folder).
set -e
prefix=$(realpath -m "$1")
shift
export WINEPREFIX="$prefix"
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG="${WINEDEBUG:--all}"
"$(dirname "$0")/wine-prefix.sh" "$prefix"
exec /usr/lib/wine/wine64 "$@"
