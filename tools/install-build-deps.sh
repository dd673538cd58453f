#!/usr/bin/env bash
# Installs what building the executable needs on Debian 12, when missing:
# the mingw-w64 cross compiler (posix threads), windres, CMake and Ninja.
set -euo pipefail

packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake ninja-build)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
      grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
[ "${#missing[@]}" -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "install-build-deps: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "install-build-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
