"""The end-to-end cases as ctest runs them, one test per case (script.Class.test).

cases.py list [NAME...]  prints every case of the test_*.py scripts, or the
                         named ones; a name that is no case fails, and so
                         does a list that comes out empty.
cases.py run NAME        runs one case. Exits 0 when all of it ran and
                         passed, SKIPPED when nothing failed and nothing of
                         it ran, 1 otherwise. What did not run is printed as
                         "skipped: NAME: reason" lines, and, for a case that
                         otherwise passed, "skipped in part: NAME (N rows):
                         reason", which `make check` shows after the run.
"""

import collections
import glob
import os
import sys
import unittest

SKIPPED = 77  # ctest's SKIP_RETURN_CODE


def every_case():
    here = os.path.dirname(os.path.abspath(__file__))
    loader = unittest.TestLoader()
    found = []

    def walk(suite):
        for test in suite:
            if isinstance(test, unittest.TestSuite):
                walk(test)
            else:
                found.append(test.id())

    for script in sorted(glob.glob(os.path.join(here, "test_*.py"))):
        walk(loader.loadTestsFromName(os.path.basename(script)[:-3]))
    if loader.errors:  # a script that does not import
        raise SystemExit("\n".join(loader.errors))
    return found


class Result(unittest.TextTestResult):
    """Counts the parts that ran: whole cases and rows (subtests)."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.ran = 0

    def addSuccess(self, test):
        super().addSuccess(test)
        self.ran += 1

    def addSubTest(self, test, subtest, err):
        super().addSubTest(test, subtest, err)
        self.ran += err is None


def run(name):
    result = unittest.TextTestRunner(stream=sys.stdout, verbosity=2, resultclass=Result).run(
        unittest.TestLoader().loadTestsFromName(name))
    if not result.wasSuccessful() or result.testsRun != 1:
        return 1
    reasons = collections.Counter(reason for _, reason in result.skipped)
    for reason, rows in sorted(reasons.items()):
        if result.ran:
            print("skipped in part: %s (%d row%s): %s" % (name, rows, "" if rows == 1 else "s", reason))
        else:
            print("skipped: %s: %s" % (name, reason))
    return SKIPPED if reasons and not result.ran else 0


def main(args):
    if args[:1] == ["run"] and len(args) == 2:
        return run(args[1])
    if args[:1] != ["list"]:
        print(__doc__, file=sys.stderr)
        return 2
    cases = every_case()
    unknown = [name for name in args[1:] if name not in cases]
    if unknown:
        print("no end-to-end case named %s" % ", ".join(unknown), file=sys.stderr)
        return 1
    chosen = args[1:] or cases
    if not chosen:
        print("no end-to-end case found", file=sys.stderr)
        return 1
    print("\n".join(chosen))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
