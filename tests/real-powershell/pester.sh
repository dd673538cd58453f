#!/usr/bin/env bash
# Runs the setup script's Pester suites (tests/setup-script) once more under a real
# PowerShell for Windows: the host that prepare.sh installs as Windows PowerShell in a
# private Wine prefix. Wine is not Windows: tests that need what it lacks skip themselves
# and say what that is.
# The test files are shared between two PowerShell processes that run side by side (each
# keeps one core busy), the larger files first, each to the process with less to do; their
# logs are printed one after the other. Arguments name test files or folders to run instead
# of all of them.
# Writes "<passed> <failed>" to $TEST_COUNTS_FILE; exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/../.."
suite_name=real-powershell-pester
counts_file=${TEST_COUNTS_FILE:-build/test-counts/real-powershell-pester.counts}
. tests/real-powershell/prepare.sh

# The setup script the tests load, and Pester's module files (the Linux PowerShell that
# this also installs is not used here).
./build.sh >/dev/null || fail_setup "the setup script could not be built"
tools/install-powershell-test-tools.sh || fail_setup "could not install Pester"

# Wine maps the Unix root to drive Z:.
windows_path() {
  local path
  path=$(realpath -m "$1")
  echo "Z:${path//\//\\}"
}

# The files to run, largest first, each given to the process with fewer bytes so far.
if [ $# -gt 0 ]; then
  files=("$@")
else
  mapfile -t files < <(ls -S tests/setup-script/*.Tests.ps1)
fi
groups=("" "")
sizes=(0 0)
for file in "${files[@]}"; do
  size=$(stat -c %s "$file" 2>/dev/null || echo 0)
  slot=0
  [ "${sizes[1]}" -lt "${sizes[0]}" ] && slot=1
  groups[slot]+="$(windows_path "$file") "
  sizes[slot]=$((sizes[slot] + size))
done

started=$(date +%s)
pids=()
for slot in 0 1; do
  [ -n "${groups[slot]}" ] || continue
  rm -f "$work/pester-$slot.counts" "$work/pester-$slot.counts.failed"
  # shellcheck disable=SC2086  # the group is a list of paths without blanks
  TEST_COUNTS_FILE=$(windows_path "$work/pester-$slot.counts") /usr/lib/wine/wine64 \
    'C:\windows\system32\WindowsPowerShell\v1.0\powershell.exe' -NoProfile -NonInteractive \
    -ExecutionPolicy Bypass -File "$(windows_path tests/setup-script/Invoke-Tests.ps1)" \
    ${groups[slot]} >"$work/pester-$slot.log" 2>&1 &
  pids+=($!)
done
for pid in "${pids[@]}"; do wait "$pid"; done

# Both processes' counts and failure names as one suite's.
suite_counts="$work/pester.counts"
rm -f "$suite_counts" "$suite_counts.failed"
passed=0
failed=0
for slot in 0 1; do
  [ -n "${groups[slot]}" ] || continue
  echo "== process $((slot + 1)) of 2"
  tr -d '\r' <"$work/pester-$slot.log"
  if [ -s "$work/pester-$slot.counts" ]; then
    read -r p f <"$work/pester-$slot.counts"
    tr -d '\r' <"$work/pester-$slot.counts.failed" >>"$suite_counts.failed" 2>/dev/null
  else
    echo "$suite_name: process $((slot + 1)) ended without reporting its counts"
    p=0
    f=1
  fi
  passed=$((passed + p))
  failed=$((failed + f))
done
echo "$passed $failed" >"$suite_counts"
finish_suite "$suite_counts" " ($(( $(date +%s) - started )) s)"
