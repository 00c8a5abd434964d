"""Restoring files from containers and self-decrypting executables."""

import os
import re
import resource
import select
import shutil
import stat
import subprocess
import time
import unittest

import pexpect

from support import (EMULATED, EMULATOR, MAGIC, OTHER_USER, WINDOWS, ZELNO, WorkdirTest, command, elf_machine, have,
                     on_console, openssl_aes_container, read, run, snapshot, tool_container, traced, umask, write)


class RoundTrips(WorkdirTest):
    def test_every_size_restores_name_time_and_bytes(self):
        for word in ("e", "ea"):
            # 4 MiB and more: the second thread; + 1 and + 17: the last piece one or two blocks.
            for size in (0, 1, 15, 16, 17, 1 << 20, (4 << 20) + 1, (4 << 20) + 17, (9 << 20) + 99):
                with self.subTest(word=word, size=size):
                    plain = os.urandom(size)
                    write(self.path("f.dat"), plain)
                    os.utime(self.path("f.dat"), (1, 1500000000))
                    self.assertSucceeds(self.zelno(word, "f.dat", "key"), b"encrypted.")
                    os.remove(self.path("f.dat"))
                    self.assertSucceeds(self.zelno("d", "f.dat.znx", "key"), b"decrypted.")
                    self.assertEqual(sorted(os.listdir(self.dir)), ["f.dat", "f.dat.znx"])
                    st = os.stat(self.path("f.dat"))  # before reading it moves the access time
                    self.assertEqual((st.st_mtime, st.st_atime), (1500000000, 1500000000))
                    self.assertEqual(read(self.path("f.dat")), plain)
                    os.remove(self.path("f.dat.znx"))

    def test_explicit_output_keeps_the_time_of_writing(self):
        write(self.path("f"), b"abc")
        os.utime(self.path("f"), (1, 1000))
        self.assertSucceeds(self.zelno("e", "f", "k", "c"), b"encrypted.")
        self.assertSucceeds(self.zelno("d", "c", "k", "sub-out"), b"decrypted.")
        self.assertEqual(read(self.path("sub-out")), b"abc")
        self.assertGreater(os.stat(self.path("sub-out")).st_mtime, time.time() - 60)

    def test_output_to_devices_and_directories(self):
        write(self.path("f"), b"abc")
        self.assertSucceeds(self.zelno("e", "f", "k", "c"), b"encrypted.")
        null = "NUL" if WINDOWS else "/dev/null"
        # Checking a container without keeping its plaintext.
        self.assertSucceeds(self.zelno("d", "c", "k", null), b"decrypted.")
        self.assertFails(self.zelno("d", "c", "wrong", null), 3, stdout=b"infile data error.\n")
        os.mkdir(self.path("dir"))
        self.assertFails(self.zelno("d", "c", "k", "dir"), 2, stderr_prefix=b"outfile open error: Is a directory\n")
        # A device that can seek takes a container too.
        self.assertSucceeds(self.zelno("ea", "f", "k", null), b"encrypted.")
        self.assertEqual(sorted(os.listdir(self.dir)), ["c", "dir", "f"])
        self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))

    def test_output_names_that_are_links(self):
        # The file a link leads to is replaced and the link stays; a dangling
        # link gives the name it holds.
        write(self.path("f"), b"abc")
        self.assertSucceeds(self.zelno("e", "f", "k", "c"), b"encrypted.")
        cases = [
            # links (name: what it holds), output name, where the data land
            ({"link": "target"}, "link", "target"),
            ({"chain": "link", "link": "sub/target"}, "chain", "sub/target"),
            ({"dangling": "sub/new"}, "dangling", "sub/new"),
            ({"sub/relative": "target"}, "sub/relative", "sub/target"),
            (dict(("l%d" % i, "l%d" % (i + 1)) for i in range(9)) | {"l9": "sub/target"}, "l0", "sub/target"),
        ]
        # Every row also holds a file whose path is longer than 260 bytes and
        # UTF-16 units, which the last row's link leads to.
        deep = os.path.join("sub", *["\u0434" * 100] * 3, "target")
        cases.append(({"far": os.path.join(self.dir, "row%d" % len(cases), deep)}, "far", deep))
        if WINDOWS:  # the same file by its long form, typed
            long_form = "\\\\?\\Z:" + os.path.join(self.dir, "row%d" % len(cases), deep).replace("/", "\\")
            cases.append(({}, long_form, deep))
        for n, (links, name, lands) in enumerate(cases):
            with self.subTest(name=name):
                row = self.path("row%d" % n)
                os.makedirs(os.path.join(row, os.path.dirname(deep)))
                for old in ("target", "sub/target", deep):
                    write(os.path.join(row, old), b"old")
                for link, held in links.items():
                    os.symlink(held, os.path.join(row, link))
                self.assertSucceeds(self.zelno("d", "../c", "k", name, cwd=row), b"decrypted.")
                self.assertEqual({link: os.readlink(os.path.join(row, link)) for link in links}, links)
                files = {os.path.relpath(os.path.join(top, f), row): read(os.path.join(top, f))
                         for top, _, names in os.walk(row) for f in names
                         if not os.path.islink(os.path.join(top, f))}
                self.assertEqual(files, {"target": b"old", "sub/target": b"old", deep: b"old", lands: b"abc"})

    @unittest.skipIf(WINDOWS, "Windows has no sticky folders")
    def test_links_fifos_and_files_of_others_in_a_sticky_directory(self):
        # The kernel's protected_symlinks, _fifos and _regular, whatever the
        # sysctls say: in a sticky, world-writable directory S a link is
        # followed, and a FIFO, device or file used, only when it belongs to
        # the caller or to S's owner. Names are relative to S; the data land
        # in "home" (nobody's) or in S.
        if os.geteuid() != 0:
            self.skipTest("needs files of other users")
        root, other, third = 0, OTHER_USER, OTHER_USER - 1  # the third user needs no account
        write(self.path("p"), b"secret")
        self.assertSucceeds(self.zelno("e", "p", "k", "c"), b"encrypted.")
        for name in ("p", "c"):
            os.chmod(self.path(name), 0o644)
        os.chmod(self.dir, 0o755)
        rows = [
            # S's owner and mode; what is planted in S: name -> (kind, link target, owner); who runs;
            # arguments; where the data land (relative to the top), None: refused with EACCES
            (root, 0o1777, {"out": ("link", "../home/victim", other)}, root, ["d", "../c", "k", "out"], None),
            (root, 0o1777, {"report": ("link", "../home/new", other)}, root, ["d", "../c", "k", "report"], None),
            (root, 0o1777, {"out": ("link", "../home/victim", third)}, other, ["e", "../p", "k", "out"], None),
            (root, 0o1777, {"a": ("link", "b", root), "b": ("link", "../home/victim", other)}, root,
             ["d", "../c", "k", "a"], None),
            (root, 0o1777, {"fifo": ("fifo", None, other)}, root, ["d", "../c", "k", "fifo"], None),
            (root, 0o1777, {"fifo": ("fifo", None, other)}, root, ["ea", "../p", "k", "fifo"], None),
            (root, 0o1777, {"dev": ("null device", None, other)}, root, ["d", "../c", "k", "dev"], None),
            (other, 0o1777, {"theirs": ("file", None, third)}, root, ["d", "../c", "k", "theirs"], None),
            (root, 0o1777, {"out": ("link", "mine", other)}, other, ["d", "../c", "k", "out"], "S/mine"),
            (root, 0o1777, {"out": ("link", "../home/victim", root)}, other, ["d", "../c", "k", "out"], "home/victim"),
            (root, 0o1775, {"out": ("link", "../home/victim", other)}, root, ["d", "../c", "k", "out"], "home/victim"),
            (root, 0o1777, {"fifo": ("fifo", None, root)}, root, ["d", "../c", "k", "fifo"], "S/fifo"),
            (root, 0o1777, {"mine": ("file", None, other)}, other, ["d", "../c", "k", "mine"], "S/mine"),
            (other, 0o1777, {"f": ("file", None, other)}, root, ["d", "../c", "k", "f"], "S/f"),
            (root, 0o777, {"theirs": ("file", None, third)}, other, ["d", "../c", "k", "theirs"], "S/theirs"),
            # Another's link at the stored name is replaced, not followed.
            (root, 0o1777, {"p": ("link", "../home/victim", other)}, root, ["d", "../c", "k"], "S/p"),
            # On the way to the output as well; bytes: refused with that reason.
            (root, 0o1777, {"work": ("link", "../home", other)}, root, ["d", "../c", "k", "work/report"], None),
            (root, 0o1777, {"work": ("link", "../home", other)}, root, ["d", "../c", "k", "./work/../work/victim"], None),
            (root, 0o1777, {"work": ("link", "../home", root)}, other, ["d", "../c", "k", "work/mine"], "home/mine"),
            (root, 0o1777, {"theirs": ("dir", None, other)}, root, ["d", "../c", "k", "theirs"], b"Is a directory"),
        ]
        for n, (owner, mode, planted, runner, args, lands) in enumerate(rows):
            with self.subTest(row=n, planted=planted, runner=runner, args=args):
                for d in ("S", "home"):
                    shutil.rmtree(self.path(d), ignore_errors=True)
                    os.mkdir(self.path(d))
                os.chown(self.path("home"), other, other)
                write(self.path("home", "victim"), b"kept")
                os.chown(self.path("home", "victim"), other, other)
                for name, (kind, target, uid) in planted.items():
                    path = self.path("S", name)
                    if kind == "link":
                        os.symlink(target, path)
                    elif kind == "dir":
                        os.mkdir(path)
                    elif kind == "fifo":
                        os.mkfifo(path, 0o666)
                    elif kind == "file":
                        write(path, b"theirs")
                    else:
                        try:
                            os.mknod(path, 0o666 | stat.S_IFCHR, os.stat("/dev/null").st_rdev)
                        except OSError as e:
                            self.skipTest("no device files here: %s" % e)
                    if kind != "link":
                        os.chmod(path, 0o666)
                    os.lchown(path, uid, uid)
                os.chown(self.path("S"), owner, owner)
                os.chmod(self.path("S"), mode)
                fifo = self.path("S", "fifo")
                reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK) if os.path.exists(fifo) else None
                before = snapshot(self.path("home"))
                listed = sorted(os.listdir(self.path("S")))
                result = self.zelno(*args, cwd=self.path("S"), other_user=runner == other, timeout=60)
                received = b""
                if reader is not None:
                    received = os.read(reader, 1000)
                    os.close(reader)
                if lands is None or isinstance(lands, bytes):
                    self.assertFails(result, 2, stderr_prefix=b"outfile open error: %s\n" % (lands or b"Permission denied"))
                    self.assertEqual((snapshot(self.path("home")), sorted(os.listdir(self.path("S"))), received),
                                     (before, listed, b""))
                else:
                    self.assertSucceeds(result, b"decrypted.")
                    self.assertEqual(received if lands == "S/fifo" else read(self.path(lands)), b"secret")

    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "Windows has no FIFOs")
    def test_fifo_replaced_before_the_open_is_refused(self):
        # What is opened is what was checked: a FIFO put in the place of the
        # one checked, while the open waits two seconds, gets nothing; a link
        # put there is not followed, so that the open reaches nothing else.
        write(self.path("f"), b"secret")
        self.assertSucceeds(self.zelno("e", "f", "k", "c"), b"encrypted.")
        out = os.path.realpath(self.path("out"))
        for put, reason in (("fifo", b"Resource temporarily unavailable"),
                            ("link", b"Too many levels of symbolic links")):
            with self.subTest(put=put):
                readers = []
                for name in ("out", "new"):
                    os.mkfifo(self.path(name))
                    readers.append(os.open(self.path(name), os.O_RDONLY | os.O_NONBLOCK))
                if put == "link":
                    os.symlink("new", self.path("link"))
                process = traced(["-P", out, "-e", "trace=openat", "-e", "inject=openat:delay_enter=2000000"],
                                 ["d", "c", "k", out], self.dir)

                def opening_out():  # stopped in openat of out; strace's own children come and go
                    for program in read("/proc/%d/task/%d/children" % (process.pid, process.pid)).decode().split():
                        try:
                            call = read("/proc/%s/syscall" % program).split()
                            # openat's number for the process's own machine (an emulator's is the host's)
                            if call[0] == {3: b"295", 183: b"56"}.get(elf_machine("/proc/%s/exe" % program), b"257"):
                                with open("/proc/%s/mem" % program, "rb") as mem:
                                    mem.seek(int(call[2], 16))
                                    if mem.read(len(out) + 1) == out.encode() + b"\0":
                                        return True
                        except PermissionError:
                            self.skipTest("the program's system calls are hidden from users other than root")
                        except OSError:
                            pass
                    return False

                deadline = time.time() + 30
                while not opening_out():
                    self.assertIsNone(process.poll(), "the run ended before it opened its output")
                    self.assertLess(time.time(), deadline)
                    time.sleep(0.002)
                os.rename(self.path("link" if put == "link" else "new"), out)
                stdout, stderr = process.communicate(timeout=60)
                self.assertEqual((process.returncode, stdout), (2, b""), stderr)
                self.assertTrue(stderr.startswith(b"outfile open error: " + reason + b"\n"), stderr)
                self.assertEqual([os.read(r, 100) for r in readers], [b"", b""])
                for r in readers:
                    os.close(r)
                for name in ("out", "new"):
                    if os.path.lexists(self.path(name)):
                        os.remove(self.path(name))

    @unittest.skipIf(WINDOWS, "Windows has no names for the program's own descriptors")
    def test_output_to_own_descriptors(self):
        # Written in place, never created, renamed or deleted; the success word
        # goes to standard error when standard output is the output.
        write(self.path("f"), b"plain bytes")
        self.assertSucceeds(self.zelno("e", "f", "k", "c"), b"encrypted.")
        with open(self.path("got"), "wb") as got:
            result = self.zelno("d", "c", "k", "/proc/self/fd/1", stdout=got)
        self.assertEqual((result.returncode, result.stderr), (0, b"decrypted.\n"))
        self.assertEqual(read(self.path("got")), b"plain bytes")
        result = self.zelno("d", "c", "k", "/proc/self/fd/1")  # a pipe
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, b"plain bytes", b"decrypted.\n"))
        with open(self.path("other"), "wb") as other:
            fd = other.fileno()
            self.assertSucceeds(self.zelno("d", "c", "k", "/proc/self/fd/%d" % fd, pass_fds=[fd]), b"decrypted.")
        self.assertEqual(read(self.path("other")), b"plain bytes")
        self.assertFails(self.zelno("d", "c", "k", "/proc/self/fd/9"), 2,
                         stderr_prefix=b"outfile open error: Bad file descriptor\n")
        with open(self.path("f"), "rb") as reading:  # open for reading only
            fd = reading.fileno()
            self.assertFails(self.zelno("d", "c", "k", "/proc/self/fd/%d" % fd, pass_fds=[fd]), 2,
                             stderr_prefix=b"outfile open error: Bad file descriptor\n")
        self.assertFails(self.zelno("d", "c", "k", "/proc/self/fd/1x"), 2,
                         stderr_prefix=b"outfile open error: No such file or directory\n")
        self.assertEqual(sorted(os.listdir(self.dir)), ["c", "f", "got", "other"])

    @unittest.skipIf(WINDOWS, "Windows has no names for the program's own descriptors")
    def test_no_message_lands_in_the_output(self):
        # A message meant for a standard stream that is the output goes to the
        # other one (here without a console when both are the output: then it
        # is dropped); a terminal that is the output is no file of data. The
        # caller's descriptor is duplicated, not closed: the success word
        # still reaches a terminal that was the output.
        write(self.path("f"), b"plain bytes")
        write(self.path("big"), os.urandom(64 << 10))
        for name in ("f", "big"):
            self.assertSucceeds(self.zelno("e", name, "k", name + ".c"), b"encrypted.")
        forged = bytearray(read(self.path("f.c")))
        forged[290] ^= 1  # the digest: the data are written before the check fails
        write(self.path("forged"), forged)

        def small_files():
            resource.setrlimit(resource.RLIMIT_FSIZE, (16 << 10, 16 << 10))

        pipe_read, pipe_write = os.pipe()
        terminal, terminal_side = os.openpty()
        rows = [
            # container, output, standard output, standard error, (code, on standard output, on standard
            # error, in the output); "file": one file, "pipe": a pipe to the test, "tty": a terminal
            ("f.c", "/proc/self/fd/1", "file", "file", (0, None, None, b"plain bytes")),
            ("forged", "/proc/self/fd/1", "pipe", "pipe", (3, b"plain bytes", b"infile data error.\n", None)),
            ("f.c", "/proc/self/fd/2", "pipe", "file", (0, b"decrypted.\n", None, b"plain bytes")),
            ("big.c", "/proc/self/fd/2", "pipe", "file", (2, b"outfile write error: File too large\n", None, None)),
            ("f.c", "/proc/thread-self/fd/%d" % pipe_write, "pipe", "pipe", (0, b"decrypted.\n", b"", None)),
            ("f.c", "/proc/self/fd/1", "tty", "pipe", (0, None, b"", b"plain bytesdecrypted.\r\n")),
        ]
        for container, output, out, err, (code, on_out, on_err, in_output) in rows:
            with self.subTest(container=container, output=output, out=out, err=err):
                with open(self.path("file"), "wb") as file:
                    streams = {"file": file, "pipe": subprocess.PIPE, "tty": terminal_side}
                    result = self.zelno("d", container, "k", output, stdout=streams[out], stderr=streams[err],
                                        pass_fds=[pipe_write], preexec_fn=small_files if container == "big.c" else None)
                self.assertEqual((result.returncode, result.stdout, result.stderr), (code, on_out, on_err))
                if in_output is not None and out == "tty":
                    got = b""
                    while len(got) < len(in_output) and select.select([terminal], [], [], 30)[0]:
                        got += os.read(terminal, 1000)
                    self.assertEqual(got, in_output)
                elif in_output is not None:
                    self.assertEqual(read(self.path("file")), in_output)
        os.close(pipe_write)
        self.assertEqual(os.read(pipe_read, 1000), b"plain bytes")
        for fd in (pipe_read, terminal, terminal_side):
            os.close(fd)

    @unittest.skipIf(WINDOWS, "Windows has no names for the program's own descriptors")
    def test_messages_go_to_the_console_when_both_streams_are_the_output(self):
        # zelno e f k /dev/fd/1 > c 2>&1 at a terminal: the container stays
        # whole and the words appear on the terminal.
        write(self.path("f"), b"plain bytes")
        script = ('"$@" e f k /dev/fd/1 > c 2>&1; "$@" d c wrong /dev/fd/1 > out 2>&1; echo "[exit $?]"; '
                  '"$@" d c k /dev/fd/1 > out 2>&1')
        child = pexpect.spawn("sh", ["-c", script, "sh"] + command(ZELNO), cwd=self.dir, timeout=30)
        child.expect_exact(b"encrypted.")
        child.expect_exact(b"infile data error.")
        child.expect_exact(b"hit any key....")
        child.send(b" ")
        child.expect_exact(b"[exit 3]")
        child.expect_exact(b"decrypted.")
        child.expect(pexpect.EOF)
        child.close()
        self.assertEqual(child.exitstatus, 0)
        self.assertEqual(read(self.path("out")), b"plain bytes")
        self.assertSucceeds(self.zelno("d", "c", "k", "back"), b"decrypted.")
        self.assertEqual(read(self.path("back")), b"plain bytes")

    @unittest.skipIf(WINDOWS, "Windows has no names for the program's own descriptors")
    def test_dev_stdout_in_a_private_mount_namespace(self):
        # /dev/stdout as the system has it, a link to /proc/self/fd/1, on a
        # private /dev that no other process sees; standard output is a file.
        tried = [subprocess.run(c + ["true"], capture_output=True) if have("unshare") else None
                 for c in (["unshare", "-m"], ["unshare", "-r", "-m"])]
        unshare = next((t.args[:-1] for t in tried if t is not None and t.returncode == 0), None)
        if unshare is None:
            self.skipTest("no mount namespace of our own: %r" % [t and t.stderr.strip() for t in tried])
        write(self.path("f"), b"plain bytes")
        self.assertSucceeds(self.zelno("e", "f", "k", "c"), b"encrypted.")
        script = ('mount -t tmpfs tmpfs /dev && ln -s /proc/self/fd/1 /dev/stdout || exit 99; '
                  '"$@" d c k /dev/stdout > got; echo $? > code; readlink /dev/stdout > link; ls -A /dev > dev')
        result = subprocess.run(unshare + ["sh", "-c", script, "sh"] + command(ZELNO), cwd=self.dir, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=60)
        if result.returncode == 99:
            self.skipTest("no tmpfs on /dev in the namespace: %r" % result.stderr)
        self.assertEqual((result.returncode, result.stderr), (0, b"decrypted.\n"))
        self.assertEqual([read(self.path(n)) for n in ("code", "got", "link", "dev")],
                         [b"0\n", b"plain bytes", b"/proc/self/fd/1\n", b"stdout\n"])

    @unittest.skipIf(WINDOWS, "Windows has no private root")
    @unittest.skipIf(EMULATED, "the emulator is not in the private root")
    def test_outputs_directly_under_the_root(self):
        # In a private root (the scratch directory, through chroot): the
        # working file lies in "/" itself.
        if os.geteuid() != 0 or not have("chroot"):
            self.skipTest("a private root needs root and chroot")
        shutil.copy(ZELNO, self.path("zelno"))
        write(self.path("p"), b"at the root")
        for args, word in ((["e", "/p", "k", "/out"], b"encrypted."), (["d", "/out", "k", "/new"], b"decrypted."),
                           (["d", "/out", "k"], b"decrypted.")):
            result = subprocess.run(["chroot", self.dir, "/zelno", *args], stdin=subprocess.DEVNULL,
                                    capture_output=True, timeout=60)
            if result.returncode == 127:  # a build that needs shared libraries
                self.skipTest("the program does not start in a private root: %r" % result.stderr)
            self.assertSucceeds(result, word)
        self.assertEqual(sorted(os.listdir(self.dir)), ["new", "out", "p", "zelno"])
        self.assertEqual([read(self.path(n)) for n in ("new", "p")], [b"at the root"] * 2)

    def test_existing_file_of_the_stored_name_is_replaced(self):
        write(self.path("f"), b"new content")
        self.assertSucceeds(self.zelno("ea", "f", "k", "c"), b"encrypted.")
        write(self.path("f"), b"older content that is longer")
        self.assertSucceeds(self.zelno("d", "c", "k"), b"decrypted.")
        self.assertEqual(read(self.path("f")), b"new content")

    @unittest.skipIf(WINDOWS, "Windows files have no permission bits")
    def test_replaced_file_keeps_its_permissions_and_owner(self):
        # Under an explicit name; a file restored under the name its sender
        # chose is a new file instead, with the mode of a plain create (an
        # executable run.sh stays no executable with the sender's content).
        # A hard link to the old file keeps the old content: the rename
        # splits them.
        write(self.path("f"), b"new content")
        self.assertSucceeds(self.zelno("ea", "f", "k", "c"), b"encrypted.")
        root = os.geteuid() == 0
        for output, mode, expected, kept in (([], 0o755, 0o644, False), (["out"], 0o640, 0o640, True)):
            with self.subTest(output=output):
                name = self.path(*(output or ["f"]))
                write(name, b"old")
                os.chmod(name, mode)
                os.link(name, self.path("hard"))
                if root:
                    os.chown(name, 65534, 65534)
                with umask(0o022):
                    self.assertSucceeds(self.zelno("d", "c", "k", *output), b"decrypted.")
                st = os.stat(name)
                self.assertEqual((read(name), stat.S_IMODE(st.st_mode)), (b"new content", expected))
                if root:
                    self.assertEqual((st.st_uid, st.st_gid), (65534, 65534) if kept else (0, 0))
                self.assertEqual(read(self.path("hard")), b"old")
                os.remove(self.path("hard"))

    def test_stored_name_checked_before_it_is_published(self):
        # What lies at the stored name passes the checks a typed name passes
        # at the open, once the name is known: else "outfile name error" with
        # the system's reason, and nothing is published.
        write(self.path("f"), b"new content")
        self.assertSucceeds(self.zelno("ea", "f", "k", "c"), b"encrypted.")
        os.chmod(self.path("c"), 0o644)
        os.chmod(self.dir, 0o755)
        root, other, third = 0, OTHER_USER, OTHER_USER - 1
        me = os.geteuid()
        rows = [
            # what is at "f": (a directory or a file's mode, owner); the directory's owner and mode; who runs;
            # the reason
            (("dir", me), me, 0o755, me, b"Is a directory"),
            (("dir", third), root, 0o1777, other, b"Is a directory"),
            ((0o444, me), me, 0o755, me, b"Permission denied"),  # read-only: for root only on Windows
            ((0o444, other), root, 0o777, other, b"Permission denied"),
            ((0o666, third), root, 0o1777, other, b"Permission denied"),  # another's file in a shared directory
            ((0o666, third), other, 0o1777, root, b"Permission denied"),  # root too
            ((0o666, root), root, 0o1777, other, b"Operation not permitted"),  # not ours to rename over
        ]
        for (what, owner), dir_owner, dir_mode, runner, reason in rows:
            with self.subTest(what=what, owner=owner, dir_mode=oct(dir_mode), runner=runner):
                if (owner, dir_owner, runner) != (me, me, me) and (me != 0 or WINDOWS):
                    self.skipTest("Windows has no other users here" if WINDOWS else "needs files of other users")
                if what == 0o444 and runner == me == 0 and not WINDOWS:
                    self.skipTest("root may write every file")
                work = self.path("w")
                shutil.rmtree(work, ignore_errors=True)
                os.mkdir(work)
                if what == "dir":
                    os.mkdir(os.path.join(work, "f"))
                else:
                    write(os.path.join(work, "f"), b"kept")
                    os.chmod(os.path.join(work, "f"), what)
                if me == 0:
                    os.chown(os.path.join(work, "f"), owner, owner)
                    os.chown(work, dir_owner, dir_owner)
                os.chmod(work, dir_mode)
                before = snapshot(work)
                result = self.zelno("d", "../c", "k", cwd=work, other_user=runner != me)
                self.assertFails(result, 2, stderr_prefix=b"outfile name error: " + reason + b"\n")
                self.assertEqual(snapshot(work), before)

    @unittest.skipUnless(WINDOWS, "Linux names have no short aliases")
    def test_short_name_of_another_file_is_refused(self):
        # A stored name that is the short (8.3) name of a file of another
        # name would replace that file; the name itself in other letters is
        # that file's own.
        write(self.path("longfilename_sentinel.txt"), b"sentinel")
        write(self.path("plain"), b"restored")
        listing = subprocess.run(EMULATOR + ["cmd", "/c", "dir", "/x"], cwd=self.dir, stdout=subprocess.PIPE,
                                 stderr=subprocess.DEVNULL, check=True).stdout
        alias = re.search(rb"(\S+) +longfilename_sentinel\.txt", listing).group(1).decode()
        for name, result, content in ((alias, (3, b"infile name error.\n"), b"sentinel"),
                                      ("LONGFILENAME_SENTINEL.txt", (0, b"decrypted.\n"), b"restored")):
            with self.subTest(name=name):
                tool_container(self.path("c"), 0x36, "k", name, self.path("plain"))
                ran = self.zelno("d", "c", "k")
                self.assertEqual((ran.returncode, ran.stdout), result)
                self.assertEqual(sorted(os.listdir(self.dir)), ["c", "longfilename_sentinel.txt", "plain"])
                self.assertEqual(read(self.path("longfilename_sentinel.txt")), content)

    def test_restored_into_the_current_directory(self):
        os.mkdir(self.path("a"))
        os.mkdir(self.path("b"))
        write(self.path("a", "f"), b"abc")
        self.assertSucceeds(self.zelno("e", "f", "k", cwd=self.path("a")), b"encrypted.")
        self.assertSucceeds(self.zelno("d", "../a/f.znx", "k", cwd=self.path("b")), b"decrypted.")
        self.assertEqual(read(self.path("b", "f")), b"abc")

    def test_surroundings_of_the_container_do_not_matter(self):
        write(self.path("f"), b"surrounded")
        self.assertSucceeds(self.zelno("e", "f", "k", "c"), b"encrypted.")
        container = read(self.path("c"))
        # A magic with a zero after it is none; the file is read 65536 bytes at
        # a time, and one such ends before, on or after a boundary, so that the
        # container's own magic starts up to three bytes before it.
        for decoys in (b"junk" + MAGIC + b"\0" + b"more junk", *(b"j" * (end - 4) + MAGIC + b"\0"
                                                                for end in range(65533, 65538))):
            with self.subTest(decoys=len(decoys)):
                write(self.path("wrapped"), decoys + container + b"trailing bytes after the last block")
                os.remove(self.path("f"))
                self.assertSucceeds(self.zelno("d", "wrapped", "k"), b"decrypted.")
                self.assertEqual(read(self.path("f")), b"surrounded")

    def test_old_temporary_name_is_just_a_name(self):
        write(self.path("_zelno_.tmp"), b"abc")
        self.assertSucceeds(self.zelno("e", "_zelno_.tmp", "k", "c"), b"encrypted.")
        os.remove(self.path("_zelno_.tmp"))
        self.assertSucceeds(self.zelno("d", "c", "k"), b"decrypted.")
        self.assertEqual(read(self.path("_zelno_.tmp")), b"abc")


