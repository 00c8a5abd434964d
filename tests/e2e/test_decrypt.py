"""Restoring files from containers and self-decrypting executables."""

import os
import shutil
import stat
import subprocess
import time
import unittest

import pexpect

from support import (MAGIC, WINDOWS, ZELNO, WorkdirTest, command, have, on_console, openssl_aes_container, read,
                     run, snapshot, tool_container, umask, write)


class RoundTrips(WorkdirTest):
    def test_every_size_restores_name_time_and_bytes(self):
        for word in ("e", "ea"):
            for size in (0, 1, 15, 16, 17, 1 << 20, (9 << 20) + 99):
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
        ]
        for n, (links, name, lands) in enumerate(cases):
            with self.subTest(name=name):
                if WINDOWS and name == "dangling":
                    self.skipTest("wine shows a dangling link as no file at all")
                row = self.path("row%d" % n)
                os.makedirs(os.path.join(row, "sub"))
                for old in ("target", "sub/target"):
                    write(os.path.join(row, old), b"old")
                for link, held in links.items():
                    os.symlink(held, os.path.join(row, link))
                self.assertSucceeds(self.zelno("d", "../c", "k", name, cwd=row), b"decrypted.")
                self.assertEqual({link: os.readlink(os.path.join(row, link)) for link in links}, links)
                files = {os.path.relpath(os.path.join(top, f), row): read(os.path.join(top, f))
                         for top, _, names in os.walk(row) for f in names
                         if not os.path.islink(os.path.join(top, f))}
                self.assertEqual(files, {"target": b"old", "sub/target": b"old", lands: b"abc"})

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
        self.assertEqual(sorted(os.listdir(self.dir)), ["c", "f", "got", "other"])

    @unittest.skipIf(WINDOWS, "Windows has no names for the program's own descriptors")
    def test_dev_stdout_in_a_private_mount_namespace(self):
        # /dev/stdout as the system has it, a link to /proc/self/fd/1, on a
        # private /dev that no other process sees; standard output is a file.
        unshare = next((c for c in (["unshare", "-m"], ["unshare", "-r", "-m"])
                        if have("unshare") and subprocess.run(c + ["true"], capture_output=True).returncode == 0),
                       None)
        if unshare is None:
            self.skipTest("no mount namespace of our own (unshare)")
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

    def test_existing_file_of_the_stored_name_is_replaced(self):
        write(self.path("f"), b"new content")
        self.assertSucceeds(self.zelno("ea", "f", "k", "c"), b"encrypted.")
        write(self.path("f"), b"older content that is longer")
        self.assertSucceeds(self.zelno("d", "c", "k"), b"decrypted.")
        self.assertEqual(read(self.path("f")), b"new content")

    @unittest.skipIf(WINDOWS, "Windows files have no permission bits")
    def test_replaced_file_keeps_its_permissions_and_owner(self):
        # Under the stored name and under an explicit one. A hard link to the
        # old file keeps the old content: the rename splits them.
        write(self.path("f"), b"new content")
        self.assertSucceeds(self.zelno("ea", "f", "k", "c"), b"encrypted.")
        root = os.geteuid() == 0
        for output, mode in (([], 0o600), (["out"], 0o640)):
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
                self.assertEqual((read(name), stat.S_IMODE(st.st_mode)), (b"new content", mode))
                if root:
                    self.assertEqual((st.st_uid, st.st_gid), (65534, 65534))
                self.assertEqual(read(self.path("hard")), b"old")
                os.remove(self.path("hard"))

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
        decoys = b"junk" + MAGIC + b"\0" + b"more junk"
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
                for key in (b"k", b"a 24 byte key..........", b"K" * 32):
                    with self.subTest(flags=hex(flags), size=size, key=key):
                        plain = os.urandom(size)
                        stamp = 123456 if flags & 0x08 else 0
                        write(self.path("c"), openssl_aes_container(flags, key, b"restored", plain,
                                                                    mtime=99999, stamp=stamp))
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
                               stamp=7)
                self.assertSucceeds(self.zelno("d", "c", "twofish key"), b"decrypted.")
                self.assertEqual(read(self.path("out")), plain)
                self.assertEqual(os.stat(self.path("out")).st_mtime, 4242)
                os.remove(self.path("out"))


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
