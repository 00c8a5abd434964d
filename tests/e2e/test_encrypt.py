"""Containers and self-decrypting executables as the program writes them."""

import hashlib
import os
import re
import resource
import shutil
import signal
import stat
import struct
import subprocess
import time
import unittest

from support import (EMULATED, EMULATOR, MAGIC, MAKE_CONTAINER, OTHER_USER, SANITIZE, WINDOWS, ZELNO, WorkdirTest,
                     command, have, iv_for, openssl_aes_cbc, aes_key_material, read, reported_mode, snapshot,
                     tool_container, traced, umask, write)

SIZES = (0, 1, 15, 16, 17, 9 * 1024 * 1024 + 5)  # the last one goes through the second thread
PIECE = 1 << 20  # the pieces the pipelines read, encrypt and write


def holds_open(pid, path):
    """Whether the process or one of its descendants has the file open. One
    that ends meanwhile (strace starts short-lived ones) holds nothing."""
    try:
        fds = os.listdir("/proc/%d/fd" % pid)
        children = read("/proc/%d/task/%d/children" % (pid, pid)).split()
    except (FileNotFoundError, ProcessLookupError):  # gone, or going (ESRCH)
        return False
    for fd in fds:
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)) == path:
                return True
        except OSError:
            pass
    return any(holds_open(int(child), path) for child in children)


def padded(size):
    return (size + 15) // 16 * 16


GIB4 = 4 << 30  # from here on, a container counts its data in MiB


