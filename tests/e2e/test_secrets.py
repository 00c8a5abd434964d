"""Secrets in memory: however a run ends, the key and the plaintext are gone
from the process's writable memory by the final system call, and a failed
run waiting at "hit any key...." no longer holds them either. (That the key
argument leaves the process list is checked in test_console.)"""

import io
import os
import re
import resource
import signal
import subprocess
import unittest

import pexpect

from memory_scan import find_in_process
from support import (EMULATED, OTHER_USER, SANITIZE, ZELNO, WorkdirTest, elf_machine, have, reachable_copy, read,
                     write)

SCAN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "memory_scan.py")
KEY = "wipe-me-0123456789-ABCDEFGHIJKLM"  # 32 bytes: all of it is used
# The first 16 bytes: also what a round-key schedule starts with.
# An escape sequence that names no key: its bytes are queued as key codes.
SEQUENCE = b"[12;34;56X"
# "tail": the last 15 of 32 bytes of a container that says in clear it holds 17.
NEEDLES = {"key": KEY[:16].encode(), "plaintext": b"plaintext of the memory tests", "typed sequence": SEQUENCE,
           "tail": b"tail beyond 17!"}
NOTHING = {label: [] for label in NEEDLES}
PAUSE = b"hit any key...."
# A key typed at the prompts, shorter than 32 characters so that Enter ends
# it; it starts as KEY does, with the needle.
TYPED_KEY = KEY[:24].encode()


def gdb_signal_number(name):
    """gdb names the real-time signals SIG34 and so on."""
    return int(name[3:]) if name[3:].isdigit() else signal.Signals[name].value


def gdb_signal_name(signum):
    return "SIG%d" % signum if signal.SIGRTMIN <= signum <= signal.SIGRTMAX else signal.Signals(signum).name


def program_environment():
    # The shipped program is static. The sanitizer build loads shared
    # libraries (the C++ runtime, the sanitizer runtimes), which bind their
    # symbols lazily, and the binding trampoline saves the vector registers,
    # which may still hold key bytes, on the stack, out of the program's
    # reach; here they bind at start, so that the searches see what the
    # program itself leaves.
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
        write(self.path("keyfile"), KEY.encode() + b"\n")
        write(self.path("32"), b"the first 17 byte" + NEEDLES["tail"])
        self.assertEqual(self.zelno("ea", "32", KEY, "lowered").returncode, 0)
        lowered = bytearray(read(self.path("lowered")))
        lowered[4:8] = (17).to_bytes(4, "little")  # the clear size of the layout with one
        write(self.path("lowered"), bytes(lowered))


