#!/usr/bin/env bash
# Installs what the setup script's tests run on: PowerShell 7.6 (a dotnet tool from NuGet)
# and Pester (a NuGet package fetched by tools/pester/pester.csproj, which holds its version),
# both under build/tools. Players run Windows PowerShell 5.1; the tests guard 5.1's syntax separately.
# Suites running side by side may call it at once: one install runs at a time.
set -euo pipefail
cd "$(dirname "$0")/.."

tools_dir=build/tools
mkdir -p "$tools_dir"
exec 9>"$tools_dir/.install.lock"
flock 9
pwsh_version=7.6.10
# The exact version in brackets that pester.csproj fetches.
pester_version=$(sed -n 's/.*<PackageDownload Include="Pester" Version="\[\([0-9.]*\)\]".*/\1/p' tools/pester/pester.csproj)
if [ -z "$pester_version" ]; then
    echo "tools/pester/pester.csproj names no exact Pester version." >&2
    exit 1
fi

if ! command -v dotnet >/dev/null 2>&1; then
    echo "The .NET SDK (dotnet) is needed to fetch PowerShell and Pester from NuGet." >&2
    exit 1
fi

if [ ! -x "$tools_dir/pwsh/pwsh" ] || ! "$tools_dir/pwsh/pwsh" -NoProfile -Command '$PSVersionTable.PSVersion.ToString()' | grep -qx "$pwsh_version"; then
    echo "Installing PowerShell $pwsh_version..."
    rm -rf "$tools_dir/pwsh"
    dotnet tool install PowerShell --version "$pwsh_version" --tool-path "$tools_dir/pwsh" >/dev/null
fi

if [ ! -f "$tools_dir/nuget/pester/$pester_version/tools/Pester.psd1" ]; then
    echo "Installing Pester $pester_version..."
    dotnet restore tools/pester/pester.csproj --packages "$tools_dir/nuget" >/dev/null
fi
