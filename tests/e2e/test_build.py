"""The built program as it ships: static, so that it starts on any Linux
machine of its processor family inside every self-decrypting executable;
small; and interchangeable with the builds for the other targets."""

import os
import random
import shutil
import struct
import subprocess
import sys
import unittest

from support import (BUILD_TYPE, EMULATED, OTHER_USER, PEERS, SANITIZE, WINDOWS, ZELNO, WorkdirTest, have,
                     read, reported_mode, run, tool_container, write)

# Starts a program in a root of its own, without /proc: argv[1] "path" has
# the kernel execute the program's path in the root, "descriptor" a
# descriptor of its file (the kernel then names /dev/fd/N, nothing in that
# root); then the root, that path, the working directory, and the argument
# vector.
START_IN_ROOT = """import os, sys
how, root, program, cwd = sys.argv[1:5]
fd = os.open(root + program, os.O_RDONLY)
os.chroot(root)
os.chdir(cwd)
os.execve(fd if how == "descriptor" else program, sys.argv[5:], os.environ)
"""


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


def pe_headers(path):
    """The file header, the optional header and the section table of a
    Windows program: (machine, optional-header magic, subsystem, symbol
    count, sections as (name, virtual address, virtual size, file offset),
    data directories as (address, size))."""
    data = read(path)
    (at,) = struct.unpack_from("<I", data, 0x3C)
    if data[:2] != b"MZ" or data[at:at + 4] != b"PE\0\0":
        raise AssertionError("%s is not a Windows program" % path)
    machine, sections, _, _, symbols, optional_size, _ = struct.unpack_from("<HHIIIHH", data, at + 4)
    optional = at + 24
    (magic,) = struct.unpack_from("<H", data, optional)
    (subsystem,) = struct.unpack_from("<H", data, optional + 68)
    directories_at = optional + (96 if magic == 0x10B else 112)
    (count,) = struct.unpack_from("<I", data, directories_at - 4)
    directories = [struct.unpack_from("<II", data, directories_at + 8 * i) for i in range(count)]
    table = optional + optional_size
    section_list = []
    for i in range(sections):
        name, virtual_size, address, _, offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
        section_list.append((name.rstrip(b"\0").decode(), address, virtual_size, offset))
    return machine, magic, subsystem, symbols, section_list, directories


def pe_imported_libraries(path):
    """The names of the DLLs a Windows program imports from."""
    data = read(path)
    _, _, _, _, sections, directories = pe_headers(path)

    def offset(rva):
        for _, address, size, at in sections:
            if address <= rva < address + size:
                return at + rva - address
        raise AssertionError("address %#x lies in no section" % rva)

    names = []
    entry = offset(directories[1][0])  # the import directory
    while True:
        lookup, _, _, name, thunks = struct.unpack_from("<IIIII", data, entry)
        if not (lookup or name or thunks):
            return names
        start = offset(name)
        names.append(data[start:data.index(b"\0", start)].decode())
        entry += 20


# The Windows program's processor, by the build's.
PE_MACHINES = {"x86_64": (0x8664, 0x20B), "AMD64": (0x8664, 0x20B), "i686": (0x14C, 0x10B)}
# The system's own libraries: the kernel's interface and the C runtime.
SYSTEM_LIBRARIES = {"kernel32.dll", "msvcrt.dll", "ucrtbase.dll"}


@unittest.skipUnless(WINDOWS, "checks of the Windows program")
class WindowsProgram(unittest.TestCase):
    """What every self-decrypting executable for Windows carries: a console
    program for its processor that needs no DLL beyond the system's, with its
    manifest."""

    def test_console_program_for_its_processor(self):
        machine, magic, subsystem, _, _, _ = pe_headers(ZELNO)
        processor = os.environ.get("ZELNO_TARGET_PROCESSOR", "x86_64")
        self.assertEqual((machine, magic), PE_MACHINES[processor], processor)
        self.assertEqual(subsystem, 3)  # the console subsystem

    def test_imports_only_the_systems_libraries(self):
        libraries = {name.lower() for name in pe_imported_libraries(ZELNO)}
        self.assertIn("kernel32.dll", libraries)
        self.assertEqual({n for n in libraries if n not in SYSTEM_LIBRARIES and not n.startswith("api-ms-win-")},
                         set())

    @unittest.skipUnless(BUILD_TYPE == "Release", "only release builds are stripped")
    def test_release_build_is_stripped_and_small(self):
        _, _, _, symbols, _, _ = pe_headers(ZELNO)
        self.assertEqual(symbols, 0)
        self.assertLess(os.path.getsize(ZELNO), 1024 * 1024)

    def test_manifest_makes_names_utf8_and_asks_for_no_elevation(self):
        image = read(ZELNO)
        self.assertIn(b">UTF-8</activeCodePage>", image)
        self.assertIn(b">true</longPathAware>", image)  # paths past 260 where Windows allows them
        self.assertIn(b'<requestedExecutionLevel level="asInvoker"', image)


