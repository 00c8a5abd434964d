"""Interrupting a run: the unfinished output disappears, the terminal is put
back, and the exit code is 128 + the signal number."""

import os
import shlex
import signal
import subprocess
import time
import unittest

import pexpect

from support import ZELNO, WorkdirTest, command, read, write

BIG = 256 * 1024 * 1024


class Interrupted(WorkdirTest):
    def start_and_interrupt(self, args, signum):
        process = subprocess.Popen(command(ZELNO) + args, cwd=self.dir, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
        deadline = time.time() + 30
        while not any(n.startswith(".zelno-") for n in os.listdir(self.dir)):
            self.assertIsNone(process.poll(), "the run ended before it could be interrupted")
            self.assertLess(time.time(), deadline)
            time.sleep(0.002)
        process.send_signal(signum)
        process.communicate(timeout=30)
        return process.returncode

    def test_signals_during_encryption_and_decryption(self):
        with open(self.path("big"), "wb") as f:
            f.truncate(BIG)
        subprocess.run(command(ZELNO) + ["e", "big", "k", "big.znx"], cwd=self.dir, check=True,
                       stdout=subprocess.DEVNULL, start_new_session=True)
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            for args in (["e", "big", "k", "out"], ["d", "big.znx", "k", "out"], ["d", "big.znx", "k"]):
                with self.subTest(signal=signum, args=args):
                    code = self.start_and_interrupt(args, signum)
                    self.assertEqual(code, 128 + signum)
                    self.assertEqual(sorted(os.listdir(self.dir)), ["big", "big.znx"])

    def test_terminal_is_restored_when_killed_during_key_entry(self):
        write(self.path("plain"), b"abc")
        script = 'stty -g > stty-before; {0} ea plain; echo "[exit $?]"; stty -g > stty-after'.format(
            " ".join(map(shlex.quote, command(ZELNO))))
        child = pexpect.spawn("bash", ["--noprofile", "--norc", "-c", script], cwd=self.dir, timeout=20)
        child.expect_exact(b"enter key:")
        pid = int(subprocess.run(["pgrep", "-n", "-f", ZELNO + " ea plain"], capture_output=True,
                                 check=True).stdout)
        os.kill(pid, signal.SIGTERM)
        child.expect(rb"\[exit (\d+)\]")
        self.assertEqual(int(child.match.group(1)), 128 + signal.SIGTERM)
        child.expect(pexpect.EOF)
        self.assertEqual(read(self.path("stty-before")), read(self.path("stty-after")))
        self.assertEqual(sorted(os.listdir(self.dir)), ["plain", "stty-after", "stty-before"])


if __name__ == "__main__":
    unittest.main()
