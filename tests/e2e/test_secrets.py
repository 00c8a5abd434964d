"""Secrets in memory: however a run ends, the key and the plaintext are gone
from the process's writable memory by the final system call, and a failed
run waiting at "hit any key...." no longer holds them either. (That the key
argument leaves the process list is checked in test_console.)"""

import os
import re
import subprocess
import unittest

import pexpect

from memory_scan import find_in_process
from support import SANITIZE, ZELNO, WorkdirTest, have, read, write

SCAN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "memory_scan.py")
KEY = "wipe-me-0123456789-ABCDEFGHIJKLM"  # 32 bytes: all of it is used
# The first 16 bytes: also what a round-key schedule starts with.
NEEDLES = {"key": KEY[:16].encode(), "plaintext": b"plaintext of the memory tests"}
PAUSE = b"hit any key...."


def program_environment():
    # The program binds its own symbols at start. The shared libraries it
    # loads (the C++ runtime, a sanitizer runtime) bind theirs lazily, and the
    # binding trampoline saves the vector registers, which may still hold key
    # bytes, on the stack, out of the program's reach; here they bind at start
    # too, so that the searches see what the program itself leaves.
    env = dict(os.environ, LD_BIND_NOW="1")
    if SANITIZE:
        # LeakSanitizer cannot work under a debugger; the searches stand in.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    return env


class SecretsWorkdir(WorkdirTest):
    def setUp(self):
        super().setUp()
        write(self.path("plain"), NEEDLES["plaintext"] + b"\n")
        self.assertEqual(self.zelno("ea", "plain", KEY, "c").returncode, 0)
        self.assertEqual(self.zelno("e", "plain", "made under another key", "other").returncode, 0)
        # The digest (in clear at offset 280) no longer matches: a run that
        # fails only after it has decrypted everything.
        damaged = bytearray(read(self.path("c")))
        damaged[280] ^= 1
        write(self.path("damaged"), bytes(damaged))
        write(self.path("junk"), b"no container in here\n")


@unittest.skipUnless(have("gdb"), "gdb not installed")
class AtExit(SecretsWorkdir):
    """The program runs under gdb, which stops it at the exit_group system
    call, the last thing every way out does, and searches its memory."""

    def gdb(self, args, commands, program=ZELNO):
        setup = ["set startup-with-shell off", "set disable-randomization off", "set pagination off",
                 "set confirm off", "set breakpoint pending on", "source " + SCAN]
        command_line = ["gdb", "-nx", "-batch"]
        for c in setup + commands:
            command_line += ["-ex", c]
        result = subprocess.run(command_line + ["--args", program] + list(args), cwd=self.dir,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                env=program_environment(), timeout=300, start_new_session=True)
        out = result.stdout.decode(errors="replace")
        finds = {}
        for label in NEEDLES:
            self.assertIn("memory-scan: %s done" % label, out, out)
            finds[label] = re.findall(r"memory-scan: %s found at .*" % label, out)
        ended = re.search(r"\[Inferior 1 \(process \d+\) exited (?:normally|with code (\d+))\]", out)
        code = int(ended.group(1) or "0", 8) if ended else None  # gdb shows the code in octal
        return code, finds, out

    def scan(self):
        return ["python gdb_report('%s', '%s')" % (label, needle.hex()) for label, needle in NEEDLES.items()]

    def test_search_sees_the_secrets_while_the_run_goes_on(self):
        # Stopped where the output is renamed into place: both are in use.
        _, finds, out = self.gdb(["d", "c", KEY, "back"], ["break rename", "run"] + self.scan() + ["kill"])
        self.assertTrue(finds["key"], out)
        self.assertTrue(finds["plaintext"], out)

    def test_secrets_are_gone_at_every_exit(self):
        self.assertEqual(self.zelno("sa", "plain", KEY, "plain.exe").returncode, 0)
        exits = [
            ("encrypted", ZELNO, ["ea", "plain", KEY, "out"], 0),
            ("encrypted with Twofish", ZELNO, ["s", "plain", KEY, "out"], 0),
            ("decrypted", ZELNO, ["d", "c", KEY, "back"], 0),
            ("restored under the stored name", ZELNO, ["d", "c", KEY], 0),
            ("self-decrypting executable", self.path("plain.exe"), [KEY, "back"], 0),
            ("usage", ZELNO, ["x", "plain", KEY], 1),
            ("system failure", ZELNO, ["ea", "missing", KEY, "out"], 2),
            ("header failure", ZELNO, ["d", "junk", KEY], 3),
            ("wrong key", ZELNO, ["d", "other", KEY, "back"], 3),
            ("digest mismatch", ZELNO, ["d", "damaged", KEY, "back"], 3),
        ]
        for what, program, args, expected in exits:
            with self.subTest(what):
                code, finds, out = self.gdb(args, ["catch syscall exit_group", "run"] + self.scan() + ["continue"],
                                            program=program)
                self.assertEqual(code, expected, out)
                self.assertEqual(finds, {"key": [], "plaintext": []}, out)

    def test_secrets_are_gone_when_a_signal_ends_the_run(self):
        code, finds, out = self.gdb(["d", "c", KEY, "back"],
                                    ["catch syscall exit_group", "break fsync", "run", "signal SIGTERM"]
                                    + self.scan() + ["continue"])
        self.assertEqual(code, 128 + 15, out)
        self.assertEqual(finds, {"key": [], "plaintext": []}, out)
        self.assertFalse(os.path.exists(self.path("back")))


class WhilePaused(SecretsWorkdir):
    """A failure with a console pauses before the process ends; its memory is
    read through /proc meanwhile."""

    def start(self, args):
        child = pexpect.spawn(ZELNO, list(args), cwd=self.dir, timeout=20, env=program_environment())
        self.addCleanup(child.close, force=True)
        return child

    def memory_finds(self, child):
        try:
            return {label: find_in_process(child.pid, needle) for label, needle in NEEDLES.items()}
        except PermissionError as e:
            self.skipTest("cannot read the memory of another process: %s" % e)

    def test_search_sees_a_typed_key(self):
        child = self.start(["ea", "plain"])
        child.expect_exact(b"enter key:")
        child.send(KEY.encode())  # 32 characters end the entry
        child.expect_exact(b"retype key:")
        self.assertTrue(self.memory_finds(child)["key"])

    def test_secrets_are_gone_before_the_pause(self):
        failures = [
            ("header failure", ["d", "junk", KEY], None),
            ("wrong key", ["d", "other", KEY, "back"], None),
            ("digest mismatch", ["d", "damaged", KEY, "back"], None),
            ("system failure", ["ea", "missing", KEY, "out"], None),
            ("typed key, header failure", ["d", "junk"], KEY.encode()),
        ]
        for what, args, typed in failures:
            with self.subTest(what):
                child = self.start(args)
                if typed is not None:
                    child.expect_exact(b"enter key:")
                    child.send(typed)
                child.expect_exact(PAUSE)
                self.assertEqual(self.memory_finds(child), {"key": [], "plaintext": []})
                child.send(b" ")
                child.expect(pexpect.EOF)


if __name__ == "__main__":
    unittest.main()
