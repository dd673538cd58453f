# Sourced by the real-PowerShell suites (run.sh, pester.sh) after they set $suite_name and
# $counts_file and changed to the repository root. Makes what both need, once, in
# build/real-powershell:
#   host/        a Windows build of PowerShell 7.6 (tools/powershell-host), self-contained
#                win-x64, never a single file; its NuGet packages (about 750 MB on a cold
#                cache) stay in the machine's NuGet global packages folder
#                ($NUGET_PACKAGES, by default ~/.nuget/packages), shared by every clone
#   wineprefix/  a private prefix set to Windows 10, with the host installed as
#                C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe
# Either is made again when the host's sources or this recipe change.
# Installs Wine from Debian when missing; the .NET SDK must be on the machine.
root=$(pwd)
work="$root/build/real-powershell"
mkdir -p "$(dirname "$counts_file")" "$work"

# Resolved before HOME moves into the build folder below.
export NUGET_PACKAGES="${NUGET_PACKAGES:-$HOME/.nuget/packages}"
export WINEPREFIX="$work/wineprefix"
export WINEARCH=win64
export WINEDEBUG=-all
# .NET 10 on Wine 8 dies at exit with an internal CLR error otherwise.
export DOTNET_EnableWriteXorExecute=0
export HOME="$work/home"
unset DISPLAY WAYLAND_DISPLAY WINEDLLOVERRIDES
mkdir -p "$HOME"

# Ends the suite: stops this prefix's Wine processes, takes the counts the suite wrote to
# $1 (none counts as one failure), prints them with $2 and exits with the outcome.
finish_suite() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  rm -f "$counts_file.failed"
  if [ -s "$1" ]; then
    cp "$1" "$counts_file"
    if [ -f "$1.failed" ]; then cp "$1.failed" "$counts_file.failed"; fi
  else
    echo "$suite_name: the suite ended without reporting its counts" >&2
    echo "0 1" > "$counts_file"
  fi
  read -r passed failed < "$counts_file"
  echo "$suite_name: $passed passed, $failed failed${2:-}"
  [ "$failed" -eq 0 ]
  exit
}

fail_setup() {
  echo "$suite_name: $1" >&2
  echo "0 1" > "$counts_file"
  echo "$suite_name: 0 passed, 1 failed"
  exit 1
}

tools/apt-install-missing.sh "$suite_name" wine64 || fail_setup "could not install Wine"
tools/check-dotnet-sdk.sh "$suite_name" || fail_setup "the .NET SDK is missing"

# The host: restored and published once per change of its sources.
host_key=$(cat tools/powershell-host/powershell.csproj tools/powershell-host/Program.cs |
  sha256sum | cut -d' ' -f1)
if [ "$(cat "$work/host/.orvelle-host" 2>/dev/null)" != "$host_key" ]; then
  echo "== publishing the PowerShell host (on a cold NuGet cache about 750 MB)"
  rm -rf "$work/host" "$work/obj" "$work/bin"
  dotnet publish tools/powershell-host/powershell.csproj -c Release --nologo -o "$work/host" \
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
