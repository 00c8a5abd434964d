"""The manual page and `make install` / `make uninstall`."""

import glob
import os
import re
import subprocess
import unittest

from support import SOURCE_DIR, VERSION, WINDOWS, ZELNO, WorkdirTest, have, read

# The manual page as the build gives it its version.
MANUAL = os.path.join(os.path.dirname(os.path.abspath(ZELNO)), "zelno.1")


def program_messages():
    """Every fixed message the program prints for a result or a failure,
    taken from its sources (the internal self-test faults excepted)."""
    messages = set()
    for path in glob.glob(os.path.join(SOURCE_DIR, "src", "*", "*.cpp")):
        text = read(path).decode()
        messages.update(re.findall(r'\b(?:fail_system|fail_message|fail_refused|puts|report_success)\("([^"]+)"\)', text))
    return messages


class Manual(unittest.TestCase):
    @unittest.skipUnless(have("groff"), "groff is missing")
    def test_formats_without_warnings(self):
        result = subprocess.run(["groff", "-man", "-Tutf8", "-ww", MANUAL],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual((result.returncode, result.stderr.decode()), (0, ""))

    def test_carries_the_version(self):
        self.assertRegex(read(MANUAL).decode().splitlines()[0], r'^\.TH ZELNO 1 \S+ "zelno %s"' % re.escape(VERSION))

    def test_lists_every_message(self):
        source = re.sub(r"\\&|\\f[BIRP]", "", read(MANUAL).decode())
        messages = program_messages()
        self.assertIn("infile data error.", messages)  # the search itself works
        self.assertEqual(sorted(m for m in messages if m not in source), [])


@unittest.skipUnless(have("make") and have("install"), "make or install is missing")
@unittest.skipIf(WINDOWS, "make install installs the Linux program")
class Install(WorkdirTest):
    def make(self, *args):
        # A clean environment: this may run under `make check`, whose flags
        # and variables would reach the inner make. "-o all" installs what
        # this build made without configuring or building it again.
        env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
        build = os.path.dirname(os.path.abspath(ZELNO))
        result = subprocess.run(["make", "--no-print-directory", "-C", SOURCE_DIR, "-o", "all",
                                 "BUILD=" + build] + list(args),
                                env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(result.returncode, 0, result.stdout.decode())

    def installed(self, stage):
        found = {}
        for root, _, files in os.walk(stage):
            for name in files:
                path = os.path.join(root, name)
                found[os.path.relpath(path, stage)] = os.stat(path).st_mode & 0o7777
        return found

    def test_install_and_uninstall_under_destdir(self):
        for prefix in ("/usr", None):
            with self.subTest(prefix=prefix):
                stage = self.path("stage-%s" % (prefix or "default").strip("/"))
                prefix_args = ["PREFIX=" + prefix] if prefix else []
                self.make("install", "DESTDIR=" + stage, *prefix_args)
                root = (prefix or "/usr/local").lstrip("/")
                program = os.path.join(root, "bin", "zelno")
                manual = os.path.join(root, "share", "man", "man1", "zelno.1")
                completion = os.path.join(root, "share", "bash-completion", "completions", "zelno")
                self.assertEqual(self.installed(stage), {program: 0o755, manual: 0o644, completion: 0o644})
                self.assertEqual(read(os.path.join(stage, program)), read(ZELNO))
                self.assertEqual(read(os.path.join(stage, manual)), read(MANUAL))

                self.make("uninstall", "DESTDIR=" + stage, *prefix_args)
                self.assertEqual(self.installed(stage), {})


@unittest.skipUnless(have("bash"), "bash is missing")
class Completion(unittest.TestCase):
    def test_mode_words_first(self):
        script = os.path.join(SOURCE_DIR, "packaging", "zelno.bash")
        for words, offered in ((["zelno", ""], "e ea d s sa --key-file --key-env --help --version"),
                               (["zelno", "e"], "e ea"), (["zelno", "-"], "--key-file --key-env --help --version"),
                               (["zelno", "x"], ""), (["zelno", "--key-file", "k", ""], "e ea d s sa"),
                               (["zelno", "--key-env", "BASH_VERSI"], "BASH_VERSINFO BASH_VERSION")):
            with self.subTest(words=words):
                line = 'source "$0"; COMP_WORDS=(%s); COMP_CWORD=%d; _zelno; echo "${COMPREPLY[*]}"' % (
                    " ".join("'%s'" % w for w in words), len(words) - 1)
                result = subprocess.run(["bash", "-c", line, script], stdout=subprocess.PIPE)
                self.assertEqual(result.stdout.decode(), offered + "\n")


if __name__ == "__main__":
    unittest.main()
