#!/usr/bin/env bash
# Builds the setup executable (its name carries the version from CMakeLists.txt)
# into dist/ with dist/SHA256SUMS. Uses the "mingw" preset's own build folder,
# build/mingw. On a fresh Debian 12 machine (as root) it first installs the
# cross toolchain.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-build-deps.sh
cmake --preset mingw
cmake --build --preset mingw

# ORVELLE_EXECUTABLE and ORVELLE_DETECTION_SCRIPT: the file names, written by CMake.
. build/mingw/product.env
exe_name=$ORVELLE_EXECUTABLE
detection_name=$ORVELLE_DETECTION_SCRIPT

mkdir -p dist
# Only the current build stays in dist/, so anything taking dist/*.exe finds it alone.
find dist -maxdepth 1 -name 'ORVELLE-Game-Support-Setup-*.exe' ! -name "$exe_name" -delete
find dist -maxdepth 1 -name 'ORVELLE-Game-Support-Detect-*.ps1' ! -name "$detection_name" -delete
cp "build/mingw/$exe_name" "dist/$exe_name"
# The detection script for deployment tools (not signed, so not in SHA256SUMS).
cp "build/mingw/$detection_name" "dist/$detection_name"
(cd dist && sha256sum "$exe_name" > SHA256SUMS)

hash=$(cut -d' ' -f1 dist/SHA256SUMS)
echo "Built $(pwd)/dist/$exe_name"
echo "SHA-256 $hash"
