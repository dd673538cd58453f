#!/usr/bin/env bash
# Runs the setup script's Pester suites on PowerShell 7.6 against the setup script that
# ./build.sh puts together (it builds first), and writes "<passed> <failed>" to
# $TEST_COUNTS_FILE. Arguments name test files or folders to run instead of all of them.
set -euo pipefail
cd "$(dirname "$0")/../.."
export TEST_COUNTS_FILE=${TEST_COUNTS_FILE:-build/test-counts/setup-script.counts}
mkdir -p "$(dirname "$TEST_COUNTS_FILE")"
if ! ./build.sh >/dev/null || ! tools/install-powershell-test-tools.sh; then
    echo "setup-script: could not build or install the test tools" >&2
    echo "0 1" >"$TEST_COUNTS_FILE"
    exit 1
fi
exec build/tools/pwsh/pwsh -NoProfile -NonInteractive -File tests/setup-script/Invoke-Tests.ps1 "$@"
