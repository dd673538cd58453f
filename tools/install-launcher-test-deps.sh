#!/usr/bin/env bash
# Installs what the launcher's tests need on Debian 12, when missing:
# GoogleTest sources (built with the cross compiler), Wine to run the Windows
# programs, Python 3 with pefile for the executable checks.
set -euo pipefail

"$(dirname "$0")/install-build-deps.sh"
"$(dirname "$0")/apt-install-missing.sh" install-launcher-test-deps \
  googletest wine64 python3 python3-pefile util-linux
