"""Shared ground of the end-to-end tests: korvel run as a user would run it (argv[0] "korvel", a UTF-8
locale, nothing else from the environment) in a scratch folder with an empty out/ for the fileset, and
small readers of what it writes."""

import os
import shutil
import subprocess
import tempfile
import unittest

KORVEL = os.environ.get("KORVEL", "korvel")
ENV = {"LC_ALL": "C.UTF-8", "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
# Whether this korvel has libFLAC (KORVEL_FLAC=0, set by CMake, for a build without it).
FLAC_BUILT_IN = os.environ.get("KORVEL_FLAC", "1") == "1"


def run(args, cwd, **kw):
    return subprocess.run(["korvel"] + args, executable=KORVEL, cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, env=ENV, **kw)


def content(*path):
    with open(os.path.join(*path), "rb") as f:
        return f.read()


def edit(path, at, data):
    """Overwrites bytes of a file in place."""
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(data)


def tool(*command, stdin=None):
    """What an independent tool writes on standard output; it must succeed."""
    return subprocess.run(command, input=stdin, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True).stdout


def cdrskin_fields(path, charset="latin-1"):
    """A CD-Text file's fields as cdrskin, an independent reader, lists them (texts in `charset`)."""
    out = subprocess.run(["cdrskin", "-vv", "textfile_to_v07t=" + path], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL).stdout.decode(charset)
    return {k.strip(): v.strip() for k, v in (line.split("=", 1) for line in out.splitlines() if "=" in line)}


def msf(frames):
    """Disc frames as mm:ss:ff."""
    return "%02d:%02d:%02d" % (frames // 4500, frames // 75 % 60, frames % 75)


def pq_listing(stdout):
    """The PQ listing in what korvel printed."""
    start = stdout.index(b"*** PQ Listing ***")
    return stdout[start:stdout.index(b"\n", stdout.index(b"End      ", start)) + 1]


class ScratchCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="korvel-e2e-")
        os.mkdir(self.path("out"))

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def read(self, *names):
        return content(self.dir, *names)

    def assert_md5sum_passes(self, folder="out"):
        """md5sum -c over CHECKSUM.MD5."""
        r = subprocess.run(["md5sum", "-c", "--strict", "CHECKSUM.MD5"], cwd=self.path(folder),
                           stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(r.returncode, 0, r.stdout.decode())
