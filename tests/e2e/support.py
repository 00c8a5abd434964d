"""Shared helpers of the end-to-end tests: run the built program in temporary
directories, look at what it leaves behind, and build containers with
independent code."""

import atexit
import contextlib
import hashlib
import os
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
import unittest

ZELNO = os.environ.get("ZELNO_BINARY", "build/zelno")
MAKE_CONTAINER = os.environ.get("ZELNO_MAKE_CONTAINER", "build/tests/make_container")
SOURCE_DIR = os.environ.get("ZELNO_SOURCE_DIR",
                            os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
# The one version number, as CMake's project has it.
with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as _lists:
    VERSION = re.search(r"project\(zelno VERSION ([0-9.]+)", _lists.read()).group(1)
# The programs of the other targets' builds (another word size or processor);
# the cross-build tests compare with those that exist.
PEERS = [p for p in os.environ.get("ZELNO_PEER_BINARIES", "").split(":") if p]
# What runs this build's programs where this machine does not run them itself
# (a user-mode emulator); empty when they run as they are.
EMULATOR = os.environ.get("ZELNO_EMULATOR", "").split()
EMULATED = bool(EMULATOR)
# The targets (targets.txt): what starts another target's programs and what
# its processor is called, by the machine number of its ELF or PE header.
with open(os.path.join(SOURCE_DIR, "targets.txt")) as _table:
    _rows = [line.split() for line in _table if line.strip() and not line.startswith("#")]
EMULATOR_OF = {int(row[5]): row[6] for row in _rows}
PROCESSOR_OF = {int(row[5]): row[0].split("-", 1)[1] for row in _rows}
# Sanitizer builds link the sanitizer runtimes; only release builds are stripped.
SANITIZE = os.environ.get("ZELNO_SANITIZE", "0").upper() not in ("", "0", "OFF", "FALSE", "NO")
BUILD_TYPE = os.environ.get("ZELNO_BUILD_TYPE", "Release")

# Base of the descending initialisation-vector series. Containers travel only
# between builds that share it, so it is pinned here.
IV_SERIES_BASE = 0xA7

USAGE = (
    "\n"
    "usage1: zelno [--key-file FILE | --key-env NAME] <e|ea|d|s|sa> <infile> [key] [outfile]\n"
    "usage2: self-decrypt [key] [outfile]\n"
    "        e  = encrypt (Twofish)\n"
    "        ea = encrypt (AES)\n"
    "        d  = decrypt\n"
    "        s  = make self-decrypt file (Twofish)\n"
    "        sa = make self-decrypt file (AES)\n"
    "        [key] = max 32 bytes string; none or \"\": typed at the terminal\n"
    "        --key-file FILE = the key is the first line of FILE (- is standard input)\n"
    "        --key-env NAME = the key is the environment variable NAME\n"
    "        - as <infile>: standard input; as [outfile]: standard output\n"
)

MAGIC = b"ZN" + b"X"


def elf_machine(path):
    with open(path, "rb") as f:
        ident = f.read(20)
    return struct.unpack_from("<H", ident, 18)[0] if ident[:4] == b"\x7fELF" and len(ident) == 20 else None


def pe_machine(path):
    """The machine field of a Windows program (PE file), else None."""
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ" or len(head) < 64:
        return None
    (at,) = struct.unpack_from("<I", head, 0x3C)
    if at + 6 > len(head) or head[at:at + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<H", head, at + 4)[0]


def is_windows_program(path):
    return os.path.isfile(path) and pe_machine(path) is not None


# The Windows build: its programs run through wine (ZELNO_EMULATOR).
WINDOWS = is_windows_program(ZELNO)


def reported_mode(mode, program=ZELNO):
    """The mode bits that the system of `program` reports for a regular file
    of the given mode (and that its containers record): on Windows, readable
    by all, and writable by all unless the file is read-only."""
    if not is_windows_program(program):
        return mode
    return 0o100444 | (0o222 if mode & 0o200 else 0)

_other_emulators = {}


def emulator_for(path):
    """What starts the program at path: this build's emulator for a program
    of its own target; for another target's, nothing where the kernel runs
    it (tried once per target), else that target's emulator. A Windows
    program of another build runs through that build's wine wrapper, beside
    it."""
    machine = elf_machine(path)
    if machine is None and pe_machine(path) is not None:
        if WINDOWS and pe_machine(path) == pe_machine(ZELNO):
            return EMULATOR
        return [os.path.join(os.path.dirname(os.path.abspath(path)), "wine-run")]
    if machine is None or machine == elf_machine(ZELNO):
        return EMULATOR
    if machine not in _other_emulators:
        try:
            subprocess.run([path], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=60, start_new_session=True)
            _other_emulators[machine] = []
        except OSError:
            _other_emulators[machine] = [EMULATOR_OF[machine]]
    return _other_emulators[machine]


def command(program, cwd=None, env=None):
    """The command line that starts program: a path (relative to cwd), or a
    name looked up along PATH as the shell would."""
    if os.sep in program:
        path = os.path.join(cwd or os.getcwd(), program)
    else:
        path = shutil.which(program, path=(env if env is not None else os.environ).get("PATH"))
    emulator = emulator_for(path) if path and os.path.isfile(path) else []
    return emulator + [path] if emulator else [program]


# The other user of the rows that run the program as someone else (nobody).
OTHER_USER = 65534
_reachable = {}


def reachable_copy(program):
    """A copy of program that every user may start: the checkout itself may
    lie where other users cannot enter (/root)."""
    if program not in _reachable:
        folder = tempfile.mkdtemp(prefix="zelno-program-")
        atexit.register(shutil.rmtree, folder, True)
        os.chmod(folder, 0o755)
        _reachable[program] = shutil.copy2(program, folder)
    return _reachable[program]


def run(args, cwd, program=ZELNO, env=None, timeout=120, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        other_user=False, groups=(), stdin=subprocess.DEVNULL, **popen):
    """Runs the program without a controlling terminal and standard input,
    as in a script or CI (or `stdin`); returns the completed process (bytes). `other_user`:
    as OTHER_USER, with only the supplementary `groups` (needs root). `popen`: further arguments of
    subprocess.run (pass_fds, preexec_fn). The messages of a Windows program
    end their lines with CR LF; here they end with LF."""
    argv = command(reachable_copy(program) if other_user else program, cwd, env) + list(args)
    if other_user:
        argv = ["setpriv", "--reuid=%d" % OTHER_USER, "--regid=%d" % OTHER_USER,
                "--groups=" + ",".join(map(str, groups)) if groups else "--clear-groups"] + argv
    result = subprocess.run(argv, cwd=cwd, stdin=stdin, stdout=stdout, stderr=stderr,
                            env=env, timeout=timeout, start_new_session=True, **popen)
    if any(is_windows_program(a) for a in argv[:2]):
        result.stdout = result.stdout.replace(b"\r\n", b"\n") if result.stdout is not None else None
        result.stderr = result.stderr.replace(b"\r\n", b"\n") if result.stderr is not None else None
    return result


def traced(strace_options, args, cwd):
    """Starts the program under strace (its faults and delays in
    strace_options), without ending it when ptrace hides it from
    LeakSanitizer; returns the Popen of strace."""
    return subprocess.Popen(["strace", "-o", "/dev/null", *strace_options, *command(ZELNO), *args], cwd=cwd,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            start_new_session=True, env=dict(os.environ, ASAN_OPTIONS="detect_leaks=0"))


# wine draws its console on a terminal: each piece of text may come wrapped
# in escape sequences (the cursor hidden and shown again), a space as a
# cursor movement, a blanked line as an erased one, and a line end as CR LF
# after the program's own CR.
_DRAWN = rb"\x1b\[[0-9;?]*[A-Za-z]"


def on_console(text):
    """A pattern for pexpect's expect() that finds text as the program's
    console shows it: the bytes as they are, or as wine's console draws them."""
    if not WINDOWS:
        return re.compile(re.escape(text))
    drawn = b"(?:%s)*" % _DRAWN
    pattern = b""
    for piece in re.findall(rb"\r +\r| +|\r*\n|.", text, re.S):
        if piece.startswith(b"\r "):
            pattern += rb"\r(?: |%s)*\r?" % _DRAWN
        elif piece.startswith(b" "):
            pattern += rb"(?:%s(?: |\x1b\[\d*C))+" % drawn
        elif piece.endswith(b"\n"):
            pattern += drawn + rb"\r*\n"
        else:
            pattern += drawn + re.escape(piece)
    return re.compile(pattern)


def drawn_text(transcript):
    """The text of a console transcript: under wine without its drawing, its
    cursor movements as spaces and its line ends as CR LF."""
    if not WINDOWS:
        return transcript
    text = re.sub(rb"\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or 1), transcript)
    return re.sub(rb"\r+\n", b"\r\n", re.sub(_DRAWN, b"", text))


def snapshot(directory):
    """Every file below the directory with its bytes and mode."""
    found = {}
    for root, _, files in os.walk(directory):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                found[os.path.relpath(path, directory)] = (f.read(), os.stat(path).st_mode)
    return found


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


class WorkdirTest(unittest.TestCase):
    """Each test gets a fresh temporary directory as self.dir."""

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="zelno-test-")
        self.dir = self._tmp.name

    def tearDown(self):
        self._tmp.cleanup()

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def zelno(self, *args, cwd=None, **kwargs):
        return run(args, cwd or self.dir, **kwargs)

    def assertFails(self, result, code, stdout=b"", stderr_prefix=None):
        self.assertEqual(result.returncode, code, (result.stdout, result.stderr))
        self.assertEqual(result.stdout, stdout)
        if stderr_prefix is None:
            self.assertEqual(result.stderr, b"")
        else:
            self.assertTrue(result.stderr.startswith(stderr_prefix), result.stderr)

    def assertSucceeds(self, result, word):
        self.assertEqual((result.returncode, result.stdout, result.stderr), (0, word + b"\n", b""))

    def interrupt_traced(self, process, ready, signum=signal.SIGTERM, timeout=60):
        """Sends signum to the program that strace (`process`, from traced)
        runs, once ready() holds."""
        deadline = time.time() + timeout
        while not ready():
            self.assertIsNone(process.poll(), "the run ended before it could be interrupted")
            self.assertLess(time.time(), deadline)
            time.sleep(0.002)
        program = int(read("/proc/%d/task/%d/children" % (process.pid, process.pid)).split()[0])
        os.kill(program, signum)


def have(tool):
    return shutil.which(tool) is not None


def iv_for(flags):
    iv = bytearray(16)
    for i in range(16):
        v = (IV_SERIES_BASE - i) % 256 if flags & 0x04 else 0
        if flags & 0x20:
            v >>= i % 3 + 1
        iv[i] = v
    return bytes(iv)


def openssl_aes_cbc(key, iv, data, decrypt=False):
    bits = len(key) * 8
    cmd = ["openssl", "enc", "-aes-%d-cbc" % bits, "-K", key.hex(), "-iv", iv.hex(), "-nopad"]
    if decrypt:
        cmd.append("-d")
    return subprocess.run(cmd, input=data, stdout=subprocess.PIPE, check=True).stdout


def aes_key_material(key):
    """The cipher key a key string gives: its first 32 bytes, zero-padded to
    16, 24 or 32 bytes."""
    key = key[:32]
    size = 16 if len(key) <= 16 else 24 if len(key) <= 24 else 32
    return key.ljust(size, b"\0")


def openssl_aes_container(flags, key, name, plain, mtime=0, mode=0o100644, stamp=0, meta_size=None):
    """An AES container built with the openssl command line and hashlib only;
    `meta_size` overrides the size that MetaBlock records (0 in layout B
    before 1.1.0)."""
    layout_b = bool(flags & 0x10)
    meta = struct.pack("<IIII", stamp, len(plain) if meta_size is None else meta_size, mtime, mode)
    pieces = meta + name.ljust(256, b"\0")
    data = plain + b"\0" * (-len(plain) % 16)
    chained = data + pieces if layout_b else pieces + data
    cipher = openssl_aes_cbc(aes_key_material(key), iv_for(flags), chained)
    digest = hashlib.sha1(chained).digest()
    if layout_b:
        data_ct, pieces_ct = cipher[:len(data)], cipher[len(data):]
        head = MAGIC + bytes([flags]) + struct.pack("<I", len(plain))
    else:
        pieces_ct, data_ct = cipher[:len(pieces)], cipher[len(pieces):]
        head = MAGIC + bytes([flags])
    return head + pieces_ct + digest + data_ct


def tool_container(out_path, flags, key, name, plain_path, mtime=0, mode=0o100644, stamp=0, size_field=None,
                   meta_size=None):
    """A container from the block-by-block test writer (any cipher, any
    layout); `size_field` and `meta_size` as make_container takes them."""
    args = command(MAKE_CONTAINER) + ["%x" % flags, key, name, str(mtime), str(mode), str(stamp), plain_path, out_path]
    if size_field is not None or meta_size is not None:
        args.append(str(os.path.getsize(plain_path) if size_field is None else size_field))
    if meta_size is not None:
        args.append(str(meta_size))
    subprocess.run(args, check=True)
    return read(out_path)


@contextlib.contextmanager
def umask(mask):
    old = os.umask(mask)
    try:
        yield
    finally:
        os.umask(old)
