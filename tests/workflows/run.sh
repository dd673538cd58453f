#!/usr/bin/env bash
# Validates every GitHub Actions workflow in .github/workflows against the workflow schema
# with @action-validator/cli (from npm, pinned, installed under build/workflow-tools).
# Installs Node.js and npm from Debian when missing.
# Writes "<passed> <failed>" (one per workflow file) to $TEST_COUNTS_FILE.
set -uo pipefail
cd "$(dirname "$0")/../.."
counts_file=${TEST_COUNTS_FILE:-build/test-counts/workflows.counts}
mkdir -p "$(dirname "$counts_file")"
validator_version=0.6.0
tools=build/workflow-tools
validator="$tools/node_modules/.bin/action-validator"

fail_setup() {
  echo "workflows: $1" >&2
  echo "0 1" > "$counts_file"
  exit 1
}

# Some machines have a Node.js that carries its own npm; Debian's npm only when there is none.
if ! command -v node >/dev/null 2>&1 || ! command -v npm >/dev/null 2>&1; then
  tools/apt-install-missing.sh workflow-checks nodejs npm ||
    fail_setup "could not install Node.js and npm"
fi
installed=$(node -p "require('./$tools/node_modules/@action-validator/cli/package.json').version" 2>/dev/null)
if [ "$installed" != "$validator_version" ]; then
  echo "Installing @action-validator/cli $validator_version..."
  rm -rf "$tools"
  mkdir -p "$tools"
  npm install --prefix "$tools" --no-save --no-audit --no-fund \
    "@action-validator/cli@$validator_version" >/dev/null ||
    fail_setup "npm could not install @action-validator/cli"
fi

passed=0
failed=0
shopt -s nullglob
files=(.github/workflows/*.yml .github/workflows/*.yaml)
[ "${#files[@]}" -gt 0 ] || fail_setup "no workflow files found"
for file in "${files[@]}"; do
  if "$validator" "$file"; then
    echo "ok   $file"
    passed=$((passed + 1))
  else
    echo "FAIL $file"
    failed=$((failed + 1))
  fi
done
echo "$passed $failed" > "$counts_file"
echo "workflows: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