class EarlierFormats(WorkdirTest):
    """Containers of every format version, written by independent code."""

    @unittest.skipUnless(have("openssl"), "openssl not installed")
    def test_aes_containers_from_openssl(self):
        for flags in (0x02, 0x06, 0x0E, 0x16, 0x22, 0x26, 0x36):
            for size in (0, 5, 16, 33):
                for n, key in enumerate((b"k", b"a 24 byte key..........", b"K" * 32)):
                    # Layout B before 1.1.0 recorded the size in clear only.
                    meta_size = 0 if flags & 0x10 and n == 1 else None
                    with self.subTest(flags=hex(flags), size=size, key=key):
                        plain = os.urandom(size)
                        stamp = 123456 if flags & 0x08 else 0
                        write(self.path("c"), openssl_aes_container(flags, key, b"restored", plain,
                                                                    mtime=99999, stamp=stamp, meta_size=meta_size))
                        self.assertSucceeds(self.zelno("d", "c", key), b"decrypted.")
                        self.assertEqual(read(self.path("restored")), plain)
                        self.assertEqual(os.stat(self.path("restored")).st_mtime, 99999)
                        os.remove(self.path("restored"))

    def test_twofish_containers_of_every_layout(self):
        plain = os.urandom(50)
        write(self.path("plain"), plain)
        for flags in (0x01, 0x05, 0x0D, 0x15, 0x21, 0x25, 0x35):
            with self.subTest(flags=hex(flags)):
                tool_container(self.path("c"), flags, "twofish key", "out", self.path("plain"), mtime=4242,
                               stamp=7 if flags & 0x08 else 0)
                self.assertSucceeds(self.zelno("d", "c", "twofish key"), b"decrypted.")
                self.assertEqual(read(self.path("out")), plain)
                self.assertEqual(os.stat(self.path("out")).st_mtime, 4242)
                os.remove(self.path("out"))


