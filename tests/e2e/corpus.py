"""A corpus of damaged and hostile containers, each with the message and exit
code the program must answer it with when decrypted under KEY.

Run as a script, it writes the corpus into a directory (one file per case and
an index "expected.txt"), for instance to seed the fuzz targets."""

import os
import struct
import sys
import tempfile

from support import MAGIC, WINDOWS, tool_container, write

KEY = "corpus key"
PLAIN = bytes(range(256)) * 3 + b"tail of 29 bytes.............."  # 798 bytes: 50 blocks

DATA = (3, "infile data error.\n")
HEADER = (3, "infile header error.\n")
VERSION = (3, "infile version error.\n")
NAME = (3, "infile name error.\n")


def flip(data, at, mask=0x01):
    b = bytearray(data)
    b[at] ^= mask
    return bytes(b)


def with_byte(data, at, value):
    b = bytearray(data)
    b[at] = value
    return bytes(b)


def build(workdir):
    """Returns a list of (name, container bytes, (exit code, message))."""
    plain_path = os.path.join(workdir, "corpus-plain")
    write(plain_path, PLAIN)

    def container(flags=0x36, name="restored", size_field=None, key=KEY, stamp=0, mode=0o100644):
        return tool_container(os.path.join(workdir, "corpus-out"), flags, key, name, plain_path,
                              size_field=size_field, stamp=stamp, mode=mode)

    good = container()
    twofish = container(0x35)
    layout_a = container(0x06)
    cases = [
        ("wrong-key", container(key="another key"), DATA),
        ("wrong-key-twofish", container(0x35, key="another key"), DATA),
        ("flipped-data-first", flip(good, 300), DATA),
        ("flipped-data-last", flip(good, len(good) - 1), DATA),
        ("flipped-meta", flip(good, 8), DATA),
        ("flipped-name", flip(good, 200), DATA),
        ("flipped-twofish-data", flip(twofish, 500), DATA),
        ("flipped-layout-a-data", flip(layout_a, 400), DATA),
        ("cut-in-data", good[:len(good) - 16], DATA),
        ("cut-mid-block", good[:len(good) - 5], DATA),
        ("size-promises-more", container(size_field=len(PLAIN) + 16), DATA),
        ("size-huge", container(size_field=0xFFFFFFFF), DATA),
        # The size in clear is not digested; bytes that it drops from the last
        # block must still be the zero fill.
        ("size-drops-data", good[:4] + struct.pack("<I", len(PLAIN) - 3) + good[8:], DATA),
        # Into the zero fill: only the size that MetaBlock records tells.
        ("size-grows-into-fill", good[:4] + struct.pack("<I", len(PLAIN) + 1) + good[8:], DATA),
        ("size-grows-into-fill-twofish", twofish[:4] + struct.pack("<I", len(PLAIN) + 2) + twofish[8:], DATA),
        ("layout-a-size-promises-more", container(0x06, size_field=len(PLAIN) + 100), DATA),
        # MetaBlock's words that the format fixes: a stamp only with its flag,
        # 16 mode bits; a large container's sizes.
        ("stamp-without-its-flag", container(stamp=1), DATA),
        ("layout-a-stamp-without-its-flag", container(0x06, stamp=1), DATA),
        ("mode-above-16-bits", container(mode=0x10000 | 0o100644), DATA),
        ("large-flag-on-a-small-size", good[:3] + b"\x76" + struct.pack("<I", 1) + good[8:], DATA),
        ("empty", b"", HEADER),
        ("no-container", b"just some text without the magic\n" * 10, HEADER),
        ("magic-only", MAGIC, HEADER),
        ("magic-then-zero", MAGIC + b"\0" + good[4:], HEADER),
        ("cut-after-flags", good[:4], HEADER),
        ("cut-in-header", good[:150], HEADER),
        ("cut-before-digest-end", good[:299], HEADER),
        ("layout-a-cut-in-header", layout_a[:295], HEADER),
        ("false-start", b"xx" + MAGIC + b"\x01" + good, DATA),
        ("name-parent", container(name="../x"), NAME),
        ("name-absolute", container(name="/tmp/x"), NAME),
        ("name-with-directory", container(name="a/b"), NAME),
        ("name-empty", container(name="-"), NAME),
        ("name-dot", container(name="."), NAME),
        ("name-dotdot", container(name=".."), NAME),
        ("name-without-end", container(name="@256"), NAME),
    ]
    if WINDOWS:
        # Names that lead elsewhere on Windows: its other separators, a final
        # dot or space that the system drops, the names of its devices; and
        # names it cannot hold, refused before anything is published.
        for label, name in (("backslash", "a\\b"), ("drive", "C:x"), ("stream", "x:y"), ("final-dot", "x."),
                            ("final-space", "x "), ("device", "CON"), ("device-extension", "nul.txt"),
                            ("port", "com1"), ("less", "a<b"), ("greater", "a>b"), ("quote", 'a"b'), ("bar", "a|b"),
                            ("question", "a?b"), ("star", "*"), ("control", "a\tb")):
            cases.append(("name-" + label, container(name=name), NAME))
    # Above 0x36 the algorithm bits of 0x39, 0x3A, 0x3D and 0x3E are valid:
    # only the version limit refuses them.
    # 0x40 marks a size of 4 GiB or more, only over layout B without a stamp.
    for flags in (0x33, 0x34, 0x37, 0x39, 0x3A, 0x3D, 0x3E, 0x3F, 0x46, 0x5E, 0x66, 0x77, 0x80, 0xB5, 0xB6, 0xF6, 0xFF):
        cases.append(("flags-%02x" % flags, with_byte(good, 3, flags), VERSION))
    for i in range(20):
        cases.append(("flipped-digest-%02d" % i, flip(good, 280 + i, 0x80), DATA))
    return cases


def main(directory):
    os.makedirs(directory, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        cases = build(tmp)
    with open(os.path.join(directory, "expected.txt"), "w") as index:
        index.write("# case, exit code, message, under the key %r\n" % KEY)
        for name, data, (code, message) in cases:
            write(os.path.join(directory, name + ".znx"), data)
            index.write("%s %d %s\n" % (name, code, message.strip()))


if __name__ == "__main__":
    main(sys.argv[1])
