"""The built program as it ships: self-contained enough to start on other
machines inside every self-decrypting executable, small, and interchangeable
with the build for the other word size."""

import os
import random
import struct
import subprocess
import unittest

from support import BUILD_TYPE, PEER, SANITIZE, ZELNO, WorkdirTest, have, read, run, write


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


@unittest.skipIf(SANITIZE, "sanitizer builds link the sanitizer runtimes")
class SelfContained(unittest.TestCase):
    @unittest.skipUnless(have("ldd"), "ldd is missing")
    def test_only_the_c_library_is_shared(self):
        listing = subprocess.run(["ldd", ZELNO], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                 check=False).stdout.decode()
        names = {os.path.basename(line.split()[0]) for line in listing.splitlines() if line.strip()}
        vdso_and_loader = {"linux-vdso.so.1", "linux-gate.so.1", "ld-linux-x86-64.so.2", "ld-linux.so.2"}
        self.assertIn("libc.so.6", names, listing)
        self.assertEqual(names - vdso_and_loader - {"libc.so.6"}, set(), listing)

    @unittest.skipUnless(BUILD_TYPE == "Release", "only release builds are stripped")
    def test_release_build_is_stripped_and_small(self):
        self.assertNotIn(".symtab", section_names(ZELNO))
        self.assertLess(os.path.getsize(ZELNO), 256 * 1024)


@unittest.skipUnless(PEER and os.path.isfile(PEER), "no build for the other word size")
class OtherWordSize(WorkdirTest):
    """This build and the one for the other word size write the same bytes and
    read each other's containers."""

    # Past 2038 and past the signed 32-bit range: both builds use 64-bit times.
    MTIME = 3_000_000_000
    MODE = 0o640
    KEYS = ("k", "a key of twenty bytes", "thirty-two bytes of key material")

    def test_the_peer_has_the_other_word_size(self):
        self.assertEqual({elf_class(ZELNO), elf_class(PEER)}, {32, 64})

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
        cases = [(word, size) for word in ("e", "ea", "s", "sa") for size in sizes]
        for n, (word, size) in enumerate(cases):
            key = self.KEYS[n % len(self.KEYS)]
            with self.subTest(word=word, size=size, key_length=len(key)):
                data = rng.randbytes(size)
                own, own_output = self.encrypt(ZELNO, word, data, key, self.path("own%d" % n))
                peer, peer_output = self.encrypt(PEER, word, data, key, self.path("peer%d" % n))
                if own != peer:
                    first = next((i for i, (a, b) in enumerate(zip(own, peer)) if a != b), None)
                    self.fail("containers of %d and %d bytes, first difference at %s"
                              % (len(own), len(peer), first))
                self.restore(ZELNO, peer_output, key, self.path("own-reads%d" % n), data)
                self.restore(PEER, own_output, key, self.path("peer-reads%d" % n), data)


if __name__ == "__main__":
    unittest.main()