class SizeUnderTheDigest(WorkdirTest):
    def test_no_bit_of_the_size_in_clear_goes_unnoticed(self):
        for size in (12, 17):
            write(self.path("p"), os.urandom(size))
            self.assertSucceeds(self.zelno("ea", "p", "k", "c"), b"encrypted.")
            good = read(self.path("c"))
            for bit in range(32):
                with self.subTest(size=size, bit=bit):
                    damaged = bytearray(good)
                    damaged[4 + bit // 8] ^= 1 << bit % 8
                    write(self.path("c"), damaged)
                    self.assertFails(self.zelno("d", "c", "k", "out"), 3, stdout=b"infile data error.\n")
                    self.assertEqual(sorted(os.listdir(self.dir)), ["c", "p"])

    def test_earlier_containers_read_as_before(self):
        # Without the size in MetaBlock a size grown into the zero fill still
        # passes: the size in clear is all such a container has.
        write(self.path("p"), b"twelve bytes")
        damaged = bytearray(tool_container(self.path("c"), 0x36, "k", "p", self.path("p"), meta_size=0))
        damaged[4] ^= 1
        write(self.path("c"), damaged)
        self.assertSucceeds(self.zelno("d", "c", "k", "out"), b"decrypted.")
        self.assertEqual(read(self.path("out")), b"twelve bytes\0")


    @unittest.skipUnless(have("strace"), "strace not installed")
    @unittest.skipIf(WINDOWS, "wine reads files through its server")
    def test_wrong_key_known_from_the_header_and_the_last_block(self):
        # MetaBlock decrypted on the last data block, read from the end:
        # nothing of the data is read or written under a wrong key, whatever
        # the cipher or the layout (layout A has MetaBlock first anyway).
        with open(self.path("p"), "wb") as f:
            f.truncate(64 << 20)
        self.assertSucceeds(self.zelno("e", "p", "k", "b"), b"encrypted.")
        tool_container(self.path("a"), 0x26, "k", "p", self.path("p"))
        for container in ("a", "b"):
            with self.subTest(container=container):
                result = subprocess.run(["strace", "-f", "-o", self.path("reads"), "-P",
                                         os.path.realpath(self.path(container)), "-e", "trace=read,pread64",
                                         *command(ZELNO), "d", container, "wrong", "out"],
                                        cwd=self.dir, stdin=subprocess.DEVNULL, capture_output=True,
                                        env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))
                self.assertEqual((result.returncode, result.stdout), (3, b"infile data error.\n"), result.stderr)
                self.assertEqual(sorted(os.listdir(self.dir)), ["a", "b", "p", "reads"])
                read_bytes = sum(int(n) for n in re.findall(rb"\) = (\d+)\n", read(self.path("reads"))))
                self.assertLess(read_bytes, 128 << 10)


