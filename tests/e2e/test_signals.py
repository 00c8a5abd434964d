"""Interrupting a run: the unfinished output disappears, the terminal is put
back, and the process dies of the signal itself, as its caller expects (under
wine, where a Windows program cannot, the exit code is 128 + the number of
the signal); signals ignored at start stay ignored, and one that comes after
the output is published changes nothing."""

import os
import re
import shlex
import signal
import subprocess
import time
import unittest

import pexpect

from support import EMULATED, SANITIZE, WINDOWS, ZELNO, WorkdirTest, command, have, read, traced, write

# Under wine SIGINT reaches the Windows program as the console event of
# Ctrl-C, and SIGKILL ends it as a kill does; the others end wine itself.
WINE_CANNOT_SHOW = {
    signal.SIGTERM: "SIGTERM ends wine itself",
    signal.SIGHUP: "SIGHUP ends wine itself",
    signal.SIGQUIT: "wine takes SIGQUIT for its own use",
}

BIG = 256 * 1024 * 1024
# The program may not be dumped: /proc shows its descriptors to root alone.
HIDDEN = "the program's descriptors are hidden from users other than root"

# Every signal whose default action ends the process, besides the faults.
ENDING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2,
          signal.SIGALRM, signal.SIGPIPE, signal.SIGVTALRM, signal.SIGPROF, signal.SIGXCPU, signal.SIGIO,
          signal.SIGPWR, signal.SIGSTKFLT, signal.SIGRTMIN, signal.SIGRTMIN + 5, signal.SIGRTMAX)


def death_by(signum):
    """What a run ended by the signal returns: under wine, where only SIGINT
    (as Ctrl-C) and SIGKILL reach the Windows program, Ctrl-C gives 130."""
    return 128 + signum if WINDOWS and signum != signal.SIGKILL else -signum


def program_of(pid):
    """The child of a process (the program that a shell or strace runs), once
    it has started; strace's own short-lived probes come before it."""
    deadline = time.time() + 30
    while True:
        children = read("/proc/%d/task/%d/children" % (pid, pid)).split()
        if children:
            return int(children[0])
        if time.time() > deadline:
            raise AssertionError("process %d started no program" % pid)
        time.sleep(0.002)


def signal_set(pid, field, task=None):
    """A set of signals from /proc/PID/status (or one thread's) as a number,
    bit s - 1 for signal s."""
    status = read("/proc/%d/task/%s/status" % (pid, task) if task else "/proc/%d/status" % pid)
    return int(re.search(rb"\n%s:\s*([0-9a-f]+)" % field, status).group(1), 16)


