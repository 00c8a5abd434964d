"""Every damaged or hostile container ends with its own message and exit code
and leaves the directory exactly as it was."""

import os
import tempfile
import unittest

import corpus
from support import WorkdirTest, snapshot, write


class Corpus(WorkdirTest):
    @classmethod
    def setUpClass(cls):
        cls._build = tempfile.TemporaryDirectory()
        cls.cases = corpus.build(cls._build.name)

    @classmethod
    def tearDownClass(cls):
        cls._build.cleanup()

    def test_each_case(self):
        write(self.path("restored"), b"a file of the stored name, kept")
        write(self.path("out"), b"a file of the explicit name, kept")
        for name, data, (code, message) in self.cases:
            for output in ([], ["out"]):
                if message == corpus.NAME[1] and output:
                    continue  # an explicit output name does not use the stored one
                with self.subTest(case=name, output=output):
                    write(self.path("case.znx"), data)
                    before = snapshot(self.dir)
                    result = self.zelno("d", "case.znx", corpus.KEY, *output)
                    self.assertFails(result, code, stdout=message.encode())
                    self.assertEqual(snapshot(self.dir), before)

    def test_unsafe_stored_names_with_an_explicit_output(self):
        for name, data, expected in self.cases:
            if expected != corpus.NAME:
                continue
            with self.subTest(case=name):
                write(self.path("case.znx"), data)
                self.assertSucceeds(self.zelno("d", "case.znx", corpus.KEY, "chosen"), b"decrypted.")
                self.assertEqual(sorted(os.listdir(self.dir)), ["case.znx", "chosen"])
                self.assertEqual(open(self.path("chosen"), "rb").read(), corpus.PLAIN)
                os.remove(self.path("chosen"))


if __name__ == "__main__":
    unittest.main()