@unittest.skipUnless(have("gdb"), "gdb not installed")
@unittest.skipIf(EMULATED, "gdb would debug the emulator, not the program")
class AtExit(SecretsWorkdir):
    """The program runs under gdb, which stops it at the exit_group system
    call, the last thing every way out does, and searches its memory. The
    program is static and stripped: gdb stops it at system calls, which need
    no symbols."""

    def gdb(self, args, commands, program=ZELNO, typed=()):
        """`typed`: (prompt, text) pairs, each text typed once its prompt shows,
        through a pseudo-terminal that is the program's controlling terminal. Returns the exit code, or
        minus the number of the signal the program died of."""
        setup = ["set startup-with-shell off", "set disable-randomization off", "set pagination off",
                 "set confirm off", "set breakpoint pending on", "source " + SCAN]
        command_line = ["gdb", "-nx", "-batch"]
        for c in setup + commands:
            command_line += ["-ex", c]
        command_line += ["--args", program] + list(args)
        if typed:
            child = pexpect.spawn(command_line[0], command_line[1:], cwd=self.dir, env=program_environment(),
                                  timeout=300)
            child.logfile_read = io.BytesIO()
            for prompt, text in typed:
                child.expect_exact(prompt)
                child.send(text)
            child.expect(pexpect.EOF)
            child.close()
            out = child.logfile_read.getvalue().decode(errors="replace")
        else:
            result = subprocess.run(command_line, cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, env=program_environment(), timeout=300,
                                    start_new_session=True)
            out = result.stdout.decode(errors="replace")
        finds = {}
        for label in NEEDLES:
            self.assertIn("memory-scan: %s done" % label, out, out)
            finds[label] = re.findall(r"memory-scan: %s found at .*" % label, out)
        ended = re.search(r"\[Inferior 1 \(process \d+\) exited (?:normally|with code (\d+))\]", out)
        killed = re.search(r"Program terminated with signal (SIG\w+)", out)
        code = int(ended.group(1) or "0", 8) if ended else None  # gdb shows the code in octal
        if killed:
            code = -gdb_signal_number(killed.group(1))
        return code, finds, out

    def scan(self):
        return ["python gdb_report('%s', '%s')" % (label, needle.hex()) for label, needle in NEEDLES.items()]

    def test_search_sees_the_secrets_while_the_run_goes_on(self):
        # Stopped where the output is synced before it is published: both
        # are in use.
        _, finds, out = self.gdb(["d", "c", KEY, "back"], ["catch syscall fsync", "run"] + self.scan() + ["kill"])
        self.assertTrue(finds["key"], out)
        self.assertTrue(finds["plaintext"], out)

    def test_secrets_are_gone_at_every_exit(self):
        self.assertEqual(self.zelno("sa", "plain", KEY, "plain.exe").returncode, 0)
        exits = [
            ("encrypted", ZELNO, ["ea", "plain", KEY, "out"], 0),
            ("encrypted with Twofish", ZELNO, ["s", "plain", KEY, "out"], 0),
            ("decrypted", ZELNO, ["d", "c", KEY, "back"], 0),
            ("key from a file", ZELNO, ["--key-file", "keyfile", "d", "c", "back"], 0),
            ("restored under the stored name", ZELNO, ["d", "c", KEY], 0),
            ("typed key and its confirmation", ZELNO, ["ea", "plain"], 0),
            ("typed key, a wrong confirmation, then Ctrl-C", ZELNO, ["ea", "plain"], 3),
            ("self-decrypting executable", self.path("plain.exe"), [KEY, "back"], 0),
            ("usage", ZELNO, ["x", "plain", KEY], 1),
            ("system failure", ZELNO, ["ea", "missing", KEY, "out"], 2),
            ("header failure", ZELNO, ["d", "junk", KEY], 3),
            ("wrong key", ZELNO, ["d", "other", KEY, "back"], 3),
            ("digest mismatch", ZELNO, ["d", "damaged", KEY, "back"], 3),
        ]
        enter, retype = b"enter key:", b"retype key:"
        typed = {"typed key and its confirmation": [(enter, TYPED_KEY + b"\r"), (retype, TYPED_KEY + b"\r")],
                 # The confirmation stays as it was typed, and the codes of the
                 # sequence as they were queued: "aborted.", then the pause.
                 "typed key, a wrong confirmation, then Ctrl-C": [
                     (enter, KEY[:16].encode() + b"\x1b" + SEQUENCE + b"\r"), (retype, TYPED_KEY[:20] + b"\r"),
                     (enter, b"\x03"), (PAUSE, b" ")]}
        for what, program, args, expected in exits:
            with self.subTest(what):
                code, finds, out = self.gdb(args, ["catch syscall exit_group", "run"] + self.scan() + ["continue"],
                                            program=program, typed=typed.get(what, ()))
                self.assertEqual(code, expected, out)
                self.assertEqual(finds, NOTHING, out)

    def test_secrets_are_gone_when_a_signal_ends_the_run(self):
        # The memory is searched where the program raises the signal again
        # (tgkill), after its cleanup; with the default action restored, the
        # signal then ends it. Sent at a system call's stop, the signal comes
        # back to gdb once more on its way to the program.
        at_fsync = ["catch syscall exit_group tgkill", "catch syscall fsync", "run", "delete 2"]
        # The second thread, caught as it starts a read ahead (inputs of 4 MiB
        # and more), is stopped for good (rt_sigsuspend) before the wipe.
        reading = ["handle SIGURG nostop noprint pass", "catch syscall read", "condition 1 $_thread == 2", "run",
                   "delete", "catch syscall rt_sigsuspend", "thread 1", "signal SIGTERM", "delete",
                   "catch syscall tgkill", "continue"]
        write(self.path("big"), (NEEDLES["plaintext"] + b"\n") * (150000))
        rows = [(signum, ["d", "c", KEY, "back"], at_fsync + ["signal " + gdb_signal_name(signum)])
                for signum in (signal.SIGTERM, signal.SIGUSR1, signal.SIGPIPE, signal.SIGRTMIN)]
        rows.append((signal.SIGTERM, ["ea", "big", KEY, "back"], reading))
        # The registers that the signal's frame saved are cleared too (x86:
        # general ones, then where the interrupted code would go on, and the
        # vector ones).
        x86 = elf_machine(ZELNO) in (3, 62)
        if x86:
            # Where no file may lack a name (a kernel that takes O_TMPFILE
            # for O_DIRECTORY: EISDIR), the named working file's create holds
            # the signals: one at its return still removes the file.
            flags = "$rdx" if elf_machine(ZELNO) == 62 else "$edx"
            rows.append((signal.SIGTERM, ["ea", "plain", KEY, "back"], [
                "catch syscall openat", "condition 1 (%s & 0x400000) != 0" % flags, "run",
                "set var %s = %s & ~0x400000" % (flags, flags), "delete", "catch syscall openat",
                "condition 2 (%s & 0xc0) == 0xc0" % flags, "continue", "continue", "delete", "catch syscall tgkill",
                "signal SIGTERM"]))
        for signum, args, commands in rows:
            with self.subTest(signal=signum, args=args):
                code, finds, out = self.gdb(args, ["handle %s nostop noprint pass" % gdb_signal_name(signum)]
                                            + commands + self.scan()
                                            + ["python gdb_saved_registers()"] * x86 + ["delete", "continue"])
                self.assertEqual(code, -signum, out)
                if x86:
                    self.assertIn("saved-registers: pc 0x0, vector area zero", out)
                # Interrupted in the cipher, the sanitizer build's unoptimised
                # frame holds round keys on the stack, where no handler reaches.
                self.assertEqual(finds, dict(NOTHING, key=finds["key"]) if SANITIZE and commands is reading else NOTHING,
                                 out)
                self.assertEqual([f for f in os.listdir(self.dir) if "back" in f or f.startswith(".zelno-")], [])


