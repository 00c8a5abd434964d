"""Command-line cases written as short scripts, one file each in tests/scripts
(NAME.test), run in a fresh directory each. A line is a command and its
words, split as a shell would split them; "#" starts a comment. The words of
a text may use the escapes \\n, \\t, \\0 and \\xNN.

    zelno WORD...       runs the program; the lines after it check that run
    run NAME WORD...    runs the file NAME of the directory (a self-decrypting
                        executable) in the same way
    exit N              its exit code (without this line it must be 0, with
                        nothing on standard error)
    stdout TEXT         what it wrote on standard output, exactly
    stderr TEXT         the same on standard error; "stderr prefix TEXT"
                        when only the start is fixed
    file NAME TEXT      writes a file; "bytes NAME SIZE" writes SIZE
                        pseudo-random bytes
    mkdir, chmod MODE NAME, symlink TARGET NAME, rm NAME, copy FROM TO
    exists NAME         the file exists ("! exists NAME": it does not)
    cmp A B             the two files hold the same bytes ("! cmp": not)
    files NAME...       the directory holds exactly these names
    mode NAME MODE      its permission bits (octal)
    stdin [NAME]        the runs after it read the file NAME (else nothing)
    env NAME [VALUE]    sets (or unsets) the variable for the runs after it
    cd DIR              the runs and the file commands after it work in DIR
    skip windows|linux|user REASON
                        the case does not run there (user: not as root)

$VERSION stands for the program's version."""

import os
import random
import re
import shlex
import stat
import unittest

from support import SOURCE_DIR, VERSION, WINDOWS, WorkdirTest, read, write

SCRIPTS = os.path.join(SOURCE_DIR, "tests", "scripts")


def text(word):
    return word.replace("$VERSION", VERSION).encode("latin-1", "backslashreplace").decode(
        "unicode_escape").encode("latin-1")


class Script(WorkdirTest):
    def path(self, *names):
        return os.path.join(self.cwd, *names)

    def run_case(self, path):
        self.cwd, stdin, env = self.dir, None, dict(os.environ)
        last = None
        checked = True
        for number, line in enumerate(read(path).decode().splitlines(), 1):
            words = shlex.split(line, comments=True)
            if not words:
                continue
            negated = words[0] == "!"
            command, *args = words[1:] if negated else words
            where = "%s:%d: %s" % (os.path.basename(path), number, line.strip())
            if command in ("zelno", "run", "skip") and not checked:
                self.assertEqual((last.returncode, last.stderr), (0, b""), where)
            if command == "skip":
                system = "windows" if WINDOWS else "linux"
                if args[0] == system or args[0] == "user" and os.geteuid() == 0:
                    self.skipTest(" ".join(args[1:]))
            elif command in ("zelno", "run"):
                program = {"program": self.path(args.pop(0))} if command == "run" else {}
                with open(stdin, "rb") if stdin else open(os.devnull, "rb") as source:
                    last = self.zelno(*[text(a).decode("utf-8", "surrogateescape") for a in args], cwd=self.cwd,
                                      env=env, stdin=source, **program)
                checked = False
            elif command == "exit":
                self.assertEqual(last.returncode, int(args[0]), "%s\n%r" % (where, last))
                checked = True
            elif command in ("stdout", "stderr"):
                prefix = args[0] == "prefix"
                expected = text(args[-1]) if args[1 if prefix else 0:] else b""
                got = getattr(last, command)
                self.assertEqual(got[:len(expected)] if prefix else got, expected, where)
            elif command == "stdin":
                stdin = self.path(args[0]) if args else None
            elif command == "env":
                env.pop(args[0], None)
                if len(args) > 1:
                    env[args[0]] = text(args[1]).decode()
            elif command == "cd":
                self.cwd = self.path(args[0])
            else:
                self.do(command, negated, [text(a).decode() if i else a for i, a in enumerate(args)], where)
        if not checked:
            self.assertEqual((last.returncode, last.stderr), (0, b""), os.path.basename(path) + ": the last run")

    def do(self, command, negated, args, where):
        p = self.path
        if command == "file":
            write(p(args[0]), text(args[1]))
        elif command == "bytes":
            write(p(args[0]), random.Random(args[0]).randbytes(int(args[1])))
        elif command == "mkdir":
            os.mkdir(p(args[0]))
        elif command == "chmod":
            os.chmod(p(args[1]), int(args[0], 8))
        elif command == "symlink":
            os.symlink(args[0], p(args[1]))
        elif command == "rm":
            os.remove(p(args[0]))
        elif command == "copy":
            write(p(args[1]), read(p(args[0])))
        elif command == "exists":
            self.assertNotEqual(os.path.lexists(p(args[0])), negated, where)
        elif command == "cmp":
            self.assertNotEqual(read(p(args[0])) == read(p(args[1])), negated, where)
        elif command == "files":
            self.assertEqual(sorted(os.listdir(self.cwd)), sorted(args), where)
        elif command == "mode":
            self.assertEqual(stat.S_IMODE(os.stat(p(args[0])).st_mode), int(args[1], 8), where)
        else:
            self.fail("%s: unknown command %r" % (where, command))


def add_cases():
    for name in sorted(os.listdir(SCRIPTS)):
        if name.endswith(".test"):
            path = os.path.join(SCRIPTS, name)
            method = "test_" + re.sub(r"\W", "_", name[:-len(".test")])
            setattr(Script, method, lambda self, path=path: self.run_case(path))
    if not any(n.startswith("test_") for n in dir(Script)):
        raise RuntimeError("no script in " + SCRIPTS)


add_cases()

if __name__ == "__main__":
    unittest.main()