class Layout(WorkdirTest):
    def test_sizes_fields_and_zero_fill(self):
        """Every size class gives the same bytes as the block-by-block writer."""
        for word, flags in (("e", 0x35), ("ea", 0x36)):
            for size in SIZES:
                with self.subTest(word=word, size=size):
                    plain = os.urandom(size)
                    write(self.path("in.bin"), plain)
                    os.utime(self.path("in.bin"), (1000, 1234567890))
                    os.chmod(self.path("in.bin"), 0o640)
                    self.assertSucceeds(self.zelno(word, "in.bin", "the key"), b"encrypted.")
                    container = read(self.path("in.bin.znx"))
                    self.assertEqual(len(container), 300 + padded(size))
                    self.assertEqual(container[:4], MAGIC + bytes([flags]))
                    self.assertEqual(struct.unpack("<I", container[4:8])[0], size)
                    expected = tool_container(self.path("ref"), flags, "the key", "in.bin", self.path("in.bin"),
                                              mtime=1234567890, mode=reported_mode(0o100640))
                    self.assertEqual(container, expected)
                    os.remove(self.path("in.bin.znx"))

    @unittest.skipUnless(have("openssl"), "openssl not installed")
    def test_aes_container_reads_back_with_openssl(self):
        plain = os.urandom(1000)
        write(self.path("doc.txt"), plain)
        os.utime(self.path("doc.txt"), (5, 777))
        for key in (b"short", b"seventeen bytes!!", b"k" * 40):
            with self.subTest(key=key):
                self.assertSucceeds(self.zelno("ea", "doc.txt", key, "c"), b"encrypted.")
                c = read(self.path("c"))
                data_ct, pieces_ct, digest = c[300:], c[8:280], c[280:300]
                chained = openssl_aes_cbc(aes_key_material(key), iv_for(0x36), data_ct + pieces_ct, decrypt=True)
                self.assertEqual(chained[:1000], plain)
                self.assertEqual(chained[1000:1008], b"\0" * 8)  # zero fill
                meta = struct.unpack("<IIII", chained[1008:1024])
                self.assertEqual(meta, (0, 1000, 777, reported_mode(os.stat(self.path("doc.txt")).st_mode & 0xFFFF)))
                self.assertEqual(chained[1024:].rstrip(b"\0"), b"doc.txt")
                self.assertEqual(hashlib.sha1(chained).digest(), digest)

    def test_base_name_is_stored_and_output_lands_here(self):
        os.makedirs(self.path("dir", "sub"))
        write(self.path("dir", "sub", "file.txt"), b"abc")
        os.mkdir(self.path("run"))
        result = self.zelno("e", "../dir/sub/file.txt", "k", cwd=self.path("run"))
        self.assertSucceeds(result, b"encrypted.")
        self.assertEqual(os.listdir(self.path("run")), ["file.txt.znx"])
        result = self.zelno("d", "file.txt.znx", "k", cwd=self.path("run"))
        self.assertSucceeds(result, b"decrypted.")
        self.assertEqual(read(self.path("run", "file.txt")), b"abc")

    def test_explicit_output_name_gets_no_extension(self):
        write(self.path("p"), b"abc")
        for word in ("e", "s"):
            with self.subTest(word=word):
                self.assertSucceeds(self.zelno(word, "p", "k", "out-" + word), b"encrypted.")
                self.assertTrue(os.path.exists(self.path("out-" + word)))

    @unittest.skipIf(WINDOWS, "Windows has no names for the program's own descriptors")
    def test_into_standard_output_after_what_it_holds(self):
        # Written in place from where standard output stands; the header
        # pieces are rewritten there, and the descriptor is left at the end,
        # so that what follows lands after the container:
        # { zelno e a k /dev/fd/1; zelno e b k /dev/fd/1; } > two. With
        # standard error in the same file (> out 2>&1) no message may land
        # there: without a console it is dropped.
        write(self.path("p"), b"abc")
        write(self.path("q"), os.urandom(40000))
        for name in ("p", "q"):
            self.assertSucceeds(self.zelno("ea", name, "k", name + ".c"), b"encrypted.")
        for inputs, errors_too in ((["p"], False), (["p", "q"], False), (["q", "p"], True)):
            with self.subTest(inputs=inputs, errors_too=errors_too):
                with open(self.path("out"), "wb") as out:
                    out.write(b"prefix ")
                    out.flush()
                    for name in inputs:
                        result = self.zelno("ea", name, "k", "/proc/self/fd/1", stdout=out,
                                            **({"stderr": out} if errors_too else {}))
                        word = None if errors_too else b"encrypted.\n"  # without a console: dropped
                        self.assertEqual((result.returncode, result.stderr), (0, word))
                    out.write(b" suffix")
                expected = b"prefix " + b"".join(read(self.path(name + ".c")) for name in inputs) + b" suffix"
                self.assertEqual(read(self.path("out")), expected)

    @unittest.skipIf(WINDOWS, "Windows files have no permission bits")
    def test_permissions_follow_the_umask_or_the_file_replaced(self):
        # New outputs get 0666 (0777 for self-decrypting executables) less the
        # umask; a replaced file keeps its permission bits (not set-user-ID),
        # and its owner and group where the process may give them: root any,
        # a user a group it belongs to, also as a supplementary one.
        write(self.path("p"), b"abc")
        os.chmod(self.path("p"), 0o644)
        os.chmod(self.dir, 0o777)
        me, group = os.geteuid(), 100  # a group nobody belongs to here only when told so
        rows = [
            # umask; the replaced files' mode and owner (None: new files); the supplementary groups of nobody
            # running the program (None: we run it); the modes expected of p.znx and p.exe
            (0o027, None, None, None, 0o640, 0o750),
            (0o002, None, None, None, 0o664, 0o775),
            (0o022, 0o600, (OTHER_USER, OTHER_USER), None, 0o600, 0o600),
            (0o022, 0o4755, (me, me), None, 0o755, 0o755),
            (0o022, 0o640, (0, group), None, 0o640, 0o640),
            (0o022, 0o660, (OTHER_USER, group), [group], 0o660, 0o660),
            (0o022, 0o660, (OTHER_USER - 1, group), [group], 0o660, 0o660),
        ]
        for mask, existing, owner, groups, container, executable in rows:
            with self.subTest(umask=oct(mask), existing=existing, owner=owner, groups=groups):
                if owner not in (None, (me, me)) and me != 0:
                    self.skipTest("needs files of other users")
                for name in ("p.znx", "p.exe"):
                    if existing is None:
                        continue
                    write(self.path(name), b"old")
                    os.chown(self.path(name), *owner)
                    os.chmod(self.path(name), existing)
                with umask(mask):
                    for word in ("e", "s"):
                        result = self.zelno(word, "p", "k", other_user=groups is not None, groups=groups or ())
                        self.assertSucceeds(result, b"encrypted.")
                for name, mode in (("p.znx", container), ("p.exe", executable)):
                    st = os.stat(self.path(name))
                    self.assertEqual(stat.S_IMODE(st.st_mode), mode)
                    if owner is not None:  # a user cannot give the file away, only keep its group
                        self.assertEqual((st.st_uid, st.st_gid), owner if groups is None else (OTHER_USER, owner[1]))
                    os.remove(self.path(name))

    @unittest.skipUnless(WINDOWS, "Linux files have no attributes")
    def test_attributes_of_the_file_replaced(self):
        write(self.path("p"), b"abc")
        write(self.path("p.znx"), b"old")

        def attributes(*args):
            return subprocess.run(EMULATOR + ["cmd", "/c", "attrib", *args], cwd=self.dir,
                                  capture_output=True).stdout.split()[:-1]

        attributes("+h", "p.znx")
        for word, name, kept in (("e", "p.znx", [b"A", b"H"]), ("s", "p.exe", [b"A"])):  # a hidden file, a new one
            self.assertSucceeds(self.zelno(word, "p", "k"), b"encrypted.")
            self.assertEqual(attributes(name), kept)