class SelfDecryptingExecutables(WorkdirTest):
    def make(self, word="s", key="exe key", content=b"carried inside"):
        write(self.path("doc"), content)
        os.utime(self.path("doc"), (1, 1600000000))
        self.assertSucceeds(self.zelno(word, "doc", key), b"encrypted.")
        os.remove(self.path("doc"))
        return self.path("doc.exe")

    def test_started_from_another_directory_and_through_path(self):
        for word in ("s", "sa"):
            with self.subTest(word=word):
                exe = self.make(word)
                os.mkdir(self.path("elsewhere"))
                result = run(["exe key"], self.path("elsewhere"), program=exe)
                self.assertSucceeds(result, b"decrypted.")
                self.assertEqual(read(self.path("elsewhere", "doc")), b"carried inside")
                self.assertEqual(os.stat(self.path("elsewhere", "doc")).st_mtime, 1600000000)
                env = dict(os.environ, PATH=self.dir + os.pathsep + os.environ.get("PATH", ""))
                os.mkdir(self.path("viapath"))
                result = run(["exe key", "named"], self.path("viapath"), program="doc.exe", env=env)
                self.assertSucceeds(result, b"decrypted.")
                self.assertEqual(read(self.path("viapath", "named")), b"carried inside")
                for d in ("elsewhere", "viapath"):
                    shutil.rmtree(self.path(d))
                os.remove(exe)

    def test_in_a_deep_folder(self):
        # Paths past 260 bytes (the current folder) and past 1024 UTF-16 units
        # (the program's folder): the program and a self-decrypting
        # executable find themselves, and an output is made and replaced.
        here = self.path("\u0434" * 120)
        deep = os.path.join(here, *["\u0434" * 120] * 8)
        os.makedirs(deep)
        program = shutil.copy(ZELNO, deep)
        write(os.path.join(here, "doc"), b"deep")
        exe = os.path.join(deep, "doc.exe")
        for _ in range(2):
            self.assertSucceeds(run(["sa", "doc", "k", os.path.relpath(exe, here)], here, program=program),
                                b"encrypted.")
        os.remove(os.path.join(here, "doc"))
        self.assertSucceeds(run(["k"], here, program=exe), b"decrypted.")
        self.assertEqual(read(os.path.join(here, "doc")), b"deep")

    def test_wrong_key_leaves_nothing(self):
        exe = self.make()
        before = snapshot(self.dir)
        result = run(["not the key"], self.dir, program=exe)
        self.assertFails(result, 3, stdout=b"infile data error.\n")
        self.assertEqual(snapshot(self.dir), before)

    def test_read_with_d(self):
        exe = self.make("sa")
        self.assertSucceeds(self.zelno("d", exe, "exe key"), b"decrypted.")
        self.assertEqual(read(self.path("doc")), b"carried inside")

    def test_started_without_arguments_asks_for_the_key(self):
        exe = self.make()
        argv = command(exe)
        child = pexpect.spawn(argv[0], argv[1:], cwd=self.dir, timeout=20)
        child.expect(on_console(b"enter key:"))
        child.send(b"exe key\r")
        child.expect(on_console(b"decrypted."))
        child.expect(pexpect.EOF)
        child.close()
        self.assertEqual(child.exitstatus, 0)
        self.assertEqual(read(self.path("doc")), b"carried inside")

    def test_cannot_encrypt(self):
        exe = self.make()
        write(self.path("other"), b"x")
        result = run(["e", "other"], self.dir, program=exe)
        self.assertFails(result, 3, stdout=b"infile data error.\n")
        self.assertFalse(os.path.exists(self.path("other.znx")))


if __name__ == "__main__":
    unittest.main()
