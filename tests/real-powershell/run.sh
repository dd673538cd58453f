#!/usr/bin/env bash
# Runs the built executable under Wine with a real PowerShell: a Windows build of
# PowerShell 7.6 (tools/powershell-host) installed as
# C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe of a private prefix.
# Everything it needs is made once and kept in build/real-powershell:
#   nuget/       the NuGet packages of the host (about 750 MB on a cold cache)
#   host/        the published host (self-contained win-x64, never a single file)
#   wineprefix/  the prefix, set to Windows 10, with the host installed
# Either is made again when the host's sources or this recipe change.
# Installs Wine and Python from Debian when missing; the .NET SDK must be on the machine.
# Writes "<passed> <failed>" to $TEST_COUNTS_FILE; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
work="$root/build/real-powershell"
counts_file=${TEST_COUNTS_FILE:-build/test-counts/real-powershell.counts}
mkdir -p "$(dirname "$counts_file")" "$work"

export WINEPREFIX="$work/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
export HOME="$work/home"
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$HOME"

fail_setup() {
  echo "real-powershell: $1" >&2
  echo "0 1" > "$counts_file"
  echo "real-powershell: 0 passed, 1 failed"
  exit 1
}

tools/install-build-deps.sh || fail_setup "could not install the build tools"
tools/apt-install-missing.sh real-powershell-tests wine64 python3 python3-pefile ||
  fail_setup "could not install Wine and Python"
tools/check-dotnet-sdk.sh real-powershell || fail_setup "the .NET SDK is missing"

# The executable under test is always the one built from this tree.
./build.sh || fail_setup "the executable could not be built"

# The host: restored and published once per change of its sources.
host_key=$(cat tools/powershell-host/powershell.csproj tools/powershell-host/Program.cs |
  sha256sum | cut -d' ' -f1)
if [ "$(cat "$work/host/.orvelle-host" 2>/dev/null)" != "$host_key" ]; then
  echo "== publishing the PowerShell host (first time: about 750 MB from NuGet)"
  rm -rf "$work/host" "$work/obj" "$work/bin"
  dotnet publish tools/powershell-host/powershell.csproj -c Release --nologo \
    --packages "$work/nuget" -o "$work/host" \
    -p:BaseIntermediateOutputPath="$work/obj/" -p:BaseOutputPath="$work/bin/" \
    >"$work/publish.log" 2>&1 || { cat "$work/publish.log"; fail_setup "publishing the host failed"; }
  rm -rf "$work/obj" "$work/bin"
  echo "$host_key" > "$work/host/.orvelle-host"
fi

# The prefix: Windows 10, relay trace limited to the calls the tests read, the user's
# folders real folders inside the prefix, and the host as Windows PowerShell.
prefix_key="$host_key-1"
if [ "$(cat "$WINEPREFIX/.orvelle-ready" 2>/dev/null)" != "$prefix_key" ]; then
  echo "== creating the Wine prefix"
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
  # Without mscoree and mshtml, wineboot does not ask for Mono and Gecko.
  WINEDLLOVERRIDES="mscoree,mshtml=" /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 ||
    fail_setup "wineboot failed"
  /usr/lib/wine/wine64 winecfg -v win10 >/dev/null 2>&1 || fail_setup "winecfg failed"
  relay="user32.MessageBoxW;kernel32.CreateProcessW;kernel32.DeleteFileW"
  /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Debug' /v RelayInclude \
    /t REG_SZ /d "$relay" /f >/dev/null 2>&1 || fail_setup "reg add failed"
  /usr/lib/wine/wineserver -w
  for link in "$WINEPREFIX"/drive_c/users/*/*; do
    if [ -L "$link" ]; then
      rm "$link"
      mkdir "$link"
    fi
  done
  target="$WINEPREFIX/drive_c/windows/system32/WindowsPowerShell/v1.0"
  mkdir -p "$target/Modules"
  cp -a "$work/host/." "$target/"
  # PowerShell looks for its modules beside the host. CimCmdlets stays out: under Wine a
  # failed CIM query leaves the process hanging on its next assembly load.
  cp -a "$work/host/runtimes/win/lib/net10.0/Modules/." "$target/Modules/"
  rm -rf "$target/runtimes" "$target/Modules/CimCmdlets" \
    "$target/Microsoft.Management.Infrastructure.CimCmdlets.dll"
  echo "$prefix_key" > "$WINEPREFIX/.orvelle-ready"
fi

echo "== the executable and its script with a real PowerShell"
suite_counts="$work/suite.counts"
rm -f "$suite_counts"
PYTHONPATH="$root/tests/real-powershell" /usr/bin/python3 tests/exe/run_suites.py \
  "$suite_counts" test_real_powershell
/usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
if [ -f "$suite_counts" ]; then
  cp "$suite_counts" "$counts_file"
else
  echo "1 failed: the suite crashed" >&2
  echo "0 1" > "$counts_file"
fi
read -r passed failed < "$counts_file"
echo "real-powershell: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