class LargeFiles(WorkdirTest):
    """Sizes across 4 GiB, as sparse files with random bytes at the start,
    around the 4 GiB line and at the end. The containers lie in a tmpfs of a
    mount namespace of their own where one can be had (not under wine): the
    disk would take longer than the rest."""

    def sh(self, script, size):
        with open(self.path("big"), "wb") as f:
            f.truncate(size)
            for at in (0, GIB4 - 40, size - 40):
                f.seek(at)
                f.write(os.urandom(min(40, size - at)))
        os.mkdir(self.path("t"))
        # wine's server, started outside, would not see the namespace's tmpfs.
        private = not WINDOWS and subprocess.run(["unshare", "-m", "--propagation", "private", "true"]).returncode == 0
        result = subprocess.run((["unshare", "-m", "--propagation", "private"] if private else []) +
                                ["sh", "-c", ("mount -t tmpfs -o size=16g tmpfs t 2>/dev/null; " if private else "") +
                                 "sha1sum < big; " + script, "sh"] + command(ZELNO), cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True)
        shutil.rmtree(self.path("t"))
        result.stderr = result.stderr.replace(b"\r\n", b"\n")
        lines = result.stdout.split(b"\n")
        return lines[0].split()[0], lines[1:], result

    def test_round_trips_across_4_gib(self):
        # From a file and from a pipe, back from a file and from a pipe
        # (which learns the exact size only with the last piece).
        rows = ((GIB4 - 1, False), (GIB4, False), (GIB4 + 17, True)) if not EMULATED else ((GIB4 + 17, False),)
        for size, piped in rows:
            with self.subTest(size=size, piped=piped):
                script = ('cat big | "$@" ea - k t/c >&2 && stat -c %s t/c && head -c 8 t/c | od -An -tu1 && '
                          'cat t/c | "$@" d - k | sha1sum' if piped else
                          '"$@" ea big k t/c >&2 && stat -c %s t/c && head -c 8 t/c | od -An -tu1 && '
                          '"$@" d t/c k - | sha1sum')
                plain, lines, result = self.sh(script, size)
                self.assertEqual((result.returncode, result.stderr), (0, b"encrypted.\ndecrypted.\n"))
                large = size >= GIB4
                data_bytes = -(-size // PIECE) * PIECE if large else padded(size)
                head = bytes(int(n) for n in lines[1].split())
                self.assertEqual(int(lines[0]), 300 + data_bytes)
                self.assertEqual(head[3], 0x76 if large else 0x36)
                self.assertEqual(struct.unpack("<I", head[4:])[0], data_bytes // PIECE if large else size)
                self.assertEqual(lines[2].split()[0], plain)

    @unittest.skipUnless(have("openssl"), "openssl not installed")
    @unittest.skipIf(EMULATED or SANITIZE, "4 GiB through the block-by-block writer and openssl takes long there")
    def test_large_container_as_the_block_by_block_writer_and_openssl_have_it(self):
        # The chain runs over the data, zero-filled to a whole MiB, then
        # MetaBlock and NameField; the digest over the same plaintext.
        size = GIB4 + 17
        key = aes_key_material(b"the key")
        script = ('chmod 644 big && touch -d @777 big && "$@" ea big "the key" t/c >&2 && head -c 300 t/c | tail -c 20 | od -An -tx1 -w20 && '
                  '"%s" 76 "the key" big 777 %d 0 big t/ref && cmp t/c t/ref && rm t/ref && '
                  '{ tail -c +301 t/c; head -c 280 t/c | tail -c +9; } | '
                  'openssl enc -d -aes-%d-cbc -nopad -K %s -iv %s > t/chained && sha1sum < t/chained && '
                  'head -c %d t/chained | sha1sum && tail -c +%d t/chained | od -An -tu1 -v' %
                  (os.path.abspath(MAKE_CONTAINER), 0o100644, len(key) * 8, key.hex(), iv_for(0x36).hex(), size,
                   size + 1))
        plain, lines, result = self.sh(script, size)
        self.assertEqual((result.returncode, result.stderr), (0, b"encrypted.\n"))
        digest = bytes.fromhex(lines[0].decode().replace(" ", ""))
        self.assertEqual((lines[1].split()[0], lines[2].split()[0]), (digest.hex().encode(), plain))
        rest = bytes(int(n) for line in lines[3:] for n in line.split())
        data_bytes = -(-size // PIECE) * PIECE
        self.assertEqual(rest[:data_bytes - size], bytes(data_bytes - size))
        self.assertEqual(struct.unpack("<IIII", rest[data_bytes - size:data_bytes - size + 16]), (1, 17, 777, 0o100644))
        self.assertEqual(rest[data_bytes - size + 16:].rstrip(b"\0"), b"big")


class SelfDecrypting(WorkdirTest):
    def test_image_then_container(self):
        write(self.path("p"), b"payload")
        self.assertSucceeds(self.zelno("sa", "p", "k"), b"encrypted.")
        exe = read(self.path("p.exe"))
        image = read(ZELNO)
        self.assertEqual(exe[:len(image)], image)
        self.assertEqual(exe[len(image):len(image) + 4], MAGIC + b"\x36")
        self.assertEqual(len(exe), len(image) + 300 + 16)
        self.assertTrue(os.stat(self.path("p.exe")).st_mode & stat.S_IXUSR)


class Failures(WorkdirTest):
    def test_unreadable_input(self):
        # root reads every file: as root, another user runs the program.
        root = os.geteuid() == 0
        if root and WINDOWS:
            self.skipTest("root reads every file, and wine runs only as the owner of its prefix")
        write(self.path("p"), b"abc")
        os.chmod(self.path("p"), 0)
        os.chmod(self.dir, 0o777)
        result = self.zelno("e", "p", "k", other_user=root)
        self.assertFails(result, 2, stderr_prefix=b"infile open error: Permission denied\n")

    def test_directory_or_link_loop_as_input_or_output(self):
        # With the reason Linux gives, on Windows too.
        os.mkdir(self.path("d"))
        os.symlink("loop2", self.path("loop"))
        os.symlink("loop", self.path("loop2"))
        write(self.path("f"), b"abc")
        loop = b"Too many levels of symbolic links\n"
        rows = [
            (["e", "d", "k"], b"infile open error: Is a directory\n"),
            # Linux opens a folder and fails at the first read; Windows opens none.
            (["d", "d", "k"], b"infile %s error: Is a directory\n" % (b"open" if WINDOWS else b"read")),
            (["e", "loop", "k"], b"infile open error: " + loop),
            (["e", "f", "k", "loop"], b"outfile open error: " + loop),
        ]
        for args, message in rows:
            with self.subTest(args=args):
                self.assertFails(self.zelno(*args), 2, stderr_prefix=message)
                self.assertEqual(sorted(os.listdir(self.dir)), ["d", "f", "loop", "loop2"])

    def test_write_failing_half_way_leaves_nothing(self):
        # Small files are written in line, large ones from the second thread.
        # SIGXFSZ, which the program ignores itself, would end it at the limit.
        # A limit inside a buffer: the write that reaches it is short.
        for size, limit_bytes, caller_ignores_sigxfsz in ((2 << 20, (1 << 20) + 100, True),
                                                          (12 << 20, (5 << 20) + 100, True),
                                                          (2 << 20, 1 << 20, False)):
            with self.subTest(size=size, caller_ignores_sigxfsz=caller_ignores_sigxfsz):
                if WINDOWS and not caller_ignores_sigxfsz:
                    self.skipTest("SIGXFSZ ends wine itself")
                write(self.path("big"), os.urandom(size))
                write(self.path("big.znx"), b"old container")
                before = snapshot(self.dir)

                def limit():
                    if caller_ignores_sigxfsz:
                        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                    resource.setrlimit(resource.RLIMIT_FSIZE, (limit_bytes, limit_bytes))

                for word in ("ea", "e"):
                    result = subprocess.run(command(ZELNO) + [word, "big", "k"], cwd=self.dir, stdin=subprocess.DEVNULL,
                                            capture_output=True, preexec_fn=limit, start_new_session=True)
                    self.assertEqual(result.returncode, 2)
                    self.assertEqual(result.stdout, b"")
                    # Windows takes a short write for a full disk.
                    reason = b"No space left on device\n" if WINDOWS else b"File too large\n"
                    errors = result.stderr.replace(b"\r\n", b"\n")
                    self.assertTrue(errors.startswith(b"outfile write error: " + reason), errors)
                    self.assertEqual(snapshot(self.dir), before)

    def holds_open(self, pid, path):
        try:
            return holds_open(pid, path)
        except PermissionError:
            # The program may not be dumped: /proc shows its descriptors to root alone.
            self.skipTest("the program's descriptors are hidden from users other than root")

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine makes system calls of its own that strace would delay")
    def test_write_failure_comes_before_a_shrunk_input(self):
        # The input's size is taken, then its first read waits two seconds
        # while the file shrinks to little more than one piece; the write of
        # the first piece fails on the second thread before the short read
        # of the second: past the file size limit, or on a full disk (a
        # small tmpfs of a mount namespace of its own).
        big = os.path.realpath(self.path("big"))
        os.mkdir(self.path("full"))
        full_disk = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                     'mount -t tmpfs -o size=64k tmpfs full || exit 99; exec "$@"', "sh"]
        for fault, launch, output, reason in (("file size limit", [], "big.znx", b"File too large"),
                                              ("disk full", full_disk, "full/big.znx", b"No space left on device")):
            with self.subTest(fault):
                write(big, os.urandom(8 << 20))

                def limit():
                    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                    if not launch:
                        resource.setrlimit(resource.RLIMIT_FSIZE, (100 << 10, 100 << 10))

                process = subprocess.Popen(launch + ["strace", "-o", "/dev/null", "-P", big, "-e", "trace=read",
                                                     "-e", "inject=read:delay_enter=2000000:when=1", *command(ZELNO),
                                                     "ea", "big", "k", output],
                                           cwd=self.dir, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                           stderr=subprocess.PIPE, preexec_fn=limit, start_new_session=True,
                                           env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))  # not under ptrace
                # Open, its size taken at once, then the wait.
                deadline = time.time() + 30
                while not self.holds_open(process.pid, big):
                    if process.poll() is not None:
                        stderr = process.stderr.read()
                        # As root in a chroot, unshare cannot make the mounts private.
                        if process.returncode == 99 or stderr.startswith(b"unshare:"):
                            self.skipTest("no tmpfs in a mount namespace of our own: %r" % stderr)
                        self.fail("the run ended before the input shrank: %r" % stderr)
                    self.assertLess(time.time(), deadline)
                    time.sleep(0.002)
                time.sleep(0.3)
                os.truncate(big, PIECE + (44 << 10))
                stdout, stderr = process.communicate(timeout=60)
                if process.returncode == 99:
                    self.skipTest("no tmpfs in a mount namespace of our own: %r" % stderr)
                self.assertEqual((process.returncode, stdout), (2, b""), stderr)
                self.assertTrue(stderr.startswith(b"outfile write error: " + reason + b"\n"), stderr)
                self.assertEqual(sorted(os.listdir(self.dir)), ["big", "full"])

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine makes system calls of its own that strace would delay")
    def test_write_failure_on_the_thread_stops_the_reading(self):
        # The first piece cannot be written: the run ends a few pieces into
        # the input, not after reading all of it (on either thread).
        write(self.path("big"), bytes(64 << 20))

        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (100 << 10, 100 << 10))

        result = subprocess.run(["strace", "-f", "-o", self.path("reads"), "-P", os.path.realpath(self.path("big")),
                                 "-e", "trace=read", *command(ZELNO), "ea", "big", "k"],
                                cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True, preexec_fn=limit,
                                start_new_session=True, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
        self.assertEqual((result.returncode, result.stdout), (2, b""), result.stderr)
        self.assertTrue(result.stderr.startswith(b"outfile write error: File too large\n"), result.stderr)
        read_bytes = sum(int(n) for n in re.findall(rb"\) = (\d+)\n", read(self.path("reads"))))
        self.assertTrue(PIECE <= read_bytes < 6 * PIECE, read_bytes)

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine makes system calls of its own that strace would delay")
    def test_read_failure_on_the_thread(self):
        # Twofish's chain leaves the second thread room to read the pieces
        # ahead: a read that fails there ends the run with its reason, no
        # output left.
        write(self.path("big"), os.urandom(8 << 20))
        process = traced(["-f", "-P", os.path.realpath(self.path("big")), "-e", "trace=read",
                          "-e", "inject=read:error=EIO:when=3"], ["e", "big", "k", "out"], self.dir)
        stdout, stderr = process.communicate(timeout=60)
        self.assertEqual((process.returncode, stdout), (2, b""), stderr)
        self.assertTrue(stderr.startswith(b"infile read error: Input/output error\n"), stderr)
        self.assertEqual(os.listdir(self.dir), ["big"])

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine makes system calls of its own that strace would delay")
    @unittest.skipIf(EMULATED, "strace would refuse the emulator's own threads, which it cannot run without")
    def test_no_second_thread_to_be_had_does_the_work_in_line(self):
        # As under `ulimit -u` or `ulimit -v`: the thread cannot be created.
        plain = os.urandom(9 << 20)
        write(self.path("big"), plain)
        for args in (["e", "big", "k", "c"], ["d", "c", "k", "back"], ["ea", "big", "k", "c"], ["d", "c", "k", "back"]):
            with self.subTest(args=args):
                result = subprocess.run(["strace", "-o", "/dev/null", "-e", "trace=clone,clone3",
                                         "-e", "inject=clone,clone3:error=EAGAIN", *command(ZELNO), *args],
                                        cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True,
                                        start_new_session=True, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
                self.assertSucceeds(result, b"decrypted." if args[0] == "d" else b"encrypted.")
        self.assertEqual(read(self.path("back")), plain)

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "Windows files have no permission bits; wine makes system calls of its own")
    def test_mode_owner_and_time_steps_that_fail(self):
        # Each result is checked, the sync of the data too: a failed step
        # fails the run and nothing is published. An owner or group the process may not give (EPERM) is
        # no failure: the replaced file keeps them where the process may set
        # them.
        root = os.geteuid() == 0
        write(self.path("p"), b"abc")
        self.assertSucceeds(self.zelno("e", "p", "k", "c"), b"encrypted.")
        os.remove(self.path("p"))
        rows = [
            # system calls (as strace names them) and the error injected; arguments; a replaced file of
            # another user; the message, or None for a success
            ("fchmod", "EIO", ["e", "c", "k", "new"], False, b"outfile mode error: Input/output error\n"),
            ("fchmod", "EIO", ["s", "c", "k", "new"], False, b"outfile mode error: Input/output error\n"),
            ("fchmod", "EIO", ["e", "c", "k", "old"], True, b"outfile mode error: Input/output error\n"),
            ("/^fchown", "EIO", ["e", "c", "k", "old"], True, b"outfile mode error: Input/output error\n"),
            ("/^fchown", "EPERM", ["e", "c", "k", "old"], True, None),
            ("/^utimensat", "EIO", ["d", "c", "k"], False, b"outfile time error: Input/output error\n"),
            ("fsync", "EIO:when=1", ["e", "c", "k", "new"], False, b"outfile write error: Input/output error\n"),
        ]
        for calls, error, args, replaces, message in rows:
            with self.subTest(calls=calls, error=error, args=args):
                if replaces and not root:
                    self.skipTest("needs a file of another user")
                write(self.path("old"), b"old")
                os.chmod(self.path("old"), 0o640)
                if replaces:
                    os.chown(self.path("old"), 65534, 65534)
                before = snapshot(self.dir)
                process = traced(["-e", "trace=" + calls, "-e", "inject=%s:error=%s" % (calls, error)], args, self.dir)
                stdout, stderr = process.communicate(timeout=60)
                result = subprocess.CompletedProcess(args, process.returncode, stdout, stderr)
                if message is not None:
                    self.assertFails(result, 2, stderr_prefix=message)
                    self.assertEqual(snapshot(self.dir), before)
                    continue
                self.assertSucceeds(result, b"encrypted.")
                st = os.stat(self.path("old"))
                self.assertEqual((stat.S_IMODE(st.st_mode), st.st_uid), (0o640, os.geteuid()))
                self.assertSucceeds(self.zelno("d", "old", "k", "back"), b"decrypted.")
                self.assertEqual(read(self.path("back")), read(self.path("c")))
                os.remove(self.path("back"))

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine makes system calls of its own that strace would delay")
    def test_named_working_file_where_unnamed_ones_are_refused(self):
        # Filesystems without O_TMPFILE answer EOPNOTSUPP, old kernels EISDIR:
        # the working file is then .zelno-XXXXXX, gone after a failure or a
        # signal. With unnamed files, a temporary name taken meanwhile is
        # retried. Only
        # the first open of the directory itself (".", the unnamed file's) is
        # refused.
        write(self.path("p"), b"abc")
        with open(self.path("big"), "wb") as f:
            f.truncate(256 << 20)
        self.assertSucceeds(self.zelno("ea", "p", "k", "c"), b"encrypted.")
        inputs = sorted(os.listdir(self.dir))
        rows = [
            # strace's fault; arguments; the word, else the message (None: ended by a signal)
            ("openat:error=EOPNOTSUPP:when=1", ["ea", "p", "k", "out"], b"encrypted."),
            ("openat:error=EISDIR:when=1", ["d", "c", "k"], b"decrypted."),
            ("openat:error=EOPNOTSUPP:when=1", ["d", "c", "wrong", "out"], b"infile data error.\n"),
            ("openat:error=EISDIR:when=1", ["d", "c", "wrong"], b"infile data error.\n"),
            ("openat:error=EOPNOTSUPP:when=1", ["e", "big", "k", "out"], None),
            ("linkat:error=EEXIST:when=1", ["ea", "p", "k", "out"], b"encrypted."),
        ]
        for fault, args, expected in rows:
            with self.subTest(fault=fault, args=args):
                call = fault.split(":")[0]
                if call == "linkat":  # a temporary name only where a file is replaced
                    write(self.path("out"), b"old")
                paths = ["-P", "."] if call == "openat" else []
                with umask(0o022):
                    process = traced([*paths, "-e", "trace=" + call, "-e", "inject=" + fault], args, self.dir)
                if expected is None:
                    self.interrupt_traced(process, lambda: any(f.startswith(".zelno-") for f in os.listdir(self.dir)))
                stdout, stderr = process.communicate(timeout=60)
                if expected is not None and expected.endswith(b"\n"):
                    self.assertEqual((process.returncode, stdout), (3, expected), stderr)
                elif expected is not None:
                    self.assertEqual((process.returncode, stdout), (0, expected + b"\n"), stderr)
                    made = "p" if args[0] == "d" else "out"  # the plain input, restored over itself
                    self.assertEqual(stat.S_IMODE(os.stat(self.path(made)).st_mode), 0o644)
                    if made == "out":
                        self.assertSucceeds(self.zelno("d", "out", "k", "back"), b"decrypted.")
                        self.assertEqual(read(self.path("back")), b"abc")
                        for name in ("out", "back"):
                            os.remove(self.path(name))
                self.assertEqual(sorted(os.listdir(self.dir)), inputs)
        # Without random bytes the names tried follow from the process
        # number: the first one, taken beforehand by a link to another file,
        # is neither written nor published, and the next one is tried.
        with self.subTest("first name taken"):
            if EMULATED:
                self.skipTest("strace would count and fault the emulator's own calls too")

            def names_tried(*faults):
                result = subprocess.run(["strace", "-o", self.path("log"), "-e", "trace=openat,getrandom,getpid",
                                         "-e", "inject=getrandom:error=ENOSYS", "-e", "inject=getpid:retval=1",
                                         *faults, *command(ZELNO), "ea", "p", "k", "out"],
                                        cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True,
                                        start_new_session=True, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
                self.assertSucceeds(result, b"encrypted.")
                return re.findall(r"^openat\(.*", read(self.path("log")).decode(), re.M)

            unnamed = 1 + next(n for n, call in enumerate(names_tried()) if "O_TMPFILE" in call)
            fault = ["-e", "inject=openat:error=EOPNOTSUPP:when=%d" % unnamed]
            first = re.search(r'"(\.zelno-\w+)"', "\n".join(names_tried(*fault))).group(1)
            write(self.path("kept"), b"kept")
            os.link(self.path("kept"), self.path(first))
            tried = "\n".join(names_tried(*fault))
            self.assertEqual(read(self.path("kept")), b"kept")
            self.assertIn('"%s", O_WRONLY|O_CREAT|O_EXCL' % first, tried)  # it was tried
            self.assertSucceeds(self.zelno("d", "out", "k", "back"), b"decrypted.")
            self.assertEqual(read(self.path("back")), b"abc")

    def test_input_named_as_its_own_output(self):
        plain = os.urandom(100000)
        write(self.path("same"), plain)
        self.assertSucceeds(self.zelno("ea", "same", "k", "same"), b"encrypted.")
        self.assertSucceeds(self.zelno("d", "same", "k", "back"), b"decrypted.")
        self.assertEqual(read(self.path("back")), plain)
        # Written in place, through a descriptor open on the input itself: refused before a byte.
        for args in (["e", "back", "k", "/dev/stdout"], ["d", "same", "k", "/dev/fd/1"]):
            with self.subTest(args=args), open(self.path(args[1]), "r+b") as out:
                if WINDOWS:
                    self.skipTest("Windows has no names for the program's own descriptors")
                before = read(self.path(args[1]))
                out.seek(4096)
                result = self.zelno(*args, stdout=out)
                self.assertEqual((result.returncode, result.stderr), (2, b"outfile open error: Output is the input file\n"))
                self.assertEqual(read(self.path(args[1])), before)

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine makes system calls of its own that strace would delay")
    def test_file_that_grows_while_read(self):
        # Its size is taken, then its first read waits while it grows: more
        # than the size it records.
        write(self.path("f"), bytes(100))
        path = os.path.realpath(self.path("f"))
        process = traced(["-P", path, "-e", "trace=read", "-e", "inject=read:delay_enter=1000000:when=1"],
                         ["ea", "f", "k", "out"], self.dir)
        deadline = time.time() + 30
        while not self.holds_open(process.pid, path):
            self.assertLess(time.time(), deadline)
            time.sleep(0.002)
        time.sleep(0.3)
        with open(path, "ab") as f:
            f.write(b"more")
        stdout, stderr = process.communicate(timeout=60)
        self.assertEqual((process.returncode, stdout, stderr), (3, b"infile size error.\n", b""))
        self.assertEqual(os.listdir(self.dir), ["f"])


class Pipes(WorkdirTest):
    def sh(self, script, **kwargs):
        return subprocess.run(["sh", "-c", script, "sh"] + command(ZELNO), cwd=self.dir, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=120, start_new_session=True, **kwargs)

    def test_pipes_and_standard_streams_in_and_out(self):
        # f, and its containers made from the file: whatever comes through a
        # pipe, a FIFO or a standard stream gives the same bytes. A
        # container made from a pipe records the name "stdin".
        for name, size in (("f", 70000), ("big", 5 << 20)):
            write(self.path(name), os.urandom(size))
        os.mkfifo(self.path("fifo"))
        for args in (["ea", "f", "k", "f.c"], ["e", "big", "k", "big.c"], ["sa", "f", "k", "f.exe"]):
            self.assertSucceeds(self.zelno(*args), b"encrypted.")
        for script, made, expected, word in (
                ('cat f | "$@" ea /dev/stdin k got', "got", "stdin:f", b"encrypted.\n"),
                ('cat big | "$@" e - k got', "got", "stdin:big", b"encrypted.\n"),
                ('cat f | "$@" ea - k > got', "got", "stdin:f", b""),
                ('"$@" ea f k /dev/stdout | cat > got', "got", "f.c", b""),
                ('"$@" e big k - | cat > got', "got", "big.c", b""),
                ('"$@" sa f k - > got', "got", "f.exe", b""),
                ('cat f.c | "$@" d /dev/stdin k got', "got", "f", b"decrypted.\n"),
                ('cat big.c | "$@" d - k > got', "got", "big", b""),
                ('cat f.exe | "$@" d - k > got', "got", "f", b""),
                ('cat f.c > fifo & "$@" d fifo k got', "got", "f", b"decrypted.\n"),
                ('cat f > fifo & "$@" ea fifo k - > got', "got", "fifo:f", b"")):
            with self.subTest(script=script):
                if WINDOWS and ("/dev/" in script or "fifo" in script):
                    self.skipTest("Windows has no names for the standard streams, and no FIFOs")
                result = self.sh(script)
                self.assertEqual((result.returncode, result.stdout.replace(b"\r\n", b"\n")), (0, word), result.stderr)
                if ":" in expected:
                    stored, plain = expected.split(":")
                    os.mkdir(self.path("restore"))
                    self.assertSucceeds(self.zelno("d", "../got", "k", cwd=self.path("restore")), b"decrypted.")
                    self.assertEqual(os.listdir(self.path("restore")), [stored])
                    self.assertEqual(read(self.path("restore", stored)), read(self.path(plain)))
                    shutil.rmtree(self.path("restore"))
                else:
                    self.assertEqual(read(self.path(made)), read(self.path(expected)))
                os.remove(self.path(made))

    @unittest.skipIf(WINDOWS, "a tmpfs of a mount namespace of its own, and the descriptors in /proc")
    def test_nothing_reaches_the_pipe_when_the_run_fails(self):
        # A container is finished aside first: a full disk where it is
        # finished, or a signal meanwhile, send nothing and leave nothing;
        # nor does a wrong key on a container from a pipe.
        write(self.path("big"), os.urandom(3 << 20))
        self.assertSucceeds(self.zelno("ea", "big", "k", "big.c"), b"encrypted.")
        os.mkdir(self.path("tmp"))
        result = self.sh('cat big.c | "$@" d - wrong out')
        self.assertEqual((result.returncode, result.stdout), (3, b"infile data error.\n"), result.stderr)
        result = subprocess.run(["unshare", "-m", "--propagation", "private", "sh", "-c",
                                 'mount -t tmpfs -o size=64k tmpfs tmp || exit 99; '
                                 '{ TMPDIR=$PWD/tmp "$@" ea big k -; echo $? > code; } | cat > n',
                                 "sh"] + command(ZELNO), cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=120)
        if result.returncode == 99:
            self.skipTest("no tmpfs in a mount namespace of our own: %r" % result.stderr)
        self.assertEqual((read(self.path("code")), read(self.path("n"))), (b"2\n", b""), result.stderr)
        self.assertTrue(result.stderr.startswith(b"outfile write error: No space left on device\n"), result.stderr)
        self.assertEqual(sorted(os.listdir(self.dir)), ["big", "big.c", "code", "n", "tmp"])
        # SIGTERM while the container is finished aside.
        process = subprocess.Popen(command(ZELNO) + ["ea", "-", "k", "-"], cwd=self.dir, stdin=subprocess.PIPE,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                                   env=dict(os.environ, TMPDIR=self.path("tmp")))
        process.stdin.write(read(self.path("big")))
        process.stdin.flush()
        deadline = time.time() + 30
        while not any(os.readlink("/proc/%d/fd/%s" % (process.pid, fd)).startswith(self.path("tmp"))
                      for fd in os.listdir("/proc/%d/fd" % process.pid)):
            self.assertLess(time.time(), deadline)
            time.sleep(0.002)
        process.send_signal(signal.SIGTERM)
        stdout, stderr = process.communicate(timeout=60)
        self.assertEqual((process.returncode, stdout, stderr), (-signal.SIGTERM, b"", b""))
        self.assertEqual(os.listdir(self.path("tmp")), [])


if __name__ == "__main__":
    unittest.main()
