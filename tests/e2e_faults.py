"""Fault injection, end to end: korvel run against a disk that fills up at each
file of the fileset, a file-size limit, a standard output that cannot be
written, audio files cut short, and inputs that are directories or unreadable.

Every row names the command, the exit status, a fragment of standard error and
the files that must remain. Every row also checks what must hold whatever
happens: status 0 only for a complete fileset that md5sum -c vouches for, no
stream of the fileset ever cut short (IMAGE.DAT, SD, DDPID are byte for byte
what a clean run writes, or absent), DDPMS either the old map or the new one
with CD-Text, and the input files unchanged.

A full disk is a small tmpfs in a private mount namespace (unshare -m as root,
unshare -rm as a user), sized in pages from a clean run so that exactly the
file of the row runs out of space. Run by CTest with KORVEL naming the binary."""

import hashlib
import os
import resource
import shutil
import signal
import stat
import subprocess
import tempfile
import unittest

import audio

KORVEL = os.environ.get("KORVEL", "korvel")
ENV = {"LC_ALL": "C.UTF-8", "PATH": os.environ["PATH"]}
PAGE = 4096
PREGAP = bytes(150 * audio.FRAME_BYTES)
# Ten seconds of audio and half a sector: the image gets padding.
AUDIO = audio.sectors(750) + audio.pattern(audio.FRAME_BYTES // 2, seed=9)
IMAGE = PREGAP + AUDIO + bytes(audio.FRAME_BYTES // 2)

DISC = """CATALOG 4006381333931
TITLE "Fault Disc"
PERFORMER "The Testers"
{cdtextfile}FILE "{name}" {kind}
  TRACK 01 AUDIO
    TITLE "First"
    ISRC DEA121500001
    INDEX 01 00:00:00
  TRACK 02 AUDIO
    TITLE "Second"
    INDEX 00 00:04:00
    INDEX 01 00:05:00
"""
# Track 2 starts at 00:05:00 behind the 2-second pregap and lasts at least 4 seconds.
TRACK2_START = 150 + 5 * 75
SHORTEST_GOOD_AUDIO = (TRACK2_START + 4 * 75 - 150) * audio.FRAME_BYTES

# The order in which korvel writes the files of a fileset (DDPMS_ is the new map
# while CD-Text is linked in; it replaces DDPMS by a rename).
WRITE_ORDER = ["IMAGE.DAT", "SD", "DDPMS", "DDPID", "CDTEXT.BIN", "DDPMS_", "IMAGE.cue", "CHECKSUM.MD5",
               "CHECKSUM.TXT"]
STREAMS = ["IMAGE.DAT", "SD", "DDPID", "CDTEXT.BIN", "IMAGE.cue"]


def pages(size):
    return (size + PAGE - 1) // PAGE


def md5(data):
    return hashlib.md5(data).hexdigest()


def namespace_prefix():
    """The command that runs a shell in a private mount namespace, or None."""
    if shutil.which("unshare") is None:
        return None
    return ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-rm"]


_TMPFS = None


def tmpfs_reason():
    """None when a private tmpfs can be mounted here, else why not."""
    global _TMPFS
    if _TMPFS is None:
        prefix = namespace_prefix()
        if prefix is None:
            _TMPFS = "unshare is not installed"
        else:
            with tempfile.TemporaryDirectory() as d:
                probe = subprocess.run(prefix + ["sh", "-c", 'mount -t tmpfs -o size=4096 tmpfs "$0"', d],
                                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            _TMPFS = "" if probe.returncode == 0 else "cannot mount a tmpfs here: " + probe.stdout.decode().strip()
    return _TMPFS or None


# Mounts a tmpfs of $2 pages on mnt, runs korvel (the rest of the arguments) with
# its fileset in mnt/out, copies what it left into out/ and ends with its status.
IN_TMPFS = r'''
mount -t tmpfs -o size=$(($1 * 4096)) tmpfs mnt || exit 97
mkdir mnt/out
shift
"$@"
status=$?
cp -a mnt/out/. out/
exit $status
'''


class FaultTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Clean runs give the size of every file and the map with and without CD-Text.
        cls.reference = {}
        with tempfile.TemporaryDirectory(prefix="korvel-ref-") as d:
            audio.write(os.path.join(d, "disc.raw"), AUDIO)
            with open(os.path.join(d, "disc.cue"), "w") as f:
                f.write(DISC.format(cdtextfile="", name="disc.raw", kind="BINARY"))
            for name, args in (("plain", []), ("cuesheet", ["-c"]), ("cdtext", ["-t", "-c"])):
                os.mkdir(os.path.join(d, name))
                r = subprocess.run([KORVEL] + args + ["disc.cue", name], cwd=d, env=ENV, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
                assert r.returncode == 0, r.stderr.decode()
                files = {}
                for n in os.listdir(os.path.join(d, name)):
                    with open(os.path.join(d, name, n), "rb") as f:
                        files[n] = f.read()
                cls.reference[name] = files
        assert cls.reference["plain"]["IMAGE.DAT"] == IMAGE
        cls.old_map = cls.reference["plain"]["DDPMS"]
        cls.new_map = cls.reference["cdtext"]["DDPMS"]
        assert cls.old_map != cls.new_map

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="korvel-faults-")
        os.mkdir(self.path("out"))
        os.mkdir(self.path("mnt"))
        self.disc()

    def tearDown(self):
        for root, dirs, _ in os.walk(self.dir):
            for n in dirs:
                os.chmod(os.path.join(root, n), 0o700)
        shutil.rmtree(self.dir, ignore_errors=True)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def disc(self, data=AUDIO, name="disc.raw", kind="BINARY", cdtextfile=None):
        if data is not None:
            audio.write(self.path(name), data)
        line = 'CDTEXTFILE "%s"\n' % cdtextfile if cdtextfile else ""
        audio.write(self.path("disc.cue"), DISC.format(cdtextfile=line, name=name, kind=kind).encode())

    def inputs(self):
        found = {}
        for n in os.listdir(self.dir):
            p = self.path(n)
            if os.path.isfile(p) and not os.path.islink(p) and os.access(p, os.R_OK):
                with open(p, "rb") as f:
                    found[n] = f.read()
        return found

    # ---- Running korvel ----

    def korvel(self, args, prefix=(), **kw):
        return subprocess.run(list(prefix) + [KORVEL] + args, cwd=self.dir, env=ENV, stdout=kw.pop("stdout", subprocess.PIPE),
                              stderr=subprocess.PIPE, **kw)

    def korvel_on_tmpfs(self, args, budget):
        reason = tmpfs_reason()
        if reason:
            self.skipTest(reason)
        r = subprocess.run(namespace_prefix() + ["sh", "-c", IN_TMPFS, "sh", str(budget), KORVEL] + args,
                           cwd=self.dir, env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if r.returncode == 97:
            self.skipTest("cannot mount a tmpfs: " + r.stderr.decode().strip())
        return r

    def budget_for(self, victim, reference, extra=()):
        """Pages that hold every file written before `victim` and all of it but its last page."""
        files = self.reference[reference]
        used = 0
        for name in WRITE_ORDER:
            size = len(files["DDPMS"]) if name == "DDPMS_" else len(files.get(name, b""))
            if name == "DDPMS_" and "CDTEXT.BIN" not in files:
                continue
            if name == victim:
                return used + pages(size) - 1
            if name != "DDPMS_":
                used += pages(size)
        raise AssertionError(victim)

    # ---- What every row must show ----

    def check(self, r, status, fragment, remains, before, reference="plain"):
        err = r.stderr.decode()
        self.assertEqual(r.returncode, status, err)
        self.assertIn(fragment, err)
        out = self.path("out")
        left = sorted(os.listdir(out))
        self.assertEqual(left, sorted(remains), err)
        files = {}
        for n in left:
            with open(os.path.join(out, n), "rb") as f:
                files[n] = f.read()
        expected = self.reference[reference]
        # No stream is ever cut short: each one left is whole.
        for n in STREAMS:
            if n in files:
                self.assertEqual(md5(files[n]), md5(expected[n]), n + " is not what a clean run writes")
        if "DDPMS" in files:
            self.assertIn(files["DDPMS"], (self.old_map, self.new_map), "DDPMS is neither the old map nor the new one")
        if status == 0:
            self.assertEqual(left, sorted(expected), "status 0 for an incomplete fileset")
            md5sum = subprocess.run(["md5sum", "-c", "--strict", "CHECKSUM.MD5"], cwd=out, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT)
            self.assertEqual(md5sum.returncode, 0, md5sum.stdout.decode())
        self.assertEqual(self.inputs(), before, "an input file was changed")
        return err

    # ---- A full disk at each file ----

    def full_disk_row(self, victim, args, status, fragment, remains, reference="plain"):
        before = self.inputs()
        r = self.korvel_on_tmpfs(args + ["disc.cue", "mnt/out"], self.budget_for(victim, reference))
        return self.check(r, status, fragment, remains, before, reference)

    def test_disk_with_room_for_exactly_the_fileset(self):
        # The sizing is right: with room for every page the run succeeds.
        files = self.reference["cdtext"]
        budget = sum(pages(len(d)) for d in files.values()) + 1  # DDPMS_ lives beside DDPMS for a moment
        before = self.inputs()
        r = self.korvel_on_tmpfs(["-t", "-c", "disc.cue", "mnt/out"], budget)
        self.check(r, 0, "", files, before, "cdtext")

    def test_full_disk_rows(self):
        nospace = "No space left on device"
        rows = [
            # victim, options, fragment of standard error, what remains
            ("IMAGE.DAT", [], "Error: mnt/out/IMAGE.DAT: %s\nError: Error while writing DDP data file\n" % nospace,
             []),
            ("SD", [], "Error: mnt/out/SD: %s\n" % nospace, ["IMAGE.DAT"]),
            ("DDPMS", [], "Error: mnt/out/DDPMS: %s\n" % nospace, ["IMAGE.DAT", "SD"]),
            ("DDPID", [], "Error: mnt/out/DDPID: %s\n" % nospace, ["IMAGE.DAT", "SD", "DDPMS"]),
            # The checksum writer reports in the perror form, without a prefix.
            ("CHECKSUM.MD5", [], "\nmnt/out/CHECKSUM.MD5: %s\n" % nospace, ["IMAGE.DAT", "SD", "DDPMS", "DDPID"]),
            ("CHECKSUM.TXT", [], "\nmnt/out/CHECKSUM.TXT: %s\n" % nospace,
             ["IMAGE.DAT", "SD", "DDPMS", "DDPID", "CHECKSUM.MD5"]),
        ]
        for victim, options, fragment, remains in rows:
            with self.subTest(victim=victim):
                shutil.rmtree(self.path("out"))
                os.mkdir(self.path("out"))
                self.full_disk_row(victim, options, 1, fragment, remains)

    def test_full_disk_rows_with_cd_text_and_cue_sheet(self):
        nospace = "No space left on device"
        head = ["IMAGE.DAT", "SD", "DDPMS", "DDPID"]
        rows = [
            ("CDTEXT.BIN", "Error: mnt/out/CDTEXT.BIN: %s\n" % nospace, head, self.old_map),
            ("DDPMS_", "Error: mnt/out/DDPMS_: %s\nError: linking CD text file faild.\n" % nospace,
             head + ["CDTEXT.BIN"], self.old_map),
            ("CHECKSUM.MD5", "\nmnt/out/CHECKSUM.MD5: %s\n" % nospace, head + ["CDTEXT.BIN", "IMAGE.cue"],
             self.new_map),
        ]
        for victim, fragment, remains, ddpms in rows:
            with self.subTest(victim=victim):
                shutil.rmtree(self.path("out"))
                os.mkdir(self.path("out"))
                self.full_disk_row(victim, ["-t", "-c"], 1, fragment, remains, "cdtext")
                with open(self.path("out", "DDPMS"), "rb") as f:
                    self.assertEqual(f.read(), ddpms)

    def test_full_disk_at_the_cue_sheet(self):
        # Alone: with CD-Text, the page that the new map frees is what the cue sheet gets.
        self.full_disk_row("IMAGE.cue", ["-c"], 1, "Error: mnt/out/IMAGE.cue: No space left on device\n",
                           ["IMAGE.DAT", "SD", "DDPMS", "DDPID"], "cuesheet")

    def test_full_disk_while_copying_a_cd_text_file(self):
        audio.write(self.path("given.cdt"), self.reference["cdtext"]["CDTEXT.BIN"])
        self.disc(cdtextfile="given.cdt")
        err = self.full_disk_row("CDTEXT.BIN", ["-t", "-c"], 1, "No space left on device\n",
                                 ["IMAGE.DAT", "SD", "DDPMS", "DDPID"], "cdtext")
        self.assertIn("Error: No CD text written!\n", err)
        with open(self.path("out", "DDPMS"), "rb") as f:
            self.assertEqual(f.read(), self.old_map)

    # ---- A file-size limit and a standard output that cannot be written ----

    def test_file_size_limit_at_the_image(self):
        def limit(nbytes):
            def apply():
                signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                resource.setrlimit(resource.RLIMIT_FSIZE, (nbytes, nbytes))
            return apply

        before = self.inputs()
        r = self.korvel(["disc.cue", "out"], preexec_fn=limit(len(IMAGE) - 1))
        self.check(r, 1, "Error: out/IMAGE.DAT: File too large\nError: Error while writing DDP data file\n", [],
                   before)
        # One byte more and the image fits: the fileset is complete.
        r = self.korvel(["disc.cue", "out"], preexec_fn=limit(len(IMAGE)))
        self.check(r, 0, "", self.reference["plain"], before)

    def test_standard_output_on_a_full_device(self):
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full")
        before = self.inputs()
        with open("/dev/full", "w") as full:
            r = self.korvel(["disc.cue", "out"], stdout=full)
        self.assertEqual(r.returncode, 1)
        self.assertEqual(r.stderr.decode()[-len("korvel: write error on standard output: No space left on device\n"):],
                         "korvel: write error on standard output: No space left on device\n")
        # The fileset itself is complete and vouched for; only the report was lost.
        md5sum = subprocess.run(["md5sum", "-c", "--strict", "CHECKSUM.MD5"], cwd=self.path("out"),
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.assertEqual(md5sum.returncode, 0, md5sum.stdout.decode())
        self.assertEqual(sorted(os.listdir(self.path("out"))), sorted(self.reference["plain"]))
        self.assertEqual(self.inputs(), before)

    # ---- Audio files cut short ----

    def test_raw_audio_cut_at_many_offsets(self):
        cuts = sorted({0, 1, 2, 3, 4, 5, 588, 2352, 2354, TRACK2_START * audio.FRAME_BYTES - 150 * audio.FRAME_BYTES - 4,
                       (TRACK2_START - 150) * audio.FRAME_BYTES, SHORTEST_GOOD_AUDIO - 4, SHORTEST_GOOD_AUDIO,
                       SHORTEST_GOOD_AUDIO + 2, len(AUDIO) - 4, len(AUDIO) - 1, len(AUDIO)})
        for cut in cuts:
            with self.subTest(cut=cut):
                shutil.rmtree(self.path("out"))
                os.mkdir(self.path("out"))
                self.disc(AUDIO[:cut])
                before = self.inputs()
                r = self.korvel(["disc.cue", "out"])
                # The image ends on a whole sector: the audio is padded up to one.
                sectors = -(-cut // audio.FRAME_BYTES)
                if cut % 4:
                    status, fragment = 1, "disc.raw: error: audio stops in the middle of a sample frame"
                elif sectors < TRACK2_START - 150:
                    status, fragment = 1, "error: not enough audio data, file ends at "
                elif sectors * audio.FRAME_BYTES < SHORTEST_GOOD_AUDIO:
                    status, fragment = 1, "Error: PQ data is not Red Book compatible\n"
                else:
                    status, fragment = 0, ""
                if status == 1:
                    self.check(r, 1, fragment, [], before)
                    continue
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                with open(self.path("out", "IMAGE.DAT"), "rb") as f:
                    image = f.read()
                padding = (-cut) % audio.FRAME_BYTES
                self.assertEqual(md5(image), md5(PREGAP + AUDIO[:cut] + bytes(padding)))
                md5sum = subprocess.run(["md5sum", "-c", "--strict", "CHECKSUM.MD5"], cwd=self.path("out"),
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                self.assertEqual(md5sum.returncode, 0, md5sum.stdout.decode())
                self.assertEqual(self.inputs(), before)

    def test_wave_cut_at_many_offsets(self):
        wave = audio.wave_bytes(AUDIO)
        cuts = list(range(0, 48, 3)) + [44 + 4, 44 + 2352, len(wave) // 2, len(wave) - 4, len(wave) - 1]
        self.disc(None, name="disc.wav", kind="WAVE")
        for cut in cuts:
            with self.subTest(cut=cut):
                audio.write(self.path("disc.wav"), wave[:cut])
                before = self.inputs()
                r = self.korvel(["disc.cue", "out"])
                err = self.check(r, 1, "", [], before)
                if cut >= 44:
                    self.assertIn("disc.wav: error: wave file is truncated: its data chunk holds %d bytes, but only "
                                  "%d are in the file\n" % (len(AUDIO), cut - 44), err)
                else:
                    self.assertTrue(err.startswith("Wave parser error (offset ") or
                                    "error: wave file is truncated" in err, err)
        audio.write(self.path("disc.wav"), wave)
        before = self.inputs()
        self.check(self.korvel(["disc.cue", "out"]), 0, "", self.reference["plain"], before)

    def test_wave_whose_data_chunk_claims_more_than_the_file(self):
        wave = bytearray(audio.wave_bytes(AUDIO))
        wave[40:44] = (len(AUDIO) + 4 * 1000).to_bytes(4, "little")
        self.disc(bytes(wave), name="disc.wav", kind="WAVE")
        before = self.inputs()
        self.check(self.korvel(["disc.cue", "out"]), 1,
                   "disc.wav: error: wave file is truncated: its data chunk holds %d bytes, but only %d are in the "
                   "file\n" % (len(AUDIO) + 4000, len(AUDIO)), [], before)

    # ---- Inputs that are directories or cannot be read ----

    def test_inputs_that_are_directories(self):
        os.mkdir(self.path("folder.cue"))
        before = self.inputs()
        self.check(self.korvel(["folder.cue", "out"]), 1,
                   "folder.cue: error: can't open file, message: Is a directory\n", [], before)
        for kind in ("BINARY", "WAVE", "MOTOROLA"):
            with self.subTest(kind=kind):
                os.makedirs(self.path("folder.raw"), exist_ok=True)
                self.disc(None, name="folder.raw", kind=kind)
                before = self.inputs()
                self.check(self.korvel(["disc.cue", "out"]), 1,
                           "folder.raw: error: can't open file, message: Is a directory\n", [], before)
        os.mkdir(self.path("folder.cdt"))
        self.disc(cdtextfile="folder.cdt")
        before = self.inputs()
        self.check(self.korvel(["-t", "disc.cue", "out"]), 1,
                   "folder.cdt: error: cannot open CD text file (%s)\n" % self.path("folder.cdt").replace(
                       self.dir + "/", ""), [], before)

    def unprivileged(self):
        """The prefix that runs korvel as a user who cannot read a file of mode 000."""
        if os.geteuid() != 0:
            return []
        if shutil.which("setpriv") is None:
            self.skipTest("running as root without setpriv")
        for root, dirs, files in os.walk(self.dir):
            os.chown(root, 65534, 65534)
            for n in dirs + files:
                os.chown(os.path.join(root, n), 65534, 65534)
        return ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]

    def test_unreadable_inputs(self):
        audio.write(self.path("given.cdt"), self.reference["cdtext"]["CDTEXT.BIN"])
        rows = [
            ("disc.cue", None, "disc.cue: error: can't open file, message: Permission denied\n"),
            ("disc.raw", None, "disc.raw: error: can't open file, message: Permission denied\n"),
            ("given.cdt", "given.cdt", "given.cdt: error: cannot open CD text file (given.cdt)\n"),
        ]
        for name, cdtextfile, fragment in rows:
            with self.subTest(name=name):
                self.disc(cdtextfile=cdtextfile)
                prefix = self.unprivileged()
                before = self.inputs()
                os.chmod(self.path(name), 0)
                r = self.korvel(["-t", "disc.cue", "out"], prefix=prefix)
                os.chmod(self.path(name), stat.S_IRUSR | stat.S_IWUSR)
                self.check(r, 1, fragment, [], before)


if __name__ == "__main__":
    unittest.main()
