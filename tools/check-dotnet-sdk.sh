#!/usr/bin/env bash
# Checks that the .NET SDK the tests need is on the machine: `dotnet` on PATH with an SDK of
# version 10.0 or later (PowerShell 7.6, Pester's restore project and the real-PowerShell host
# all target .NET 10). It is not a Debian package, so nothing here installs it; when it is
# missing this says so and how to get it, and exits 1.
# Usage: tools/check-dotnet-sdk.sh [WHO]   (WHO names the caller in the message)
set -uo pipefail
who=${1:-tests}
minimum=10

how_to_get_it() {
    cat >&2 <<TEXT
$who: install the .NET SDK $minimum.0 or later, which Debian does not package:
  - from Microsoft's apt repository for Debian 12 (packages.microsoft.com):
    apt-get install dotnet-sdk-$minimum.0; or
  - the dotnet-install script from https://dot.net/v1/dotnet-install.sh (--channel $minimum.0),
    with its folder on PATH; or
  - in GitHub Actions, actions/setup-dotnet with dotnet-version "$minimum.0.x".
TEXT
}

if ! command -v dotnet >/dev/null 2>&1; then
    echo "$who: the .NET SDK is missing (no dotnet command on PATH)." >&2
    how_to_get_it
    exit 1
fi

newest=$(dotnet --list-sdks 2>/dev/null | sed -n 's/^\([0-9][0-9]*\)\..*/\1/p' | sort -n | tail -n1)
if [ -z "$newest" ] || [ "$newest" -lt "$minimum" ]; then
    echo "$who: dotnet is there but has no SDK $minimum.0 or later (found: ${newest:-none})." >&2
    how_to_get_it
    exit 1
fi
