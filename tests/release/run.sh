#!/usr/bin/env bash
# Runs the release signing suite (release.sh and tools/check-signed-release.sh on the
# built executable, with a throwaway CA made by openssl).
# Expects ./build.sh to have run (dist/ holds the unsigned executable).
# Writes "<passed> <failed>" to $TEST_COUNTS_FILE
# (default build/test-counts/release.counts); exits non-zero on any failure.
set -uo pipefail
cd "$(dirname "$0")/../.."
counts_file=${TEST_COUNTS_FILE:-build/test-counts/release.counts}
mkdir -p "$(dirname "$counts_file")"

if ! tools/apt-install-missing.sh "release tests" osslsigncode openssl python3-pefile; then
  echo "release tests: could not install their dependencies" >&2
  echo "0 1" > "$counts_file"
  exit 1
fi

if [ ! -f dist/ORVELLE-Game-Support-Setup-1.0.2.exe ]; then
  echo "release tests: dist/ has no executable; running ./build.sh"
  ./build.sh || { echo "0 1" > "$counts_file"; exit 1; }
fi

PYTHONPATH=tests/release /usr/bin/python3 tests/exe/run_suites.py "$counts_file" test_release
status=$?
read -r passed failed < "$counts_file"
echo "release: $passed passed, $failed failed"
exit $status
