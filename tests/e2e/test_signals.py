"""Interrupting a run: the unfinished output disappears, the terminal is put
back, and the exit code is 128 + the signal number; signals ignored at start
stay ignored, and one that comes after the output is published changes
nothing."""

import os
import shlex
import signal
import subprocess
import time
import unittest

import pexpect

from support import WINDOWS, ZELNO, WorkdirTest, command, have, read, write

# Under wine SIGINT reaches the Windows program as the console event of
# Ctrl-C, and SIGKILL ends it as a kill does; the others end wine itself.
WINE_CANNOT_SHOW = {
    signal.SIGTERM: "SIGTERM ends wine itself",
    signal.SIGHUP: "SIGHUP ends wine itself",
    signal.SIGQUIT: "wine takes SIGQUIT for its own use",
}

BIG = 256 * 1024 * 1024


class Interrupted(WorkdirTest):
    def writing(self, pid):
        """Whether the process holds its working file open: one without a
        name, or one named like a temporary file, in the directory."""
        here = os.path.realpath(self.dir)
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if os.path.dirname(target) == here and (target.endswith(" (deleted)") or "/.zelno-" in target):
                return True
        return False

    def files_once_closed(self):
        """The files of the directory once the ended run's files are closed:
        wine's server closes those of an ended Windows program a moment after
        its end, and a file that goes away when closed goes then."""
        deadline = time.time() + (5 if WINDOWS else 0)
        while True:
            files = sorted(os.listdir(self.dir))
            if not any(f.startswith(".zelno-") for f in files) or time.time() > deadline:
                return files
            time.sleep(0.05)

    def start_and_interrupt(self, args, signum, ignored=()):
        """Sends the signal once the output is being written; `ignored`:
        signals the program inherits as ignored. Returns the exit code."""
        def ignore():
            for s in ignored:
                signal.signal(s, signal.SIG_IGN)

        process = subprocess.Popen(command(ZELNO) + args, cwd=self.dir, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=ignore,
                                   start_new_session=True)
        deadline = time.time() + 30
        while not self.writing(process.pid):
            self.assertIsNone(process.poll(), "the run ended before it could be interrupted")
            self.assertLess(time.time(), deadline)
            time.sleep(0.002)
        # No core file could ever hold the key.
        if not WINDOWS:
            self.assertRegex(read("/proc/%d/limits" % process.pid), rb"Max core file size +0 +0 ")
        process.send_signal(signum)
        process.communicate(timeout=60)
        return process.returncode

    def test_signals_during_encryption_and_decryption(self):
        with open(self.path("big"), "wb") as f:
            f.truncate(BIG)
        subprocess.run(command(ZELNO) + ["e", "big", "k", "big.znx"], cwd=self.dir, check=True,
                       stdout=subprocess.DEVNULL, start_new_session=True)
        # SIGKILL leaves nothing where the working file has no name.
        try:
            os.close(os.open(self.dir, os.O_TMPFILE | os.O_WRONLY))
            unnamed = True
        except OSError:
            unnamed = False
        for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGKILL):
            for args in (["e", "big", "k", "out"], ["d", "big.znx", "k", "out"], ["d", "big.znx", "k"]):
                with self.subTest(signal=signum, args=args):
                    if WINDOWS and signum in WINE_CANNOT_SHOW:
                        self.skipTest(WINE_CANNOT_SHOW[signum])
                    if signum == signal.SIGKILL and not unnamed and not WINDOWS:
                        self.skipTest("the filesystem has no files without a name (O_TMPFILE)")
                    code = self.start_and_interrupt(args, signum)
                    self.assertEqual(code, -signum if signum == signal.SIGKILL else 128 + signum)
                    self.assertEqual(self.files_once_closed(), ["big", "big.znx"])

    def test_signals_ignored_at_start_stay_ignored(self):
        # As under nohup, or in a background job.
        with open(self.path("big"), "wb") as f:
            f.truncate(BIG)
        for signum in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT):
            with self.subTest(signal=signum):
                if WINDOWS:
                    self.skipTest(WINE_CANNOT_SHOW.get(signum, "wine does not hand an ignored SIGINT on as an "
                                                       "ignored Ctrl-C"))
                code = self.start_and_interrupt(["e", "big", "k", "out"], signum, ignored=[signum])
                self.assertEqual(code, 0)
                self.assertEqual(sorted(os.listdir(self.dir)), ["big", "out"])
                os.remove(self.path("out"))

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine makes system calls of its own that strace would delay")
    def test_signal_after_the_rename_leaves_a_success(self):
        # The second fsync, of the directory after the rename, takes two
        # seconds; the signal arrives meanwhile.
        write(self.path("plain"), b"published")
        process = subprocess.Popen(["strace", "-o", "/dev/null", "-e", "trace=fsync",
                                    "-e", "inject=fsync:delay_enter=2000000:when=2", *command(ZELNO), "ea", "plain", "k", "out"],
                                   cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, start_new_session=True,
                                   env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))  # not under ptrace
        deadline = time.time() + 30
        while not os.path.exists(self.path("out")):
            self.assertIsNone(process.poll(), "the run ended before it could be interrupted")
            self.assertLess(time.time(), deadline)
            time.sleep(0.002)
        program = int(read("/proc/%d/task/%d/children" % (process.pid, process.pid)).split()[0])
        os.kill(program, signal.SIGTERM)
        stdout, stderr = process.communicate(timeout=30)
        self.assertEqual((process.returncode, stdout), (0, b"encrypted.\n"), stderr)
        self.assertEqual(sorted(os.listdir(self.dir)), ["out", "plain"])

    @unittest.skipIf(WINDOWS, WINE_CANNOT_SHOW[signal.SIGTERM])
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
