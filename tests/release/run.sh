#!/usr/bin/env bash
# Runs the release signing suite (release.sh and tools/check-signed-release.sh on the
# built executable, with a throwaway CA made by openssl).
# Runs ./build.sh first (a no-op when nothing changed): the suite signs copies of the
# executable built from this tree.
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

./build.sh || { echo "0 1" > "$counts_file"; exit 1; }

PYTHONPATH=tests/release /usr/bin/python3 tests/exe/run_suites.py "$counts_file" test_release
status=$?
read -r passed failed < "$counts_file"
echo "release: $passed passed, $failed failed"
exit $status
