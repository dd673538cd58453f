#!/usr/bin/env bash
# Installs what building the executable needs on Debian 12, when missing:
# the mingw-w64 cross compiler (posix threads), windres, CMake and Ninja.
set -euo pipefail

"$(dirname "$0")/apt-install-missing.sh" install-build-deps \
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 cmake ninja-build
