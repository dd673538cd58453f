#!/usr/bin/env bash
# Builds and runs every test suite of the launcher and the executable:
#   - GoogleTest (launcher flow, folder rules, formatting) under Wine, by ctest
#   - the real executable under Wine with a recording PowerShell stand-in
#   - pefile checks of the image and its resources, the icon generator
#   - reproducibility: two clean builds are byte-identical
# Runs ./build.sh first (a no-op when nothing changed), so dist/ holds the
# executable built from this tree; the test programs are built with the
# "mingw-tests" preset in its own folder, build/mingw-tests.
# Writes "<passed> <failed>" to $TEST_COUNTS_FILE
# (default build/test-counts/launcher.counts); exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
build="$root/build/mingw-tests"
counts_file=${TEST_COUNTS_FILE:-build/test-counts/launcher.counts}
mkdir -p "$(dirname "$counts_file")"

passed=0
failed=0

finish() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  echo "$passed $failed" > "$counts_file"
  echo "launcher: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
  exit $?
}

export WINEPREFIX="$build/wineprefix"

if ! tools/install-launcher-test-deps.sh; then
  echo "launcher tests: could not install their dependencies" >&2
  failed=1
  finish
fi

echo "== building the executable from this tree"
if ! ./build.sh; then
  echo "launcher tests: ./build.sh failed" >&2
  failed=1
  finish
fi

echo "== building the launcher tests"
if ! { cmake --preset mingw-tests >/dev/null && cmake --build --preset mingw-tests; }; then
  echo "launcher tests: build failed" >&2
  failed=1
  finish
fi
tests/launcher/wine-prefix.sh "$WINEPREFIX"

echo "== GoogleTest under Wine"
junit="$build/launcher-gtest.xml"
rm -f "$junit"
ctest --test-dir "$build" -j2 --output-on-failure --timeout 300 --no-tests=error \
  --output-junit "$junit"
if [ -f "$junit" ]; then
  read -r gtest_passed gtest_failed < <(/usr/bin/python3 - "$junit" <<'PY'
import sys
import xml.etree.ElementTree as ElementTree
suite = ElementTree.parse(sys.argv[1]).getroot()
total = int(suite.get("tests", 0))
failures = int(suite.get("failures", 0)) + int(suite.get("errors", 0) or 0)
skipped = int(suite.get("skipped", 0) or 0) + int(suite.get("disabled", 0) or 0)
if total == 0:
    failures = 1
print(total - failures - skipped, failures)
PY
  )
  passed=$((passed + ${gtest_passed:-0}))
  failed=$((failed + ${gtest_failed:-1}))
else
  echo "launcher tests: ctest wrote no results" >&2
  failed=$((failed + 1))
fi

echo "== executable suites"
suite_counts="$build/exe-suites.counts"
rm -f "$suite_counts"
/usr/bin/python3 tests/exe/run_suites.py "$suite_counts" \
  test_pe test_blackbox test_reproducible
if [ -f "$suite_counts" ]; then
  read -r exe_passed exe_failed < "$suite_counts"
  passed=$((passed + exe_passed))
  failed=$((failed + exe_failed))
else
  echo "launcher tests: executable suites crashed" >&2
  failed=$((failed + 1))
fi

finish
