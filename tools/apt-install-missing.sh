#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not installed yet.
# Usage: tools/apt-install-missing.sh <who is asking> <package>...
set -euo pipefail

caller=$1
shift

missing=()
for package in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "$caller: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "$caller: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
