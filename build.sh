#!/usr/bin/env bash
# Builds dist/ORVELLE-Game-Support-Setup-1.0.2.exe and dist/SHA256SUMS.
# On a fresh Debian 12 machine (as root) it first installs the cross toolchain.
set -euo pipefail
cd "$(dirname "$0")"

exe_name="ORVELLE-Game-Support-Setup-1.0.2.exe"

tools/install-build-deps.sh
cmake --preset mingw
cmake --build --preset mingw

mkdir -p dist
cp "build/mingw/$exe_name" "dist/$exe_name"
(cd dist && sha256sum "$exe_name" > SHA256SUMS)

hash=$(cut -d' ' -f1 dist/SHA256SUMS)
echo "Built $(pwd)/dist/$exe_name"
echo "SHA-256 $hash"
