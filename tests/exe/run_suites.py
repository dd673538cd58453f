"""Runs the executable's Python test suites and counts their test cases.

Usage: run_suites.py COUNTS_FILE MODULE...
Writes "<passed> <failed>" to COUNTS_FILE. A suite that cannot be loaded or
that crashes counts as one failure.
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))


def run_module(name):
    print("== %s" % name, flush=True)
    started = time.time()
    try:
        suite = unittest.defaultTestLoader.loadTestsFromName(name)
        result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2).run(suite)
    except Exception as error:  # noqa: BLE001 - a crashed suite is a failure
        print("suite %s crashed: %r" % (name, error))
        return 0, 1
    failed = len(result.failures) + len(result.errors) + len(
        result.unexpectedSuccesses)
    passed = result.testsRun - failed - len(result.skipped)
    if result.testsRun == 0:
        failed = max(failed, 1)
    print("%s: %d passed, %d failed (%.0f s)" % (name, passed, failed,
                                                  time.time() - started),
          flush=True)
    return passed, failed


def main(argv):
    counts_file, modules = argv[1], argv[2:]
    passed = failed = 0
    for module in modules:
        module_passed, module_failed = run_module(module)
        passed += module_passed
        failed += module_failed
    with open(counts_file, "w") as handle:
        handle.write("%d %d\n" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
