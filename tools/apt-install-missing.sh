#!/usr/bin/env bash
# Installs the Debian packages named on the command line that are not installed yet.
# Usage: tools/apt-install-missing.sh <who is asking> <package>...
# Suites that run side by side may ask at once: one install runs at a time, and each
# looks again at what is missing once it has its turn.
set -euo pipefail

caller=$1
shift

find_missing() {
  missing=()
  for package in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null |
        grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
}

find_missing "$@"
[ "${#missing[@]}" -eq 0 ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  exec 8>/tmp/orvelle-apt-install.lock
  flock 8
  find_missing "$@"
  [ "${#missing[@]}" -eq 0 ] && exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "$caller: missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "$caller: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
