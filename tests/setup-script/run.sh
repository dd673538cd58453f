#!/usr/bin/env bash
# Runs the setup script's Pester suites on PowerShell 7.6 and writes "<passed> <failed>"
# to $TEST_COUNTS_FILE.
set -euo pipefail
cd "$(dirname "$0")/../.."
tools/install-powershell-test-tools.sh
export TEST_COUNTS_FILE=${TEST_COUNTS_FILE:-build/test-counts/setup-script.counts}
mkdir -p "$(dirname "$TEST_COUNTS_FILE")"
exec build/tools/pwsh/pwsh -NoProfile -NonInteractive -File tests/setup-script/Invoke-Tests.ps1
