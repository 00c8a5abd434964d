"""Key entry and the pause, through a pseudo-terminal that is the program's
controlling terminal."""

import fcntl
import io
import os
import shlex
import signal
import struct
import termios
import time
import unittest

import pexpect

from support import (EMULATED, MAGIC, WINDOWS, ZELNO, WorkdirTest, command, drawn_text, have, on_console,
                     openssl_aes_container, read, reported_mode, snapshot, write)

ENTER_BLANK = b"\r" + b" " * 10 + b"\r"
RETYPE_BLANK = b"\r" + b" " * 11 + b"\r"
PAUSE = b"hit any key...."
PAUSE_BLANK = b"\r" + b" " * 15 + b"\r"
KEY32 = b"0123456789abcdefghijklmnopqrstuv"
KEY40 = KEY32 + b"WXYZ!@#$"
# How long the console stays quiet before a full entry ends without Enter.
TAIL_QUIET = 2.0
# Seconds between typed characters: a paste, an ordinary pace (20 a second),
# a slow typist.
PASTE, TYPING, SLOW = 0, 0.05, 0.5
# Run after the program on its terminal: what is left there for the shell,
# also a line without its end.
SHELL_READS = 'read -t 0.5 -n 1000 rest; echo "[rest:$rest]"; '


class ConsoleTest(WorkdirTest):
    """Runs command lines in a terminal session and checks that the terminal
    settings are the same before and after."""

    def setUp(self):
        super().setUp()
        self.work = self.path("work")
        os.mkdir(self.work)
        write(os.path.join(self.work, "plain"), b"typed-key plaintext\n")

    def start(self, args, redirect="", then=""):
        """`then`: shell commands run after the program, on the same terminal."""
        line = " ".join(shlex.quote(a) for a in command(ZELNO) + list(args)) + redirect
        # wine's console host puts the terminal's settings back a moment
        # after the program has ended: a reader that saves and restores them
        # meanwhile would leave them raw.
        settled = ('for i in $(seq 100); do [ "$(stty -g)" = "$(cat ../stty-before)" ] && break; sleep 0.1; done; '
                   if WINDOWS else '')
        script = ('stty -g > ../stty-before; {0}; echo "[exit $?]"; {1}{2}stty -g > ../stty-after'
                  .format(line, settled, then))
        child = pexpect.spawn("bash", ["--noprofile", "--norc", "-c", script], cwd=self.work, timeout=20)
        child.logfile_read = io.BytesIO()
        return child

    def finish(self, child):
        """Waits for the end; returns the exit code and the whole transcript
        (as text, without wine's drawing)."""
        child.expect(rb"\[exit (\d+)\]")
        code = int(child.match.group(1))
        child.expect(pexpect.EOF)
        self.assertEqual(read(self.path("stty-before")), read(self.path("stty-after")))
        return code, drawn_text(child.logfile_read.getvalue())

    def stopped(self, child):
        """Stops the program that the shell of `child` runs; returns its pid."""
        program = int(read("/proc/%d/task/%d/children" % (child.pid, child.pid)).split()[0])
        os.kill(program, signal.SIGSTOP)
        while read("/proc/%d/stat" % program).rsplit(b")", 1)[1].split()[0] != b"T":
            time.sleep(0.01)
        return program

    def work_files(self):
        return sorted(os.listdir(self.work))

    def type(self, child, text, pace):
        """Sends text a character every `pace` seconds, or all at once. Only
        the gaps from the 30th character on matter, so those before go at
        typing pace."""
        if pace == PASTE:
            child.send(text)
            return
        child.delaybeforesend = None  # pexpect's own pause would slow the pace
        for i, byte in enumerate(text):
            child.send(bytes([byte]))
            time.sleep(pace if i >= 29 else min(pace, TYPING))

    def decrypts(self, container, key):
        result = self.zelno("d", container, key, "check", cwd=self.work)
        if result.returncode != 0:
            return False
        ok = read(os.path.join(self.work, "check")) == b"typed-key plaintext\n"
        os.remove(os.path.join(self.work, "check"))
        return ok