@unittest.skipIf(SANITIZE, "sanitizer builds link the sanitizer runtimes")
@unittest.skipIf(WINDOWS, "checks of an ELF program (WindowsProgram checks the Windows one)")
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
        takes the path the kernel executed, and where that names nothing (a
        start through a descriptor names /dev/fd/N) it finds itself along
        PATH. The file is restored into /."""
        write(self.path("doc.txt"), b"restored from nothing")
        os.utime(self.path("doc.txt"), (1, 1500000000))
        self.assertSucceeds(self.zelno("sa", "doc.txt", "root key"), b"encrypted.")
        cases = {
            "with /proc": ([shutil.which("unshare"), "-m", "--propagation", "private", "sh", "-c",
                            'mount -t proc proc "$0/proc" && exec "$1" "$0" /bin/doc.exe "root key"'], "/bin"),
            # Argument 0 is a bare name that PATH does not lead to.
            "by the executed path": ([sys.executable, "-c", START_IN_ROOT, "path", "/bin/doc.exe", "/", "doc.exe",
                                      "root key"], "/nowhere"),
            "along PATH": ([sys.executable, "-c", START_IN_ROOT, "descriptor", "/bin/doc.exe", "/", "doc.exe",
                            "root key"], "/bin"),
        }
        for what, (launch, path) in cases.items():
            with self.subTest(what):
                root = self.path(what.replace(" ", "-").replace("/", ""))
                os.makedirs(os.path.join(root, "bin"))
                if what == "with /proc":
                    os.mkdir(os.path.join(root, "proc"))
                    args = launch + [root, shutil.which("chroot")]
                else:
                    args = launch[:4] + [root] + launch[4:]
                shutil.copy(self.path("doc.txt.exe"), os.path.join(root, "bin", "doc.exe"))
                result = subprocess.run(args, env={"PATH": path}, stdin=subprocess.DEVNULL,
                                        capture_output=True, timeout=60)
                if result.returncode != 0 and result.stderr.startswith((b"unshare:", b"mount:")):
                    self.skipTest("no private /proc here: %s" % result.stderr.decode().strip())
                self.assertSucceeds(result, b"decrypted.")
                self.assertEqual(read(os.path.join(root, "doc.txt")), b"restored from nothing")
                self.assertEqual(os.stat(os.path.join(root, "doc.txt")).st_mtime, 1500000000)

    @unittest.skipIf(EMULATED, "the emulator does not live in the empty root")
    @unittest.skipUnless(os.geteuid() == 0, "needs root, for the root of its own")
    def test_another_users_executable_in_the_current_directory_is_not_the_program(self):
        """Without /proc, started through a descriptor by a bare name, in a
        shared directory where another user left a self-decrypting zelno.exe:
        the program is the one along PATH, and encrypts; taken for the
        program, the other user's executable would write its own file over
        the input ("e" its key, "in" the output)."""
        root = self.path("root")
        shared = os.path.join(root, "shared")
        os.makedirs(os.path.join(root, "bin"))
        os.mkdir(shared)
        os.chmod(shared, 0o1777)
        shutil.copy(ZELNO, os.path.join(root, "bin", "zelno"))
        write(os.path.join(shared, "in"), b"the other user's text")
        self.assertSucceeds(run(["s", "in", "e", "zelno.exe"], shared), b"encrypted.")
        os.chown(os.path.join(shared, "zelno.exe"), OTHER_USER, OTHER_USER)
        write(os.path.join(shared, "in"), b"the user's own text")
        for path in ("/bin", "/nowhere:/bin"):
            with self.subTest(path=path):
                result = subprocess.run([sys.executable, "-c", START_IN_ROOT, "descriptor", root, "/bin/zelno",
                                         "/shared", "zelno", "e", "in", "k", "in.znx"], env={"PATH": path},
                                        stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
                self.assertSucceeds(result, b"encrypted.")
                self.assertEqual(read(os.path.join(shared, "in")), b"the user's own text")
                os.remove(os.path.join(shared, "in.znx"))


class OtherTargets(WorkdirTest):
    """The builds for the other targets (another word size, processor or
    system) write the same bytes as this one and read each other's
    containers. Between Linux and Windows the containers differ only in the
    mode bits that each system reports for the same file."""

    # Past 2038 and past the signed 32-bit range: every build uses 64-bit times.
    MTIME = 3_000_000_000
    MODE = 0o640
    KEYS = ("k", "a key of twenty bytes", "thirty-two bytes of key material")
    FLAGS = {"e": 0x35, "ea": 0x36, "s": 0x35, "sa": 0x36}

    def setUp(self):
        super().setUp()
        # Another build of the same target counts too (an earlier version's,
        # to show that a change keeps the containers as they were).
        self.peers = [p for p in PEERS if os.path.isfile(p) and not os.path.samefile(p, ZELNO)]
        if not self.peers:
            self.skipTest("no build of another target")

    def encrypt(self, program, word, data, key, where, name="report.txt"):
        """Encrypts data as the file `name` in a fresh directory; returns the
        container (without the program image of a self-decrypting
        executable) and the output's path."""
        os.mkdir(where)
        plain = os.path.join(where, name)
        write(plain, data)
        os.chmod(plain, self.MODE)
        os.utime(plain, (self.MTIME, self.MTIME))
        self.assertSucceeds(run([word, name, key], where, program=program), b"encrypted.")
        self_decrypting = word.startswith("s")
        output = os.path.join(where, name + (".exe" if self_decrypting else ".znx"))
        written = read(output)
        if not self_decrypting:
            return written, output
        image = read(program)
        self.assertEqual(written[:len(image)], image)
        return written[len(image):], output

    def restore(self, program, container, key, where, data, name="report.txt"):
        os.mkdir(where)
        self.assertSucceeds(run(["d", container, key], where, program=program), b"decrypted.")
        restored = os.path.join(where, name)
        self.assertEqual(read(restored), data)
        self.assertEqual(os.stat(restored).st_mtime, self.MTIME)

    def assertSameBytes(self, own, theirs):
        if own != theirs:
            first = next((i for i, (a, b) in enumerate(zip(own, theirs)) if a != b), None)
            self.fail("containers of %d and %d bytes, first difference at %s" % (len(own), len(theirs), first))

    def records_size(self, program):
        """Whether the program records the size in MetaBlock too: those since
        1.1.0, which is also when --version came."""
        return run(["--version"], self.dir, program=program).returncode == 0

    def test_same_containers_and_each_reads_the_others(self):
        rng = random.Random(32)
        # 300 000 bytes span more than one read chunk of the pipelines; 5 MiB
        # runs the second thread (reading, digest and Twofish decryption).
        sizes = (0, 1, 17, 300_000, 5 << 20)
        cases = [(word, size, peer) for word in ("e", "ea", "s", "sa") for size in sizes for peer in self.peers]
        for n, (word, size, peer) in enumerate(cases):
            key = self.KEYS[n % len(self.KEYS)]
            with self.subTest(word=word, size=size, key_length=len(key), peer=peer):
                data = rng.randbytes(size)
                own, own_output = self.encrypt(ZELNO, word, data, key, self.path("own%d" % n))
                theirs, peer_output = self.encrypt(peer, word, data, key, self.path("peer%d" % n))
                same_mode = reported_mode(0o100000 | self.MODE, ZELNO) == reported_mode(0o100000 | self.MODE, peer)
                if same_mode and self.records_size(peer):
                    self.assertSameBytes(own, theirs)
                else:
                    # Each as the block-by-block writer makes it with the
                    # mode bits of its own system, and the size in MetaBlock
                    # where its version records it there.
                    write(self.path("plain"), data)
                    for program, written in ((ZELNO, own), (peer, theirs)):
                        self.assertSameBytes(written, tool_container(
                            self.path("reference"), self.FLAGS[word], key, "report.txt", self.path("plain"),
                            mtime=self.MTIME, mode=reported_mode(0o100000 | self.MODE, program),
                            meta_size=None if self.records_size(program) else 0))
                self.restore(ZELNO, peer_output, key, self.path("own-reads%d" % n), data)
                self.restore(peer, own_output, key, self.path("peer-reads%d" % n), data)

    def test_names_outside_ascii_restore_under_the_same_name(self):
        # UTF-8 on both systems: the Windows program's code page is UTF-8.
        name = "r\u00e9sum\u00e9 \u65e5\u672c\u8a9e \u00fc\u00df.txt"
        for n, peer in enumerate(self.peers):
            for m, (writer, reader) in enumerate(((ZELNO, peer), (peer, ZELNO))):
                with self.subTest(writer=writer, reader=reader):
                    _, output = self.encrypt(writer, "ea", b"named", "k", self.path("w%d-%d" % (n, m)), name)
                    self.restore(reader, output, "k", self.path("r%d-%d" % (n, m)), b"named", name)


if __name__ == "__main__":
    unittest.main()
