#!/usr/bin/env bash
# Runs every test suite: how Windows PowerShell 5.1 reads the PowerShell files, the
# launcher's (GoogleTest and the built executable under Wine, image checks), the setup
# script's (Pester on PowerShell 7.6), the built executable and the same Pester suites with
# a real PowerShell for Windows under Wine, release signing, and the schema check of the CI
# workflows.
# Installs what they need, except the .NET SDK (10.0 or later), which it checks for first.
# The suites run side by side in lanes, one lane per core: each suite writes to its own log
# in build/test-logs, and the logs are printed one after another once every lane is done,
# then each suite's time and one line "N passed, N failed". Exits non-zero when anything
# failed.
set -uo pipefail
cd "$(dirname "$0")"

counts_dir=build/test-counts
logs_dir=build/test-logs
rm -rf "$counts_dir" "$logs_dir"
mkdir -p "$counts_dir" "$logs_dir"

status=0
started=$(date +%s)
# The one prerequisite no script installs: say so before the suites that need it fail.
if ! tools/check-dotnet-sdk.sh test.sh; then
    echo "test.sh: the setup-script and real-PowerShell suites will fail without it." >&2
    status=1
fi
./build.sh || status=1

# Runs one suite with its output in its own log, and notes its time and outcome.
run_suite() {
    local name=$1 script=$2 begun ended
    echo "$name: started"
    begun=$(date +%s)
    TEST_COUNTS_FILE="$counts_dir/$name.counts" "$script" >"$logs_dir/$name.log" 2>&1
    echo $? >"$counts_dir/$name.status"
    ended=$(date +%s)
    echo $((ended - begun)) >"$counts_dir/$name.seconds"
    if [ ! -s "$counts_dir/$name.counts" ]; then
        echo "$name: the suite ended without reporting its counts" >>"$logs_dir/$name.log"
        echo "0 1" >"$counts_dir/$name.counts"
    fi
    read -r p f <"$counts_dir/$name.counts"
    echo "$name: $p passed, $f failed ($((ended - begun)) s)"
}

# The suites in the order their logs are printed, each with its lane. The two real-
# PowerShell suites share one Wine prefix, so they run one after the other; the Pester run
# under Wine is the longest suite and has a lane of its own after them.
suites=(
    "ps51-files tools/check-ps51-files.py 2"
    "launcher tests/launcher/run.sh 2"
    "setup-script tests/setup-script/run.sh 2"
    "real-powershell tests/real-powershell/run.sh 1"
    "real-powershell-pester tests/real-powershell/pester.sh 1"
    "release tests/release/run.sh 2"
    "workflows tests/workflows/run.sh 2"
)

run_lane() {
    local lane=$1 entry name script suite_lane
    for entry in "${suites[@]}"; do
        read -r name script suite_lane <<<"$entry"
        [ "$suite_lane" = "$lane" ] && run_suite "$name" "$script"
    done
}

run_lane 1 &
lane_one=$!
run_lane 2
wait "$lane_one"

passed=0
failed=0
for entry in "${suites[@]}"; do
    read -r name _ _ <<<"$entry"
    echo
    echo "=== $name ==="
    cat "$logs_dir/$name.log"
    [ "$(cat "$counts_dir/$name.status")" = 0 ] || status=1
    read -r p f <"$counts_dir/$name.counts"
    passed=$((passed + p))
    failed=$((failed + f))
done

echo
echo "Time per suite (side by side, $(($(date +%s) - started)) s in all):"
for entry in "${suites[@]}"; do
    read -r name _ _ <<<"$entry"
    printf '  %-24s %4d s\n' "$name" "$(cat "$counts_dir/$name.seconds")"
done
# The Pester suites name what failed beside their counts; repeat it here, next to the total.
for list in "$counts_dir"/*.failed; do
    [ -s "$list" ] || continue
    suite=$(basename "$list" .counts.failed)
    sed "s/^/$suite: /" "$list"
done
[ "$failed" -eq 0 ] || status=1
echo "$passed passed, $failed failed"
exit $status