class TypedKeys(ConsoleTest):
    def test_key_typed_twice_is_never_shown(self):
        child = self.start(["ea", "plain"])
        child.expect(on_console(b"enter key:"))
        child.send(b"sesame-secret\r")
        child.expect(on_console(ENTER_BLANK + b"retype key:"))
        child.send(b"sesame-secret\r")
        child.expect(on_console(RETYPE_BLANK))
        code, transcript = self.finish(child)
        self.assertEqual(code, 0)
        self.assertIn(b"encrypted.\r\n", transcript)
        self.assertNotIn(b"sesame", transcript)
        self.assertNotIn(b"*", transcript)
        self.assertTrue(self.decrypts("plain.znx", "sesame-secret"))

    @unittest.skipIf(WINDOWS, "no job control under wine")
    def test_stopped_entry_goes_on_without_echo(self):
        # The shell puts back its own settings while the run is stopped.
        child = self.start(["ea", "plain"])
        child.expect(on_console(b"enter key:"))
        child.send(b"first-")
        time.sleep(0.2)
        program = self.stopped(child)
        cooked = termios.tcgetattr(child.child_fd)
        cooked[3] |= termios.ECHO | termios.ICANON
        termios.tcsetattr(child.child_fd, termios.TCSANOW, cooked)
        os.kill(program, signal.SIGCONT)
        child.expect(on_console(b"\renter key:"))
        child.send(b"second\r")
        child.expect(on_console(b"retype key:"))
        child.send(b"first-second\r")
        code, transcript = self.finish(child)
        self.assertEqual((code, b"second" in transcript), (0, False))
        self.assertTrue(self.decrypts("plain.znx", "first-second"))

    def test_mismatch_asks_again(self):
        child = self.start(["e", "plain"])
        child.expect(on_console(b"enter key:"))
        child.send(b"one\r")
        child.expect(on_console(b"retype key:"))
        child.send(b"two\r")
        child.expect(on_console(RETYPE_BLANK + b"keys mismatch.\r\n" + b"enter key:"))
        child.send(b"three\r")
        child.expect(on_console(b"retype key:"))
        child.send(b"three\r")
        code, transcript = self.finish(child)
        self.assertEqual(code, 0)
        self.assertEqual(transcript.count(b"keys mismatch."), 1)
        self.assertTrue(self.decrypts("plain.znx", "three"))

    def test_ctrl_c_aborts_at_either_prompt(self):
        # Also among the characters dropped beyond the 32nd. What follows it
        # in the same paste is dropped too: the pause waits for a key of its own.
        for mode, answers in (("e", [b"\x03"]), ("e", [b"k\r", b"\x03"]), ("d", [KEY40 + b"\x03"]),
                              ("d", [b"k\x03pasted on"])):
            with self.subTest(mode=mode, answers=answers):
                if WINDOWS and answers[-1].endswith(b"pasted on"):
                    self.skipTest("wine's console hands Ctrl-C on as an event, ahead of the keys around it, so the "
                                  "rest of the paste may come after the pause has discarded what was typed")
                child = self.start([mode, "plain"])
                for prompt, answer in zip([b"enter key:", b"retype key:"], answers):
                    child.expect(on_console(prompt))
                    child.send(answer)
                child.expect(on_console(b"aborted.\r\n"))
                child.expect(on_console(PAUSE))
                self.assertEqual(child.expect([on_console(PAUSE_BLANK), pexpect.TIMEOUT], timeout=0.5), 1)
                child.send(b"x")
                child.expect(on_console(PAUSE_BLANK))
                code, _ = self.finish(child)
                self.assertEqual(code, 3)
                self.assertEqual(self.work_files(), ["plain"])

    def test_32_characters_end_the_entry_without_enter(self):
        child = self.start(["ea", "plain", "-nc"])
        child.expect(on_console(b"enter key:"))
        sent = time.monotonic()
        child.send(KEY32)
        # After the console has been quiet for a moment: not before (a slow
        # typist's next key), nor long after.
        child.expect(on_console(ENTER_BLANK + b"retype key:"))
        self.assertGreaterEqual(time.monotonic() - sent, TAIL_QUIET - 0.05)
        self.assertLess(time.monotonic() - sent, TAIL_QUIET + 4)
        child.send(KEY32)
        code, transcript = self.finish(child)
        self.assertEqual(code, 0)
        self.assertNotIn(b"mismatch", transcript)
        self.assertTrue(self.decrypts("plain.znx", KEY32.decode()))

    def test_typed_key_counts_its_first_32_characters_and_the_rest_never_reaches_the_shell(self):
        # Beyond the 32nd character keys are read and dropped until Enter or
        # a quiet moment: the key is the same as its first 32 bytes on the
        # command line, and nothing of it is left for the next entry or the
        # shell.
        self.assertEqual(self.zelno("e", "plain", KEY32, "c", cwd=self.work).returncode, 0)
        rows = [
            # mode, typed at each prompt, pace
            ("d", [KEY40 + b"\r"], PASTE),
            ("d", [KEY40 + b"\r"], TYPING),
            ("d", [KEY32 + b"WXY\r"], SLOW),
            ("d", [KEY40], TYPING),  # no Enter: the quiet ends it
            ("e", [KEY40 + b"\r"] * 2, PASTE),
            ("e", [KEY40 + b"\r"] * 2, TYPING),
            ("e", [KEY32 + b"WXY\r"] * 2, SLOW),
            ("ea", [KEY40, KEY40 + b"\r"], TYPING),
            # Enter after exactly 32 characters ends that entry.
            ("e", [KEY32 + b"\r"] * 2, PASTE),
            # What is typed after the confirmed key is dropped.
            ("e", [b"k\r", b"k\rafter the key\r"], PASTE),
            ("s", [b"k\r", b"k\rafter the key\r"], PASTE),
        ]
        for mode, entries, pace in rows:
            with self.subTest(mode=mode, entries=entries, pace=pace):
                key = entries[0].split(b"\r")[0][:32].decode()
                if mode == "d":
                    os.remove(os.path.join(self.work, "plain"))  # the run restores it
                child = self.start([mode, "c" if mode == "d" else "plain"], then=SHELL_READS)
                for prompt, typed in zip([b"enter key:", b"retype key:"], entries):
                    child.expect(on_console(prompt))
                    self.type(child, typed, pace)
                code, transcript = self.finish(child)
                self.assertEqual(code, 0)
                self.assertIn(b"[rest:]", transcript)
                self.assertNotIn(b"mismatch", transcript)
                if mode == "d":
                    self.assertEqual(read(os.path.join(self.work, "plain")), b"typed-key plaintext\n")
                    continue
                output = "plain.exe" if mode == "s" else "plain.znx"
                self.assertTrue(self.decrypts(output, key))
                os.remove(os.path.join(self.work, output))

    def test_special_keys_become_key_bytes(self):
        cases = [
            # Backspace (DEL) is 8; Up is 224 72; Ctrl-J ends the entry.
            (b"a\x7fb\x1b[Ac\n", b"a\x08b\xe0Hc"),
            # Down, Right, Left, Home, End, Page Up, Page Down, Insert, Delete.
            (b"\x1b[B\x1b[C\x1b[D\x1b[H\x1b[F\x1b[5~\x1b[6~\x1b[2~\x1b[3~\r",
             b"\xe0P\xe0M\xe0K\xe0G\xe0O\xe0I\xe0Q\xe0R\xe0S"),
            # Ctrl-S and Ctrl-Q are key bytes, not the terminal's flow control.
            (b"a\x13b\x11c\r", b"a\x13b\x11c"),
            # A number too large for any key: the sequence is key bytes as it came.
            (b"\x1b[9999999999~k\r", b"\x1b[9999999999~k"),
            # F1 as the Linux console sends it, and F6 to F10: a zero byte
            # and the key's number, and the zero ends the key.
            (b"a\x1b[[Ab\r", b"a"),
            (b"a\x1b[17~b\r", b"a"),
            (b"a\x1b[18~b\r", b"a"),
            (b"a\x1b[19~b\r", b"a"),
            (b"a\x1b[20~b\r", b"a"),
            (b"a\x1b[21~b\r", b"a"),
            # Characters outside ASCII are their UTF-8 bytes, as on the command
            # line: Cyrillic, accented Latin (\u00e0 is also the cursor keys'
            # prefix, 224), CJK, and one beyond 16 bits (two UTF-16 units).
            ("\u043f\u0430\u0440\u043e\u043b\u044c\r".encode(), "\u043f\u0430\u0440\u043e\u043b\u044c".encode()),
            ("caf\u00e9 \u00e0\u6f22\U0001F600\r".encode(), "caf\u00e9 \u00e0\u6f22\U0001F600".encode()),
            # The 32 bytes count as on the command line, also where they end
            # inside a character.
            ("\u043f".encode() * 16 + b"x\r", "\u043f".encode() * 16),
            (b"a" + "\u043f".encode() * 16 + b"\r", (b"a" + "\u043f".encode() * 16)[:32]),
        ]
        for typed, key in cases:
            with self.subTest(typed=typed):
                if WINDOWS and b"9999" in typed:
                    self.skipTest("wine's console drops escape sequences it does not know")
                if WINDOWS and b"\x13" in typed:
                    self.skipTest("wine's console host, not the program, sets the terminal's flow control")
                if WINDOWS and key == b"a":
                    self.skipTest("F1 to F12 deliver nothing through wine's console on a terminal")
                child = self.start(["ea", "plain"])
                child.expect(on_console(b"enter key:"))
                child.send(typed)
                child.expect(on_console(b"retype key:"))
                child.send(typed)
                code, _ = self.finish(child)
                self.assertEqual(code, 0)
                os.rename(os.path.join(self.work, "plain.znx"), os.path.join(self.work, "c"))
                if WINDOWS:
                    # A Windows command line carries no such bytes: the container
                    # is compared with one made under the key by openssl.
                    if not have("openssl"):
                        self.skipTest("openssl not installed")
                    st = os.stat(os.path.join(self.work, "plain"))
                    expected = openssl_aes_container(0x36, key, b"plain", read(os.path.join(self.work, "plain")),
                                                     mtime=int(st.st_mtime), mode=reported_mode(st.st_mode))
                    self.assertEqual(read(os.path.join(self.work, "c")), expected)
                    # No text (a control byte, the prefix 224, a character cut
                    # short) to give as an argument: the comparison says it all.
                    if min(key) < 0x20 or 0xE0 in key or key.decode(errors="replace").encode() != key:
                        continue
                result = self.zelno("d", "c", key, "check", cwd=self.work)
                self.assertEqual(result.returncode, 0, result)

    @unittest.skipIf(WINDOWS, "closing the terminal sends SIGHUP, which ends wine itself")
    def test_console_that_goes_away_aborts_the_entry(self):
        # The terminal closes during an entry, its hangup signal blocked: the
        # run ends with "aborted.", never with a key cut short.
        self.assertEqual(self.zelno("e", "plain", "part", "c", cwd=self.work).returncode, 0)
        messages = self.path("messages")

        def hangup_blocked_and_messages_to_a_file():
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGHUP})
            os.dup2(os.open(messages, os.O_WRONLY | os.O_CREAT | os.O_TRUNC), 1)

        for args, typed in ((["d", "c"], [b"part"]), (["e", "plain"], [b"part\r", b"part"])):
            with self.subTest(args=args):
                argv = command(ZELNO)
                child = pexpect.spawn(argv[0], argv[1:] + args, cwd=self.work, timeout=20,
                                      preexec_fn=hangup_blocked_and_messages_to_a_file)
                for prompt, text in zip((b"enter key:", b"retype key:"), typed):
                    child.expect(on_console(prompt))
                    child.send(text)
                time.sleep(0.2)
                child.delayafterclose = 3
                child.close(force=False)
                self.assertEqual((child.exitstatus, read(messages)), (3, b"aborted.\n"))
                self.assertEqual(self.work_files(), ["c", "plain"])

    @unittest.skipIf(WINDOWS, "SIGTERM and SIGHUP end wine itself")
    def test_signal_during_entry_leaves_nothing_typed_for_the_shell(self):
        # Keys typed while the program could not read them are dropped when
        # a signal ends the entry.
        self.assertEqual(self.zelno("e", "plain", "k", "c", cwd=self.work).returncode, 0)
        for signum in (signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=signum):
                child = self.start(["d", "c"], then=SHELL_READS)
                child.expect(on_console(b"enter key:"))
                program = self.stopped(child)
                terminal = os.open(os.readlink("/proc/%d/fd/0" % child.pid), os.O_RDWR | os.O_NOCTTY)
                try:
                    def waiting():
                        return struct.unpack("i", fcntl.ioctl(terminal, termios.FIONREAD, b"\0" * 4))[0]
                    before = waiting()
                    ahead = b"typed-ahead\r"
                    child.send(ahead)
                    while waiting() < before + len(ahead):
                        time.sleep(0.01)
                finally:
                    os.close(terminal)
                os.kill(program, signum)
                os.kill(program, signal.SIGCONT)
                _, transcript = self.finish(child)
                self.assertIn(b"[rest:]", transcript)
                self.assertNotIn(b"typed-ahead", transcript)

    @unittest.skipIf(WINDOWS, "F1 to F12 deliver nothing through wine's console on a terminal")
    def test_function_key_zero_prefix_ends_the_key(self):
        # F1 is 0 59: the key is text, so it ends before the zero byte.
        child = self.start(["ea", "plain"])
        child.expect(on_console(b"enter key:"))
        child.send(b"ab\x1bOPcd\r")
        child.expect(on_console(b"retype key:"))
        child.send(b"ab\x1bOPzz\r")  # differs only after the zero byte
        code, transcript = self.finish(child)
        self.assertEqual(code, 0)
        self.assertNotIn(b"mismatch", transcript)
        self.assertTrue(self.decrypts("plain.znx", "ab"))

    @unittest.skipIf(WINDOWS, "a lone Escape delivers nothing through wine's console on a terminal")
    def test_lone_escape_is_a_key_byte(self):
        child = self.start(["ea", "plain"])
        child.expect(on_console(b"enter key:"))
        child.send(b"a\x1b")
        time.sleep(0.3)
        child.send(b"b\r")
        child.expect(on_console(b"retype key:"))
        child.send(b"a\x1b")
        time.sleep(0.3)
        child.send(b"b\r")
        code, _ = self.finish(child)
        self.assertEqual(code, 0)
        self.assertTrue(self.decrypts("plain.znx", "a\x1bb"))

    @unittest.skipIf(WINDOWS, "with standard input redirected, wine's console reads no keys from the terminal")
    def test_key_comes_from_the_console_with_input_redirected(self):
        write(os.path.join(self.work, "keyfile"), b"wrong\r\nwrong\r\n")
        child = self.start(["ea", "plain"], redirect=" < keyfile")
        child.expect(on_console(b"enter key:"))
        child.send(b"right\r")
        child.expect(on_console(b"retype key:"))
        child.send(b"right\r")
        code, _ = self.finish(child)
        self.assertEqual(code, 0)
        self.assertTrue(self.decrypts("plain.znx", "right"))

    def test_decrypt_asks_once(self):
        # The empty key word asks too, and the output can be named.
        self.assertEqual(self.zelno("e", "plain", "once", "c", cwd=self.work).returncode, 0)
        for args, restored in ((["d", "c"], "plain"), (["d", "c", "", "copy"], "copy")):
            with self.subTest(args=args):
                child = self.start(args)
                child.expect(on_console(b"enter key:"))
                child.send(b"once\r")
                code, transcript = self.finish(child)
                self.assertEqual(code, 0)
                self.assertNotIn(b"retype", transcript)
                self.assertEqual(read(os.path.join(self.work, restored)), b"typed-key plaintext\n")


