"""The suite's own plumbing: ctest shows each end-to-end case as passed,
skipped or failed, and a check that finds nothing to check fails."""

import os
import re
import shutil
import subprocess
import sys
import unittest

from support import MAKE_CONTAINER, SOURCE_DIR, WorkdirTest, have, write

CASES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "cases.py")

SAMPLE = b'''
import unittest


class Sample(unittest.TestCase):
    def test_passes(self):
        pass

    @unittest.skip("not here")
    def test_skipped(self):
        pass

    def test_rows_partly_skipped(self):
        for row in range(3):
            with self.subTest(row=row):
                if row != 1:
                    self.skipTest("row not here")

    def test_every_row_skipped(self):
        for row in range(2):
            with self.subTest(row=row):
                self.skipTest("no row here")

    def test_fails_beside_a_skipped_row(self):
        for row in range(2):
            with self.subTest(row=row):
                if row == 0:
                    self.skipTest("row not here")
                self.fail("row 1 fails")
'''


def without_make_variables():
    # This may run under `make check`, whose flags would reach the inner make.
    return {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}


class Cases(WorkdirTest):
    def cases(self, *args, script=CASES):
        return subprocess.run([sys.executable, "-B", script] + list(args), cwd=self.dir,
                              env=dict(os.environ, PYTHONPATH=self.dir), capture_output=True, timeout=120)

    def test_exit_code_tells_passed_skipped_and_failed(self):
        write(self.path("sample_cases.py"), SAMPLE)
        rows = [
            # (case, exit code, lines about what did not run)
            ("test_passes", 0, []),
            ("test_skipped", 77, ["skipped: sample_cases.Sample.test_skipped: not here"]),
            ("test_rows_partly_skipped", 0,
             ["skipped in part: sample_cases.Sample.test_rows_partly_skipped (2 rows): row not here"]),
            ("test_every_row_skipped", 77, ["skipped: sample_cases.Sample.test_every_row_skipped: no row here"]),
            ("test_fails_beside_a_skipped_row", 1, []),
            ("test_missing", 1, []),
        ]
        for case, code, lines in rows:
            with self.subTest(case=case):
                result = self.cases("run", "sample_cases.Sample." + case)
                self.assertEqual(result.returncode, code, result)
                told = [l for l in result.stdout.decode().splitlines() if l.startswith("skipped")]
                self.assertEqual(told, lines)
        # A class is more than one case.
        self.assertEqual(self.cases("run", "sample_cases.Sample").returncode, 1)

    def test_a_list_that_names_no_case_fails(self):
        listed = self.cases("list")
        self.assertEqual(listed.returncode, 0, listed)
        cases = listed.stdout.decode().split()
        self.assertIn("test_suite.Cases.test_a_list_that_names_no_case_fails", cases)
        chosen = self.cases("list", cases[0], "test_suite.Cases.test_no_such_case")
        self.assertEqual((chosen.returncode, chosen.stdout), (1, b""))
        self.assertIn(b"test_suite.Cases.test_no_such_case", chosen.stderr)
        # A folder without scripts lists nothing, which fails; so does one
        # with a script that does not import.
        shutil.copy(CASES, self.path("cases.py"))
        empty = self.cases("list", script=self.path("cases.py"))
        self.assertEqual((empty.returncode, empty.stdout), (1, b""))
        write(self.path("test_broken.py"), b"import no_such_module\n")
        broken = self.cases("list", script=self.path("cases.py"))
        self.assertEqual((broken.returncode, broken.stdout), (1, b""))
        self.assertIn(b"no_such_module", broken.stderr)

    def test_ctest_runs_each_case_with_its_skip_code(self):
        # Read from ctest's own file for the folder of the tests: a ctest run
        # here would write over the log of the run that is going on.
        with open(os.path.join(os.path.dirname(os.path.abspath(MAKE_CONTAINER)), "CTestTestfile.cmake")) as f:
            ctest_file = f.read()
        tests = set(re.findall(r"^add_test\(\[=\[e2e\.([^]]+)\]=\]", ctest_file, re.M))
        with_skip_code = set(re.findall(
            r'^set_tests_properties\(\[=\[e2e\.([^]]+)\]=\] PROPERTIES .* SKIP_RETURN_CODE "77"', ctest_file, re.M))
        self.assertIn("test_suite.Cases.test_ctest_runs_each_case_with_its_skip_code", tests)
        self.assertEqual(tests - set(self.cases("list").stdout.decode().split()), set())
        self.assertEqual(tests - with_skip_code, set())


class NothingToCheck(WorkdirTest):
    @unittest.skipUnless(have("make"), "make is missing")
    def test_format_check_without_sources_fails(self):
        result = subprocess.run(["make", "--no-print-directory", "-C", SOURCE_DIR, "format-check", "FORMATTED="],
                                env=without_make_variables(), capture_output=True, timeout=120)
        self.assertNotEqual(result.returncode, 0)
        self.assertIn(b"format: no sources listed", result.stderr)

    def test_fuzz_run_without_targets_fails(self):
        result = subprocess.run(["bash", os.path.join(SOURCE_DIR, "fuzz", "run.sh"), self.dir, self.dir, "1"],
                                capture_output=True, timeout=120)
        self.assertEqual(result.returncode, 1)
        self.assertIn(b"no fuzz targets", result.stderr)


if __name__ == "__main__":
    unittest.main()
