"""The command line, the usage text, the failure exits and what they leave."""

import ctypes
import os
import re
import shutil
import stat
import subprocess
import unittest

from support import (MAGIC, MAKE_CONTAINER, OTHER_USER, PROCESSOR_OF, USAGE, VERSION, WINDOWS, WorkdirTest, command,
                     elf_machine, have, openssl_aes_container, pe_machine, read, run, snapshot, write, ZELNO)


def drop_fowner():
    """Takes CAP_FOWNER from what root's next program may have (PR_CAPBSET_DROP)."""
    if ctypes.CDLL(None, use_errno=True).prctl(24, 3, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl")


class Usage(WorkdirTest):
    def test_words_that_make_no_command_line(self):
        # Refused before anything is read: "key" names no file.
        write(self.path("file"), b"x")
        for args in ([], ["d"], ["e"], ["x", "file"], ["E", "file"], ["ea2", "file", "k"], ["-nc", "file"],
                     ["ea", "file", "k", "o", "o2"], ["e", "file", "k", "-nc", "o", "o2"],
                     ["--key-file", "key", "e", "file", "o", "o2"], ["--key-env", "K", "d", "file", "k", "o"],
                     ["--key-file"], ["--key-env", "K"], ["--key-file", "key", "--key-env", "K", "e", "file"],
                     ["e", "file", "--key-file", "key"], ["e", "--key-env", "K"], ["--key-file", "-", "d", "-"]):
            with self.subTest(args=args):
                result = self.zelno(*args)
                self.assertEqual(result.returncode, 1)
                self.assertEqual(result.stdout.decode(), USAGE)
                self.assertEqual(result.stderr, b"")

    def test_help_and_version_succeed(self):
        target = ("windows-" if WINDOWS else "linux-") + PROCESSOR_OF[elf_machine(ZELNO) or pe_machine(ZELNO)]
        for args, out in ((["--version"], "zelno %s (%s)\n" % (VERSION, target)),
                          (["--help"], USAGE), (["--help", "file", "k"], USAGE)):
            with self.subTest(args=args):
                result = self.zelno(*args)
                self.assertEqual((result.returncode, result.stdout.decode(), result.stderr), (0, out, b""))

    def test_usage_leaves_files_alone(self):
        write(self.path("file"), b"x")
        before = snapshot(self.dir)
        self.zelno("x", "file", "key", "file")
        self.assertEqual(snapshot(self.dir), before)


class Arguments(WorkdirTest):
    def setUp(self):
        super().setUp()
        write(self.path("plain"), b"some plaintext\n")

    def decrypts_with(self, container, key):
        result = self.zelno("d", container, key, "check")
        return result.returncode == 0 and read(self.path("check")) == b"some plaintext\n"

    def test_nc_is_skipped_wherever_it_stands(self):
        for args in (["-nc", "k", "out"], ["k", "-nc", "out"], ["k", "out", "-nc"], ["-nc", "-nc", "k", "out"]):
            with self.subTest(args=args):
                self.assertSucceeds(self.zelno("e", "plain", *args), b"encrypted.")
                self.assertTrue(self.decrypts_with("out", "k"))
                os.remove(self.path("out"))

    def test_mode_words_pick_the_cipher(self):
        for word, flags in (("e", 0x35), ("ea", 0x36)):
            with self.subTest(word=word):
                self.assertSucceeds(self.zelno(word, "plain", "k", "c"), b"encrypted.")
                self.assertEqual(read(self.path("c"))[:4], MAGIC + bytes([flags]))

    def test_containers_of_the_empty_key_still_open(self):
        write(self.path("c"), openssl_aes_container(0x36, b"", b"name", b"some plaintext\n"))
        write(self.path("empty"), b"\n")
        self.assertSucceeds(self.zelno("--key-file", "empty", "d", "c", "check"), b"decrypted.")
        self.assertEqual(read(self.path("check")), b"some plaintext\n")

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine makes writes of its own")
    def test_each_message_is_one_write(self):
        # Nothing another process writes to the same pipe can land inside.
        self.assertSucceeds(self.zelno("e", "plain", "k", "c"), b"encrypted.")
        for args, channel in ((["d", "c", "k", "/dev/stdout"], 2), (["d", "missing", "k"], 2),
                              (["d", "plain", "k"], 1), (["x"], 1)):
            with self.subTest(args=args):
                # LeakSanitizer would report that it cannot run under ptrace.
                subprocess.run(["strace", "-f", "-o", self.path("calls"), "-e", "trace=write", *command(ZELNO),
                                *args], cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True,
                               env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
                self.assertEqual(len(re.findall(rb"write\(%d," % channel, read(self.path("calls")))), 1)

    def test_long_key_acts_as_its_first_32_bytes(self):
        long_key = "k" * 32 + "tail-that-is-ignored"
        self.assertSucceeds(self.zelno("ea", "plain", long_key, "c"), b"encrypted.")
        self.assertTrue(self.decrypts_with("c", "k" * 32))


class FailureExits(WorkdirTest):
    def test_missing_input_is_a_system_error(self):
        result = self.zelno("e", "missing", "k")
        self.assertFails(result, 2, stderr_prefix=b"infile open error: No such file or directory\n")
        self.assertEqual(os.listdir(self.dir), [])

    def test_content_errors_go_to_standard_output(self):
        write(self.path("junk"), b"no container in here")
        result = self.zelno("d", "junk", "k")
        self.assertFails(result, 3, stdout=b"infile header error.\n")

    def test_existing_output_survives_failures(self):
        write(self.path("junk"), b"no container in here")
        write(self.path("out"), b"precious")
        write(self.path(".zelno-XXXXXX"), b"named as the working file's pattern")
        self.assertSucceeds(self.zelno("e", "junk", "k", "c"), b"encrypted.")
        before = snapshot(self.dir)
        for args in (["d", "junk", "k", "out"], ["d", "missing", "k", "out"], ["e", "missing", "k", "out"],
                     ["d", "c", "wrong", "out"], ["d", "c", "wrong"]):
            with self.subTest(args=args):
                self.assertNotEqual(self.zelno(*args).returncode, 0)
                self.assertEqual(snapshot(self.dir), before)

    def test_output_directory_missing(self):
        write(self.path("plain"), b"abc")
        result = self.zelno("e", "plain", "k", "nodir/out")
        self.assertFails(result, 2, stderr_prefix=b"outfile open error: No such file or directory\n")

    def test_outputs_refused_when_opened(self):
        # Known before the work: the run ends at the open with the system's
        # reason and leaves everything as it was. Rows marked "other" run as
        # another user (nobody, when the tests run as root).
        write(self.path("p"), b"abc")
        self.assertSucceeds(self.zelno("e", "p", "k", "c"), b"encrypted.")
        write(self.path("n" * 252), b"abc")
        cases = [
            # (output names to prepare with their mode, other user, arguments, reason)
            ({}, False, ["e", "n" * 252, "k"], b"File name too long"),  # its name with .znx
            ({}, False, ["d", "c", "k", "o" * 256], b"File name too long"),
            ({}, False, ["d", "c", "k", "CON" if WINDOWS else "/dev/tty"], b"No such device or address"),  # none here
            ({"ro": 0o444}, True, ["d", "c", "k", "ro"], b"Permission denied"),
            ({"p.znx": 0o444}, True, ["e", "p", "k"], b"Permission denied"),
            # Writable, but in a sticky directory of another user's, and not ours;
            # as root without CAP_FOWNER, in nobody's directory, nobody's file.
            ({"theirs": 0o666}, "sticky", ["d", "c", "k", "theirs"], b"Operation not permitted"),
            ({"theirs": 0o666}, "sticky, root without CAP_FOWNER", ["d", "c", "k", "theirs"],
             b"Operation not permitted"),
        ]
        root = os.geteuid() == 0
        for prepared, other, args, reason in cases:
            with self.subTest(args=[a[:8] for a in args], other=other):
                if str(other).startswith("sticky") and (WINDOWS or not root):
                    self.skipTest("Windows has no sticky folders" if WINDOWS else "needs a file of another user")
                # wine runs only as the owner of its prefix: under Windows a
                # file without write permission is read-only for everyone.
                if WINDOWS:
                    other = False
                without_fowner = other == "sticky, root without CAP_FOWNER"
                for name, mode in prepared.items():
                    write(self.path(name), b"kept")
                    os.chmod(self.path(name), mode)
                    if without_fowner:
                        os.chown(self.path(name), OTHER_USER, OTHER_USER)
                if without_fowner:
                    os.chown(self.dir, OTHER_USER, OTHER_USER)
                os.chmod(self.dir, 0o1777 if str(other).startswith("sticky") else 0o777 if other else 0o700)
                before = snapshot(self.dir)
                result = self.zelno(*args, other_user=bool(other) and root and not without_fowner,
                                    preexec_fn=drop_fowner if without_fowner else None)
                self.assertFails(result, 2, stderr_prefix=b"outfile open error: " + reason + b"\n")
                self.assertEqual(snapshot(self.dir), before)
                for name in prepared:
                    os.remove(self.path(name))
        # The working file ".zelno-XXXXXX" lies beside the output: in a
        # directory with the longest name that leaves it PATH_MAX - 1
        # characters, and in one with a character more.
        with self.subTest("deepest directory"):
            if WINDOWS:
                self.skipTest("Windows names are shorter")
            deep = ("d" * 255 + "/") * 15 + "e" * 241
            subprocess.run(["mkdir", "-p", deep, deep + "e"], cwd=self.dir, check=True)  # longer than PATH_MAX
            self.assertSucceeds(self.zelno("d", "c", "k", deep + "/o"), b"decrypted.")
            self.assertFails(self.zelno("d", "c", "k", deep + "e/o"), 2,
                             stderr_prefix=b"outfile open error: File name too long\n")

    @unittest.skipUnless(WINDOWS, "Linux replaces a file open elsewhere")
    def test_output_held_open_by_another_program(self):
        # Without letting it be deleted, as an editor may: refused before the work.
        for name in ("p", "held"):
            write(self.path(name), b"kept")
        holder = subprocess.Popen(command(os.path.join(os.path.dirname(MAKE_CONTAINER), "hold_open.exe")) + ["held"],
                                  cwd=self.dir, stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.assertEqual(holder.stdout.readline().strip(), b"held")
        before = snapshot(self.dir)
        result = self.zelno("ea", "p", "k", "held")
        holder.communicate()
        self.assertFails(result, 2, stderr_prefix=b"outfile open error: File is open in another program\n")
        self.assertEqual(snapshot(self.dir), before)

    def test_no_console_for_a_typed_key(self):
        # The empty key word asks too: an unset "$key" in a script.
        write(self.path("plain"), b"abc")
        for args in (["e"], ["ea"], ["d"], ["s"], ["ea", "", "out"], ["d", "", "out"]):
            with self.subTest(args=args):
                result = self.zelno(args[0], "plain", *args[1:])
                self.assertEqual(result.returncode, 2)
                self.assertTrue(result.stderr.startswith(b"console open error: "), result.stderr)
                self.assertEqual(sorted(os.listdir(self.dir)), ["plain"])


class OwnImage(WorkdirTest):
    def test_program_image_holds_no_live_magic(self):
        image = read(ZELNO)
        match = re.search(re.escape(MAGIC) + b"[^\0]", image, re.S)
        self.assertIsNone(match, "magic followed by a non-zero byte at %s" % (match and match.start()))

    def test_found_through_path_from_another_directory(self):
        bindir = self.path("bin")
        os.mkdir(bindir)
        shutil.copy(ZELNO, os.path.join(bindir, "zelno"))
        work = self.path("work")
        os.mkdir(work)
        write(os.path.join(work, "plain"), b"through PATH")
        env = dict(os.environ, PATH=bindir + os.pathsep + os.environ.get("PATH", ""))
        result = run(["ea", "plain", "k"], work, program="zelno", env=env)
        self.assertSucceeds(result, b"encrypted.")
        result = run(["d", "plain.znx", "k", "back"], work, program="zelno", env=env)
        self.assertSucceeds(result, b"decrypted.")
        self.assertEqual(read(os.path.join(work, "back")), b"through PATH")

    def test_self_decrypting_executable_takes_key_and_output_words(self):
        write(self.path("plain"), b"inside")
        self.assertSucceeds(self.zelno("sa", "plain", "e"), b"encrypted.")
        exe = self.path("plain.exe")
        self.assertTrue(os.stat(exe).st_mode & stat.S_IXUSR)
        # "e file" is the key "e" and the output name "file", not a mode word.
        result = run(["e", "file"], self.dir, program=exe)
        self.assertSucceeds(result, b"decrypted.")
        self.assertEqual(read(self.path("file")), b"inside")
