#!/usr/bin/env bash
# Builds the setup executable (its name carries the version from the setup script)
# into dist/ with dist/SHA256SUMS, the detection script for deployment tools and the
# assembled setup script, dist/ORVELLE-Prerequisites.ps1, which support staff run by hand
# and every test loads. Uses the "mingw" preset's own build folder, build/mingw. On a fresh
# Debian 12 machine (as root) it first installs the cross toolchain.
# Test suites running side by side may each call it: one build runs at a time, and a file
# in dist/ is replaced only when it changed, by a rename, so a suite that is reading or
# running it keeps the file it opened.
set -euo pipefail
cd "$(dirname "$0")"

mkdir -p build dist
exec 9>build/.build.lock
flock 9

tools/install-build-deps.sh
cmake --preset mingw >/dev/null
cmake --build --preset mingw

# ORVELLE_EXECUTABLE, ORVELLE_DETECTION_SCRIPT and ORVELLE_SETUP_SCRIPT: the file names,
# written by CMake.
. build/mingw/product.env
exe_name=$ORVELLE_EXECUTABLE
detection_name=$ORVELLE_DETECTION_SCRIPT
script_name=$ORVELLE_SETUP_SCRIPT

# Copies $1 to dist/$2 unless that file holds the same bytes already.
publish() {
  if ! cmp -s "$1" "dist/$2"; then
    cp "$1" "dist/.$2.new"
    mv -f "dist/.$2.new" "dist/$2"
  fi
}

# Only the current build stays in dist/, so anything taking dist/*.exe finds it alone.
find dist -maxdepth 1 -name 'ORVELLE-Game-Support-Setup-*.exe' ! -name "$exe_name" -delete
find dist -maxdepth 1 -name 'ORVELLE-Game-Support-Detect-*.ps1' ! -name "$detection_name" -delete
publish "build/mingw/$exe_name" "$exe_name"
# The detection script for deployment tools and the setup script for support staff (not
# signed, so not in SHA256SUMS).
publish "build/mingw/$detection_name" "$detection_name"
publish "build/mingw/setup-script/$script_name" "$script_name"
(cd dist && sha256sum "$exe_name" > .SHA256SUMS.new && mv -f .SHA256SUMS.new SHA256SUMS)

hash=$(cut -d' ' -f1 dist/SHA256SUMS)
echo "Built $(pwd)/dist/$exe_name"
echo "SHA-256 $hash"