@unittest.skipIf(EMULATED, "the emulator's memory holds more than the program's")
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
            # Its buffers are wiped in whole blocks, not to the size it gave.
            ("clear size lowered", ["d", "lowered", KEY, "back"], None),
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
                self.assertEqual(self.memory_finds(child), NOTHING)
                child.send(b" ")
                child.expect(pexpect.EOF)

    @unittest.skipUnless(os.geteuid() == 0 and have("setpriv"), "needs root, to start the program as another user")
    def test_secrets_stay_out_of_swap_and_core_files(self):
        # As another user, for whom /proc shows what root's process would
        # hide: a process that may not be dumped has its files there owned
        # by root. The secrets are locked in memory as far as the limit
        # allows, and a limit that refuses changes nothing else.
        allowed = resource.getrlimit(resource.RLIMIT_MEMLOCK)[1]
        for limit in (allowed, 0):
            with self.subTest(locked_memory_limit=limit):
                if limit != resource.RLIM_INFINITY and 0 < limit < 5 << 20:
                    self.skipTest("the locked memory limit here is too small for the secrets: %d bytes" % limit)
                child = pexpect.spawn("setpriv", ["--reuid=%d" % OTHER_USER, "--regid=%d" % OTHER_USER, "--clear-groups",
                                                  reachable_copy(ZELNO), "d", "/dev/null", KEY],
                                      timeout=20, env=program_environment(),
                                      preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_MEMLOCK, (limit, limit)))
                self.addCleanup(child.close, force=True)
                child.expect_exact(b"infile header error.")
                child.expect_exact(PAUSE)
                self.assertEqual(os.stat("/proc/%d/fd" % child.pid).st_uid, 0)
                status = read("/proc/%d/status" % child.pid)
                locked = int(re.search(rb"VmLck:\s+(\d+) kB", status).group(1))
                # (The sanitizers turn mlock into a call that does nothing.) Locked
                # as the pages are first used: this small run stays near 1 MiB.
                if not SANITIZE:
                    self.assertGreaterEqual(locked, 4096) if limit else self.assertEqual(locked, 0)
                    self.assertLess(int(re.search(rb"VmHWM:\s+(\d+) kB", status).group(1)), 2048)
                # Left out of core files: the mappings marked so (the kernel's
                # own [vvar] is one) hold the data buffers, 4 MiB, too.
                marked = 0
                for mapping in re.split(rb"\n(?=[0-9a-f]+-[0-9a-f]+ )", read("/proc/%d/smaps" % child.pid)):
                    if re.search(rb"VmFlags:.* dd", mapping):
                        marked += int(re.search(rb"\nSize: +(\d+) kB", mapping).group(1))
                self.assertGreaterEqual(marked, 4096)
                child.send(b" ")
                child.expect(pexpect.EOF)


if __name__ == "__main__":
    unittest.main()
