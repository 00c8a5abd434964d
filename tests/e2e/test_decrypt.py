"""Restoring files from containers and self-decrypting executables."""

import os
import shutil
import time
import unittest

import pexpect

from support import (MAGIC, ZELNO, WorkdirTest, command, have, openssl_aes_container, read, run, snapshot,
                     tool_container, write)


class RoundTrips(WorkdirTest):
    def test_every_size_restores_name_time_and_bytes(self):
        for word in ("e", "ea"):
            for size in (0, 1, 15, 16, 17, 1 << 20, (9 << 20) + 3):
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
        # Checking a container without keeping its plaintext.
        self.assertSucceeds(self.zelno("d", "c", "k", "/dev/null"), b"decrypted.")
        self.assertFails(self.zelno("d", "c", "wrong", "/dev/null"), 3, stdout=b"infile data error.\n")
        os.mkdir(self.path("dir"))
        self.assertFails(self.zelno("d", "c", "k", "dir"), 2, stderr_prefix=b"outfile open error: Is a directory\n")
        self.assertEqual(sorted(os.listdir(self.dir)), ["c", "dir", "f"])
        self.assertTrue(os.path.exists("/dev/null"))

    def test_existing_file_of_the_stored_name_is_replaced(self):
        write(self.path("f"), b"new content")
        self.assertSucceeds(self.zelno("ea", "f", "k", "c"), b"encrypted.")
        write(self.path("f"), b"older content that is longer")
        self.assertSucceeds(self.zelno("d", "c", "k"), b"decrypted.")
        self.assertEqual(read(self.path("f")), b"new content")

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
        child.expect_exact(b"enter key:")
        child.send(b"exe key\r")
        child.expect_exact(b"decrypted.")
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
