#!/bin/sh
# Creates the Wine prefix for the launcher's tests if it does not exist yet.
# Usage: wine-prefix.sh PREFIX
# Besides a fresh prefix it sets the relay filter the black-box tests read
# (only the calls they assert on are traced when WINEDEBUG=+relay).
set -e
prefix=$(realpath -m "$1")
export WINEPREFIX="$prefix"
export WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
[ -f "$prefix/.orvelle-ready-2" ] && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.orvelle-ready-2" ] && exit 0
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1
relay="kernel32.SetDefaultDllDirectories;kernel32.GetEnvironmentVariableW"
relay="$relay;kernel32.CreateDirectoryW;kernel32.CreateFileW"
relay="$relay;kernel32.WriteFile;kernel32.CreateProcessW"
relay="$relay;kernel32.DeleteFileW;kernel32.RemoveDirectoryW"
relay="$relay;user32.MessageBoxW;kernel32.MoveFileExW"
/usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Debug' /v RelayInclude \
  /t REG_SZ /d "$relay" /f >/dev/null 2>&1
/usr/lib/wine/wineserver -w
touch "$prefix/.orvelle-ready-2"
