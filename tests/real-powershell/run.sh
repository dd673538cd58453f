#!/usr/bin/env bash
# Runs the built executable under Wine with a real PowerShell: a Windows build of
# PowerShell 7.6 (tools/powershell-host) installed as
# C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe of a private prefix that
# prepare.sh makes once in build/real-powershell.
# Installs Python from Debian when missing; the .NET SDK must be on the machine.
# Writes "<passed> <failed>" to $TEST_COUNTS_FILE; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/../.."
suite_name=real-powershell
counts_file=${TEST_COUNTS_FILE:-build/test-counts/real-powershell.counts}
. tests/real-powershell/prepare.sh

tools/install-build-deps.sh || fail_setup "could not install the build tools"
tools/apt-install-missing.sh real-powershell-tests python3 python3-pefile ||
  fail_setup "could not install Python"

# The executable under test is always the one built from this tree.
./build.sh || fail_setup "the executable could not be built"

echo "== the executable and its script with a real PowerShell"
suite_counts="$work/suite.counts"
rm -f "$suite_counts"
PYTHONPATH="$root/tests/real-powershell" /usr/bin/python3 tests/exe/run_suites.py \
  "$suite_counts" test_real_powershell
finish_suite "$suite_counts"