class Interrupted(WorkdirTest):
    def writing(self, pid):
        """Whether the process holds its working file open: one without a
        name, or one named like a temporary file, in the directory."""
        here = os.path.realpath(self.dir)
        try:
            fds = os.listdir("/proc/%d/fd" % pid)
        except PermissionError:
            self.skipTest(HIDDEN)
        except FileNotFoundError:  # ended meanwhile
            return False
        for fd in fds:
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
        """Sends the signal (or each of a tuple of them) once the output is
        being written; `ignored`: signals the program inherits as ignored.
        Returns the exit code."""
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
        # Every ending signal is caught, besides those ignored at start, and
        # the second thread (files of 4 MiB and more) takes none of them. The
        # emulator keeps the program's signal handling to itself.
        if not WINDOWS and not EMULATED:
            kept = {s for s in ENDING if s not in ignored}
            self.assertEqual({s for s in kept if not signal_set(process.pid, b"SigCgt") >> (s - 1) & 1}, set())
            while len(tasks := os.listdir("/proc/%d/task" % process.pid)) < 2:
                self.assertIsNone(process.poll(), "the run ended before its second thread started")
                self.assertLess(time.time(), deadline)
                time.sleep(0.002)
            for task in (t for t in tasks if int(t) != process.pid):
                blocked = signal_set(process.pid, b"SigBlk", task)
                self.assertEqual({s for s in ENDING if not blocked >> (s - 1) & 1}, set())
        for s in signum if isinstance(signum, tuple) else (signum,):
            process.send_signal(s)
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
        for signum in ENDING + (signal.SIGKILL,):
            # Every path for the signals of a terminal and SIGKILL, one for the others.
            every_path = signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT, signal.SIGKILL)
            for args in (["e", "big", "k", "out"], ["d", "big.znx", "k", "out"], ["d", "big.znx", "k"])[
                    :3 if every_path else 1]:
                with self.subTest(signal=signum, args=args):
                    if WINDOWS and signum not in (signal.SIGINT, signal.SIGKILL):
                        self.skipTest(WINE_CANNOT_SHOW.get(signum, "signal %d ends wine itself" % signum))
                    if signum == signal.SIGKILL and not unnamed and not WINDOWS:
                        self.skipTest("the filesystem has no files without a name (O_TMPFILE)")
                    code = self.start_and_interrupt(args, signum)
                    self.assertEqual(code, death_by(signum))
                    self.assertEqual(self.files_once_closed(), ["big", "big.znx"])

    @unittest.skipIf(WINDOWS, "faults end wine itself")
    def test_faults_end_the_run_the_same_way(self):
        # Sent from outside, as a fault of the program's own would come.
        with open(self.path("big"), "wb") as f:
            f.truncate(BIG)
        for signum in (signal.SIGABRT, signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL, signal.SIGTRAP,
                       signal.SIGSYS):
            with self.subTest(signal=signum):
                if SANITIZE and signum in (signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE):
                    self.skipTest("the sanitizer's own handler reports faults")
                if EMULATED and signum in (signal.SIGSEGV, signal.SIGBUS, signal.SIGFPE, signal.SIGILL):
                    self.skipTest("the emulator catches fault signals for its own use and dies of another")
                self.assertEqual(self.start_and_interrupt(["e", "big", "k", "out"], signum), -signum)
                self.assertEqual(self.files_once_closed(), ["big"])

    def test_signals_ignored_at_start_stay_ignored(self):
        # As under nohup, or in a background job.
        with open(self.path("big"), "wb") as f:
            f.truncate(BIG)
        # The rest of them in one run: each would end it.
        others = tuple(s for s in ENDING if s not in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT))
        for signum in (signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, others):
            with self.subTest(signal=signum):
                if WINDOWS:
                    self.skipTest(WINE_CANNOT_SHOW.get(signum, "wine does not hand an ignored SIGINT on as an "
                                                       "ignored Ctrl-C" if signum == signal.SIGINT else
                                                       "these signals end wine itself"))
                code = self.start_and_interrupt(["e", "big", "k", "out"], signum,
                                                ignored=signum if isinstance(signum, tuple) else [signum])
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
        os.kill(program_of(process.pid), signal.SIGTERM)
        stdout, stderr = process.communicate(timeout=30)
        self.assertEqual((process.returncode, stdout), (0, b"encrypted.\n"), stderr)
        self.assertEqual(sorted(os.listdir(self.dir)), ["out", "plain"])

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine makes system calls of its own that strace would delay")
    def test_killed_at_the_rename_leaves_a_working_file_only_where_a_file_is_replaced(self):
        # SIGKILL (as a power cut) where the working file would be renamed: a
        # new output takes its name at once and has no rename; one that
        # replaces a file leaves its complete ".zelno-XXXXXX" beside the old.
        # A file that came at a new output's name meanwhile is not replaced.
        write(self.path("plain"), b"complete")
        renames = "rename,renameat,renameat2"
        kill = ["-e", "trace=" + renames, "-e", "inject=%s:error=EIO:signal=SIGKILL" % renames]
        late = ["-e", "trace=fsync", "-e", "inject=fsync:delay_enter=2000000:when=1"]
        # The old file or what comes meanwhile; strace's options; exit code; what "out" then holds.
        for old, options, code, out in ((None, kill, 0, None), (b"old", kill, -signal.SIGKILL, b"old"),
                                        (None, late, 2, b"came meanwhile")):
            with self.subTest(old=old, options=options):
                for f in set(os.listdir(self.dir)) - {"plain"}:
                    os.remove(self.path(f))
                if old:
                    write(self.path("out"), old)
                process = traced(options, ["ea", "plain", "k", "out"], self.dir)
                while options is late and not self.writing(program_of(process.pid)):  # strace's probes first
                    self.assertIsNone(process.poll(), "the run ended before its working file was made")
                    time.sleep(0.002)
                if options is late:
                    write(self.path("out"), out)
                stdout, stderr = process.communicate(timeout=30)
                self.assertEqual(process.returncode, code, stderr)
                if code == 2:
                    self.assertIn(b"outfile name error: File exists\n", stderr)
                files = sorted(os.listdir(self.dir))
                self.assertEqual((files[-2:], [f[:7] for f in files[:-2]]), (["out", "plain"], [".zelno-"] * bool(old)))
                if out:
                    self.assertEqual(read(self.path("out")), out)

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine makes system calls of its own that strace would delay")
    def test_signals_held_at_a_failed_rename_end_the_run_by_the_first(self):
        # The rename waits two seconds, then fails. SIGTERM, then SIGHUP,
        # come while the signals are held; the failure lets both through at
        # once, and the first delivered (the lower number) ends the run alone.
        # One that the caller blocked stays blocked: the failure lets through
        # only what the hold blocked.
        write(self.path("plain"), b"never published")
        write(self.path("out"), b"old")  # a new output has no rename
        renames = "rename,renameat,renameat2"
        for blocked, sent, code in (((), (signal.SIGTERM, signal.SIGHUP), -signal.SIGHUP),
                                    ((signal.SIGUSR1,), (signal.SIGUSR1,), 2)):
            with self.subTest(blocked=blocked, sent=sent):
                process = subprocess.Popen(["strace", "-o", "/dev/null", "-e", "trace=" + renames,
                                            "-e", "inject=%s:error=EACCES:delay_enter=2000000" % renames,
                                            *command(ZELNO), "ea", "plain", "k", "out"],
                                           cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, start_new_session=True,
                                           preexec_fn=lambda: signal.pthread_sigmask(signal.SIG_BLOCK, blocked),
                                           env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))  # not under ptrace
                # Named just before the rename, once the signals are held.
                deadline = time.time() + 30
                while not any(f.startswith(".zelno-") for f in os.listdir(self.dir)):
                    self.assertIsNone(process.poll(), "the run ended before it could be interrupted")
                    self.assertLess(time.time(), deadline)
                    time.sleep(0.002)
                program = program_of(process.pid)
                for signum in sent:
                    os.kill(program, signum)
                stdout, stderr = process.communicate(timeout=30)
                self.assertEqual((process.returncode, stdout), (code, b""), stderr)
                self.assertIn(b"outfile name error: Permission denied\n", stderr)
                self.assertEqual(sorted(os.listdir(self.dir)), ["out", "plain"])

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine makes system calls of its own that strace would delay")
    def test_signal_at_the_pause_after_a_failed_rename_ends_the_run(self):
        write(self.path("plain"), b"never published")
        write(self.path("out"), b"old")
        renames = "rename,renameat,renameat2"
        child = pexpect.spawn("strace", ["-o", "/dev/null", "-e", "trace=" + renames,
                                         "-e", "inject=%s:error=EACCES" % renames, *command(ZELNO), "ea", "plain",
                                         "k", "out"],
                              cwd=self.dir, timeout=20, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        child.expect_exact(b"outfile name error: Permission denied")
        child.expect_exact(b"hit any key....")
        # The hold at the rename is over for every signal, not for one.
        self.assertEqual(signal_set(program_of(child.pid), b"SigBlk"), 0)
        os.kill(program_of(child.pid), signal.SIGTERM)
        child.expect(pexpect.EOF)
        child.close()
        # strace dies of the signal that ended the program.
        self.assertEqual((child.exitstatus, child.signalstatus), (None, signal.SIGTERM))
        self.assertEqual(sorted(os.listdir(self.dir)), ["out", "plain"])

    @unittest.skipIf(WINDOWS, "a Windows program cannot die of a signal: Ctrl-C ends it with 130")
    def test_ctrl_c_stops_a_shell_loop(self):
        # Ctrl-C on the terminal signals the whole foreground job, the shell
        # too; a shell stops its script only where the program died of it.
        with open(self.path("big"), "wb") as f:
            f.truncate(BIG)
        script = 'for f in big big; do {0} e "$f" k out; echo "[next after $?]"; done; echo "[loop done]"'.format(
            " ".join(map(shlex.quote, command(ZELNO))))
        child = pexpect.spawn("bash", ["--noprofile", "--norc", "-c", script], cwd=self.dir, timeout=30)
        program = program_of(child.pid)
        deadline = time.time() + 30
        while not self.writing(program):
            self.assertLess(time.time(), deadline)
            time.sleep(0.002)
        child.sendintr()
        child.expect(pexpect.EOF)
        child.close()
        self.assertNotIn(b"[next", child.before)
        self.assertEqual(child.signalstatus, signal.SIGINT)
        self.assertEqual(self.files_once_closed(), ["big"])

    @unittest.skipIf(WINDOWS, WINE_CANNOT_SHOW[signal.SIGTERM])
    def test_terminal_is_restored_when_killed_during_key_entry(self):
        write(self.path("plain"), b"abc")
        script = 'stty -g > stty-before; {0} ea plain; echo "[exit $?]"; stty -g > stty-after'.format(
            " ".join(map(shlex.quote, command(ZELNO))))
        for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGUSR1, signal.SIGALRM, signal.SIGPIPE, signal.SIGXCPU,
                       signal.SIGRTMIN, signal.SIGRTMAX):
            with self.subTest(signal=signum):
                if EMULATED and signum == signal.SIGRTMIN:
                    self.skipTest("the emulator dies of the first real-time signal instead of handing it on")
                # Python ignores SIGPIPE, and what it starts inherits that.
                child = pexpect.spawn("bash", ["--noprofile", "--norc", "-c", script], cwd=self.dir, timeout=20,
                                      preexec_fn=lambda: signal.signal(signal.SIGPIPE, signal.SIG_DFL))
                child.expect_exact(b"enter key:")
                os.kill(program_of(child.pid), signum)
                child.expect(rb"\[exit (\d+)\]")
                self.assertEqual(int(child.match.group(1)), 128 + signum)
                child.expect(pexpect.EOF)
                self.assertEqual(read(self.path("stty-before")), read(self.path("stty-after")))
                self.assertEqual(sorted(os.listdir(self.dir)), ["plain", "stty-after", "stty-before"])
                os.remove(self.path("stty-before"))
                os.remove(self.path("stty-after"))


if __name__ == "__main__":
    unittest.main()
