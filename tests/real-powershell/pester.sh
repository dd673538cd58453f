#!/usr/bin/env bash
# Runs the setup script's Pester suites (tests/setup-script) once more under a real
# PowerShell for Windows: the host that prepare.sh installs as Windows PowerShell in a
# private Wine prefix. Wine is not Windows: tests that need what it lacks skip themselves
# and say what that is.
# Writes "<passed> <failed>" to $TEST_COUNTS_FILE; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/../.."
suite_name=real-powershell-pester
counts_file=${TEST_COUNTS_FILE:-build/test-counts/real-powershell-pester.counts}
. tests/real-powershell/prepare.sh

# Pester's module files (the Linux PowerShell that this also installs is not used here).
tools/install-powershell-test-tools.sh || fail_setup "could not install Pester"

# Wine maps the Unix root to drive Z:.
windows_path() {
  local path
  path=$(realpath -m "$1")
  echo "Z:${path//\//\\}"
}

suite_counts="$work/pester.counts"
rm -f "$suite_counts" "$suite_counts.failed"
started=$(date +%s)
TEST_COUNTS_FILE=$(windows_path "$suite_counts") /usr/lib/wine/wine64 \
  'C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe' -NoProfile -NonInteractive \
  -ExecutionPolicy Bypass -File "$(windows_path tests/setup-script/Invoke-Tests.ps1)" 2>&1 |
  tr -d '\r'
finish_suite "$suite_counts" " ($(( $(date +%s) - started )) s)"
