"""Shared ground of the end-to-end tests: korvel run as a user would run it
(argv[0] "korvel", a UTF-8 locale, nothing else from the environment) in a
scratch folder with an empty out/ for the fileset."""

import os
import shutil
import subprocess
import tempfile
import unittest

KORVEL = os.environ.get("KORVEL", "korvel")
ENV = {"LC_ALL": "C.UTF-8", "PATH": os.environ.get("PATH", "/usr/bin:/bin")}


def run(args, cwd, **kw):
    return subprocess.run(["korvel"] + args, executable=KORVEL, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=ENV, **kw)


class ScratchCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="korvel-e2e-")
        os.mkdir(self.path("out"))

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def read(self, *names):
        with open(self.path(*names), "rb") as f:
            return f.read()

    def assert_md5sum_passes(self, folder="out"):
        """md5sum -c over CHECKSUM.MD5; returns its report."""
        r = subprocess.run(["md5sum", "-c", "--strict", "CHECKSUM.MD5"], cwd=self.path(folder),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(r.returncode, 0, r.stdout.decode())
        return r.stdout.decode()
