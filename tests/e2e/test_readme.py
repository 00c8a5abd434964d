"""The README's commands are ones that work: its Use examples run as they
stand, the packages it has you install are those CI installs, and every make
target it names exists. (Its Install commands run in `make dist-check`, on
the release files.)"""

import os
import re
import shutil
import subprocess
import unittest

from support import EMULATED, SOURCE_DIR, WINDOWS, ZELNO, WorkdirTest, read, write

README = os.path.join(SOURCE_DIR, "README.md")


def blocks(section):
    return subprocess.run([os.path.join(SOURCE_DIR, "packaging", "readme-blocks"), README, section],
                          stdout=subprocess.PIPE, check=True).stdout.decode()


class Readme(WorkdirTest):
    @unittest.skipIf(WINDOWS or EMULATED, "the examples are shell commands for this machine's own program")
    def test_use_examples_run_as_they_stand(self):
        os.mkdir(self.path("bin"))
        shutil.copy(ZELNO, self.path("bin", "zelno"))
        write(self.path("report.txt"), b"the report\n")
        env = dict(os.environ, PATH=self.path("bin") + os.pathsep + os.environ["PATH"], key="a key of ours")
        subprocess.run([self.path("bin", "zelno"), "ea", "report.txt", env["key"], "attachment.znx"], cwd=self.dir,
                       env=env, check=True, stdout=subprocess.DEVNULL)
        result = subprocess.run(["bash", "-euo", "pipefail", "-c", blocks("Use")], cwd=self.dir, env=env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(result.returncode, 0, result.stdout.decode())
        for copy in ("copy.txt", "copy2.txt", "attached.txt", "fresh/report.txt"):
            self.assertEqual(read(self.path(copy)), b"the report\n", copy)

    def test_packages_to_install_are_those_ci_installs(self):
        ci = read(os.path.join(SOURCE_DIR, ".ci", "run")).decode()
        installed = set(re.search(r"packages=\((.*?)\)", ci, re.S).group(1).split())
        named = set()
        for line in re.findall(r"^apt-get install (.*)$", read(README).decode(), re.M):
            named.update(line.split())
        self.assertIn("cmake", named)  # the search itself works
        self.assertEqual(sorted(named - installed), [])

    def test_make_targets_it_names_exist(self):
        named = set(re.findall(r"`make ([a-z0-9-]+)", read(README).decode()))
        self.assertIn("dist-check", named)
        for target in sorted(named):
            with self.subTest(target=target):
                result = subprocess.run(["make", "-n", "-C", SOURCE_DIR, target], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE, env={"PATH": os.environ["PATH"]})
                self.assertNotIn(b"No rule to make target", result.stderr)


if __name__ == "__main__":
    unittest.main()
