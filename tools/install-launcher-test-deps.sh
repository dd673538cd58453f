#!/usr/bin/env bash
# Installs what the launcher's tests need on Debian 12, when missing:
# GoogleTest sources (built with the cross compiler), Wine to run the Windows
# programs, Python 3 with pefile for the executable checks.
set -euo pipefail

"$(dirname "$0")/install-build-deps.sh"

packages=(googletest wine64 python3 python3-pefile util-linux)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-launcher-test-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-launcher-test-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