class ProgressLine(ConsoleTest):
    def test_long_runs_show_progress_on_the_console_only(self):
        with open(os.path.join(self.work, "big"), "wb") as f:
            f.truncate(256 << 20)
        # From a pipe: how much came so far, without a share of the whole.
        for input, redirect, shown in (("big", "", rb"\r *\d+%  [\d.]+ MB/s"),
                                       ("-", " < <(cat big)", rb"\r\d+ MB  [\d.]+ MB/s")):
            with self.subTest(input=input):
                if WINDOWS and input == "-":
                    self.skipTest("wine's console and bash's pipes")
                child = self.start(["e", input, "k", "big.znx"], redirect=redirect + " > messages")
                child.expect(shown)
                child.timeout = 240  # a sanitizer build on a loaded machine takes its time
                code, _ = self.finish(child)
                self.assertEqual(code, 0)
                # Blanked at the end.
                self.assertRegex(child.logfile_read.getvalue(), on_console(b"\r" + b" " * 24 + b"\r[exit 0]"))
                self.assertEqual(read(os.path.join(self.work, "messages")).replace(b"\r\n", b"\n"), b"encrypted.\n")


class Pause(ConsoleTest):
    def test_failure_pauses_after_its_message(self):
        write(os.path.join(self.work, "junk"), b"nothing here")
        child = self.start(["d", "junk", "k"], then=SHELL_READS)
        child.expect(on_console(b"infile header error.\r\n" + PAUSE))
        time.sleep(0.2)
        self.assertTrue(child.isalive())
        # Ctrl-C is just a key here; the rest of a paste is dropped with it.
        child.send(b"\x03pasted on\r")
        child.expect(on_console(PAUSE_BLANK))
        code, transcript = self.finish(child)
        self.assertEqual(code, 3)
        self.assertIn(b"[rest:]", transcript)

    def test_terminal_refused_as_container_output(self):
        # Nothing of a container or a self-decrypting executable reaches the
        # screen, named or as standard output.
        for args in (["ea", "plain", "k", "CON" if WINDOWS else "/dev/tty"], ["sa", "plain", "k", "-"]):
            with self.subTest(args=args):
                child = self.start(args, redirect=" 2> ../errors")
                child.expect(on_console(PAUSE))
                child.send(b" ")
                code, transcript = self.finish(child)
                self.assertEqual(code, 2)
                self.assertNotIn(MAGIC, transcript)
                errors = read(self.path("errors")).replace(b"\r\n", b"\n")
                self.assertEqual(errors, b"outfile is a terminal\n")
                self.assertEqual(self.work_files(), ["plain"])

    def test_pause_shows_on_the_console_when_output_is_redirected(self):
        write(os.path.join(self.work, "junk"), b"nothing here")
        # wine gives a program a console only where standard output or error
        # is the terminal.
        child = self.start(["d", "junk", "k"], redirect=" > messages" if WINDOWS else " > messages 2>&1")
        child.expect(on_console(PAUSE))
        child.send(b" ")
        code, transcript = self.finish(child)
        self.assertEqual(code, 3)
        self.assertNotIn(b"infile header error.", transcript)
        self.assertEqual(read(os.path.join(self.work, "messages")).replace(b"\r\n", b"\n"), b"infile header error.\n")

    def test_usage_success_and_input_redirected_never_pause(self):
        write(os.path.join(self.work, "junk"), b"nothing here")
        for args, expected, redirect in ((["x", "plain"], 1, ""), (["ea", "plain", "k"], 0, ""),
                                         (["d", "junk", "k"], 3, " < /dev/null")):
            with self.subTest(args=args):
                if WINDOWS and redirect:
                    self.skipTest("wine makes a console for the program alone, as a file manager does: it pauses")
                child = self.start(args, redirect)
                code, transcript = self.finish(child)
                self.assertEqual(code, expected)
                self.assertNotIn(PAUSE, transcript)

    @unittest.skipIf(EMULATED, "the process list shows the emulator's own arguments")
    def test_key_argument_is_hidden_from_the_process_list(self):
        write(os.path.join(self.work, "junk"), b"nothing here")
        # The whole argument goes, also beyond the 32 bytes the key uses.
        for key in ("hidden-key-words", "hidden-key-words-with-a-tail-past-32:TAIL"):
            with self.subTest(length=len(key)):
                child = self.start(["d", "junk", key])
                child.expect(on_console(PAUSE))
                # The paused program is the shell's only child.
                pids = [p for p in os.listdir("/proc") if p.isdigit()]
                seen = False
                for pid in pids:
                    try:
                        cmdline = read("/proc/%s/cmdline" % pid)
                    except OSError:
                        continue
                    if cmdline.startswith(ZELNO.encode() + b"\0"):
                        seen = True
                        self.assertNotIn(b"hidden-key-words", cmdline)
                        self.assertNotIn(b"TAIL", cmdline)
                self.assertTrue(seen)
                child.send(b" ")
                self.finish(child)


if __name__ == "__main__":
    unittest.main()
