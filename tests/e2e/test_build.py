"""The built program as it ships: static, so that it starts on any Linux
machine of its processor family inside every self-decrypting executable;
small; and interchangeable with the builds for the other targets."""

import os
import random
import shutil
import struct
import subprocess
import unittest

from support import (BUILD_TYPE, EMULATED, PEERS, SANITIZE, ZELNO, WorkdirTest, have, read,
                     run, write)


def elf_class(path):
    """32 or 64, from the identification bytes of an ELF file."""
    ident = read(path)[:5]
    if ident[:4] != b"\x7fELF":
        raise AssertionError("%s is not an ELF file" % path)
    return {1: 32, 2: 64}[ident[4]]


def section_names(path):
    """The names in the section header table of a little-endian ELF file."""
    data = read(path)
    if elf_class(path) == 64:
        (shoff,) = struct.unpack_from("<Q", data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x3A)
        offset_field = "<Q", 0x18
    else:
        (shoff,) = struct.unpack_from("<I", data, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x2E)
        offset_field = "<I", 0x10

    def header(i):
        at = shoff + i * shentsize
        (name,) = struct.unpack_from("<I", data, at)
        (offset,) = struct.unpack_from(offset_field[0], data, at + offset_field[1])
        return name, offset

    strings = header(shstrndx)[1]
    names = []
    for i in range(shnum):
        start = strings + header(i)[0]
        names.append(data[start:data.index(b"\0", start)].decode())
    return names


def program_header_types(path):
    """The types of the entries of the program header table."""
    data = read(path)
    if elf_class(path) == 64:
        (phoff,) = struct.unpack_from("<Q", data, 0x20)
        phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
    else:
        (phoff,) = struct.unpack_from("<I", data, 0x1C)
        phentsize, phnum = struct.unpack_from("<HH", data, 0x2A)
    return [struct.unpack_from("<I", data, phoff + i * phentsize)[0] for i in range(phnum)]


PT_DYNAMIC, PT_INTERP = 2, 3


@unittest.skipIf(SANITIZE, "sanitizer builds link the sanitizer runtimes")
class SelfContained(WorkdirTest):
    def test_static_with_no_loader_and_no_shared_library(self):
        types = program_header_types(ZELNO)
        self.assertNotIn(PT_INTERP, types)
        self.assertNotIn(PT_DYNAMIC, types)

    @unittest.skipUnless(BUILD_TYPE == "Release", "only release builds are stripped")
    def test_release_build_is_stripped_and_small(self):
        self.assertNotIn(".symtab", section_names(ZELNO))
        self.assertLess(os.path.getsize(ZELNO), 1024 * 1024)

    @unittest.skipIf(EMULATED, "the emulator does not live in the empty root")
    @unittest.skipUnless(have("unshare") and have("chroot") and os.geteuid() == 0,
                         "needs unshare, chroot and root")
    def test_self_decrypting_executable_starts_in_an_empty_root(self):
        """The root holds the executable alone, in /bin, and /proc where
        the program asks the kernel for its own file; without /proc it
        finds itself along PATH. The file is restored into /."""
        write(self.path("doc.txt"), b"restored from nothing")
        os.utime(self.path("doc.txt"), (1, 1500000000))
        self.assertSucceeds(self.zelno("sa", "doc.txt", "root key"), b"encrypted.")
        chroot = shutil.which("chroot")
        cases = {
            "with /proc": [shutil.which("unshare"), "-m", "--propagation", "private", "sh", "-c",
                           'mount -t proc proc "$0/proc" && exec "$1" "$0" /bin/doc.exe "root key"'],
            "along PATH": [chroot],
        }
        for what, launch in cases.items():
            with self.subTest(what):
                root = self.path(what.replace(" ", "-").replace("/", ""))
                os.makedirs(os.path.join(root, "bin"))
                if what == "with /proc":
                    os.mkdir(os.path.join(root, "proc"))
                    args = launch + [root, chroot]
                else:
                    args = launch + [root, "doc.exe", "root key"]
                shutil.copy(self.path("doc.txt.exe"), os.path.join(root, "bin", "doc.exe"))
                result = subprocess.run(args, env={"PATH": "/bin"}, stdin=subprocess.DEVNULL,
                                        capture_output=True, timeout=60)
                if result.returncode != 0 and result.stderr.startswith((b"unshare:", b"mount:")):
                    self.skipTest("no private /proc here: %s" % result.stderr.decode().strip())
                self.assertSucceeds(result, b"decrypted.")
                self.assertEqual(read(os.path.join(root, "doc.txt")), b"restored from nothing")
                self.assertEqual(os.stat(os.path.join(root, "doc.txt")).st_mtime, 1500000000)


class OtherTargets(WorkdirTest):
    """The builds for the other targets (another word size or processor)
    write the same bytes as this one and read each other's containers."""

    # Past 2038 and past the signed 32-bit range: every build uses 64-bit times.
    MTIME = 3_000_000_000
    MODE = 0o640
    KEYS = ("k", "a key of twenty bytes", "thirty-two bytes of key material")

    def setUp(self):
        super().setUp()
        # Another build of the same target counts too (an earlier version's,
        # to show that a change keeps the containers as they were).
        self.peers = [p for p in PEERS if os.path.isfile(p) and not os.path.samefile(p, ZELNO)]
        if not self.peers:
            self.skipTest("no build of another target")

    def encrypt(self, program, word, data, key, where):
        """Encrypts data as report.txt in a fresh directory; returns the
        container (without the program image of a self-decrypting
        executable) and the output's path."""
        os.mkdir(where)
        plain = os.path.join(where, "report.txt")
        write(plain, data)
        os.chmod(plain, self.MODE)
        os.utime(plain, (self.MTIME, self.MTIME))
        self.assertSucceeds(run([word, "report.txt", key], where, program=program), b"encrypted.")
        self_decrypting = word.startswith("s")
        output = os.path.join(where, "report.txt" + (".exe" if self_decrypting else ".znx"))
        written = read(output)
        if not self_decrypting:
            return written, output
        image = read(program)
        self.assertEqual(written[:len(image)], image)
        return written[len(image):], output

    def restore(self, program, container, key, where, data):
        os.mkdir(where)
        self.assertSucceeds(run(["d", container, key], where, program=program), b"decrypted.")
        restored = os.path.join(where, "report.txt")
        self.assertEqual(read(restored), data)
        self.assertEqual(os.stat(restored).st_mtime, self.MTIME)

    def test_same_containers_and_each_reads_the_others(self):
        rng = random.Random(32)
        # The largest size spans more than one read chunk of the pipelines.
        sizes = (0, 1, 17, 300_000)
        cases = [(word, size, peer) for word in ("e", "ea", "s", "sa") for size in sizes for peer in self.peers]
        for n, (word, size, peer) in enumerate(cases):
            key = self.KEYS[n % len(self.KEYS)]
            with self.subTest(word=word, size=size, key_length=len(key), peer=peer):
                data = rng.randbytes(size)
                own, own_output = self.encrypt(ZELNO, word, data, key, self.path("own%d" % n))
                theirs, peer_output = self.encrypt(peer, word, data, key, self.path("peer%d" % n))
                if own != theirs:
                    first = next((i for i, (a, b) in enumerate(zip(own, theirs)) if a != b), None)
                    self.fail("containers of %d and %d bytes, first difference at %s"
                              % (len(own), len(theirs), first))
                self.restore(ZELNO, peer_output, key, self.path("own-reads%d" % n), data)
                self.restore(peer, own_output, key, self.path("peer-reads%d" % n), data)


if __name__ == "__main__":
    unittest.main()
