#!/usr/bin/env bash
# Runs every test suite: how Windows PowerShell 5.1 reads the PowerShell files, the
# launcher's (GoogleTest and the built executable under Wine, image checks), the setup
# script's (Pester on PowerShell 7.6), the built executable and the same Pester suites with
# a real PowerShell for Windows under Wine, release signing, and the schema check of the CI
# workflows.
# Installs what they need, except the .NET SDK (10.0 or later), which it checks for first.
# Ends with one line "N passed, N failed" and exits non-zero when anything failed.
set -uo pipefail
cd "$(dirname "$0")"

counts_dir=build/test-counts
rm -rf "$counts_dir"
mkdir -p "$counts_dir"

status=0
# The one prerequisite no script installs: say so before the suites that need it fail.
if ! tools/check-dotnet-sdk.sh test.sh; then
    echo "test.sh: the setup-script and real-PowerShell suites will fail without it." >&2
    status=1
fi
./build.sh || status=1

run_suite() {
    local name=$1 script=$2
    echo
    echo "=== $name ==="
    TEST_COUNTS_FILE="$counts_dir/$name.counts" "$script" || status=1
    if [ ! -s "$counts_dir/$name.counts" ]; then
        echo "$name: the suite ended without reporting its counts"
        echo "0 1" > "$counts_dir/$name.counts"
    fi
}

run_suite ps51-files tools/check-ps51-files.py
run_suite launcher tests/launcher/run.sh
run_suite setup-script tests/setup-script/run.sh
run_suite real-powershell tests/real-powershell/run.sh
run_suite real-powershell-pester tests/real-powershell/pester.sh
run_suite release tests/release/run.sh
run_suite workflows tests/workflows/run.sh

passed=0
failed=0
while read -r p f; do
    passed=$((passed + p))
    failed=$((failed + f))
done < <(cat "$counts_dir"/*.counts)

echo
# The Pester suites name what failed beside their counts; repeat it here, next to the total.
for list in "$counts_dir"/*.failed; do
    [ -s "$list" ] || continue
    suite=$(basename "$list" .counts.failed)
    sed "s/^/$suite: /" "$list"
done
[ "$failed" -eq 0 ] || status=1
echo "$passed passed, $failed failed"
exit $status
