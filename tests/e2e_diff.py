"""korvel --diff: one table of pairs of filesets, A written from one generated disc and B from the same disc
with one change made by the test, each row with the lines the change must give (written here from the change,
not from korvel's output), run with one thread and with two; the JSON report of a row parsed with python's json."""

import json
import os
import random
import shutil
import struct
import tempfile
import unittest

import audio
import cdtext_packs
from e2e_reader import resum
from korvel_run import content, msf, run

RATE = audio.CD_RATE
TRACK = 6 * RATE  # every track plays 6 s from its index 01 to the next one's
PREGAP = 150  # korvel puts 2 s before a track 1 that starts at 00:00:00
CUE = """CATALOG 4006381333931
TITLE "Diff Disc"
FILE "a.raw" BINARY
  TRACK 01 AUDIO
    TITLE "One"
    ISRC USAB12400001
    INDEX 01 00:00:00
  TRACK 02 AUDIO
    TITLE "Two"
    ISRC USAB12400002
    INDEX 00 00:05:00
    INDEX 01 00:06:00
  TRACK 03 AUDIO
    TITLE "Three"
    ISRC USAB12400003
    INDEX 01 00:12:00
    INDEX 02 00:15:00
  TRACK 04 AUDIO
    TITLE "Four"
    ISRC USAB12400004
    INDEX 01 00:18:00
"""


DITHER = 100  # track 3 opens with this many frames of the quietest dither


def samples():
    """Four tracks of noise, a list of (left, right) per sample frame: no stretch of it repeats. Track 3 opens
    with dither of -1, 0 and 1 and stays within 8,000, so that a copy 12 dB louder still fits 16 bits."""
    rng = random.Random(7)
    frames = [(rng.randint(-20000, 20000), rng.randint(-20000, 20000)) for _ in range(4 * TRACK)]
    frames[2 * TRACK:3 * TRACK] = [(rng.randint(-1, 1), rng.randint(-1, 1)) for _ in range(DITHER)] + \
        [(l * 2 // 5, r * 2 // 5) for l, r in frames[2 * TRACK + DITHER:3 * TRACK]]
    return frames


def track(frames, n):
    return frames[(n - 1) * TRACK:n * TRACK]


def with_track(frames, n, new):
    return frames[:(n - 1) * TRACK] + new + frames[n * TRACK:]


def shifted(frames, n, by):
    """Track n's audio `by` sample frames later (earlier when negative), silence where it left room, the
    track as long as it was."""
    t = track(frames, n)
    return with_track(frames, n, [(0, 0)] * by + t[:len(t) - by] if by > 0 else t[-by:] + [(0, 0)] * -by)


def gained(frames, n, db):
    g = 10 ** (db / 20)
    return with_track(frames, n, [(round(l * g), round(r * g)) for l, r in track(frames, n)])


def swapped(frames, m, n):
    return with_track(with_track(frames, m, track(frames, n)), n, track(frames, m))


def raw(frames):
    return b"".join(struct.pack("<hh", l, r) for l, r in frames)


def set_sample(d, frame, value):
    """Sets the left sample of disc sample frame `frame` in IMAGE.DAT, leaving the checksum files as they are."""
    with open(os.path.join(d, "IMAGE.DAT"), "r+b") as f:
        f.seek(frame * 4)
        f.write(struct.pack("<h", value))


def split_image(d, at=150 + 233):
    """The audio in two files, as a program that writes a file per stream lays it out: IMAGE.DAT up to disc sector
    `at` (inside track 1, not at a block's end), IMAGE2.DAT from there on, each with its map packet; the checksum
    files made anew (by python's hashlib and zlib)."""
    image, ms = content(d, "IMAGE.DAT"), content(d, "DDPMS")
    packets = [ms[i:i + 128] for i in range(0, len(ms), 128)]
    n = next(i for i, p in enumerate(packets) if p[4:6] == b"D0")
    p = packets[n]
    packets[n:n + 1] = [p[:14] + b"%8d" % at + p[22:], p[:14] + b"%8d%8d" % (int(p[14:22]) - at, at) + p[30:46] +
                        b"    " + p[50:74] + b"IMAGE2.DAT".ljust(17) + p[91:]]
    audio.write(os.path.join(d, "DDPMS"), b"".join(packets))
    audio.write(os.path.join(d, "IMAGE.DAT"), image[:at * 2352])
    audio.write(os.path.join(d, "IMAGE2.DAT"), image[at * 2352:])
    resum(d, [line.split(b"*")[1].decode() for line in content(d, "CHECKSUM.MD5").splitlines()] + ["IMAGE2.DAT"])


class Diff(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp(prefix="korvel-diff-")
        cls.frames = samples()
        cls.a = cls.write("a", CUE, cls.frames)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir, ignore_errors=True)

    @classmethod
    def write(cls, name, cue, frames):
        """The fileset of `cue` over `frames`, written by korvel -t into a folder `name`."""
        folder = os.path.join(cls.dir, name)
        os.makedirs(os.path.join(folder, "ddp"))
        audio.write(os.path.join(folder, "a.raw"), raw(frames))
        audio.write(os.path.join(folder, "disc.cue"), cue.encode())
        r = run(["-t", "-v0", "-m", "DIFF-1", "disc.cue", "ddp"], cwd=folder)
        assert r.returncode == 0, r.stderr
        return os.path.join(folder, "ddp")

    def diff(self, b, *options, a=None):
        """korvel --diff A B with one thread and with two: the same either way; the output and status."""
        outs = [run(["--diff", "--threads=%d" % n, *options, a or self.a, b], cwd=self.dir) for n in (1, 2)]
        self.assertEqual(outs[0].stdout, outs[1].stdout)
        self.assertEqual(outs[0].returncode, outs[1].returncode)
        return outs[0]

    def test_pairs(self):
        f = self.frames
        sample_at = 3 * TRACK + TRACK // 2 + 7  # track 4's 3 s and 7 samples, in the file's frames
        louder = [(4 * l, 4 * r) for l, r in track(f, 3)[DITHER:]]
        moved = sum(1 for s in louder if s != (0, 0))
        # The sheet's titles from a CD-Text file, with packs beside them that hold none of the disc's texts: a genre,
        # and closed information (the producer's own notes).
        audio.write(os.path.join(self.dir, "genre.cdt"), cdtext_packs.block(
            {0x80: ["Diff Disc", "One", "Two", "Three", "Four"], 0x87: [b"\x00\x19Rock"], 0x8D: ["Studio notes"]}))
        rows = [
            ("identical", CUE, f, None, []),
            ("isrc", CUE.replace("USAB12400003", "USAB12400013"), f, None,
             ["track 03: ISRC USAB12400003 -> USAB12400013"]),
            ("title", CUE.replace('"Two"', '"Deux"'), f, None, ['track 02: CD-Text Title "Two" -> "Deux"']),
            ("index", CUE.replace("INDEX 02 00:15:00", "INDEX 02 00:15:30"), f, None,
             ["track 03: index 02 %s -> %s" % (msf(PREGAP + 15 * 75), msf(PREGAP + 15 * 75 + 30))]),
            ("flag", CUE.replace('TITLE "Four"', 'TITLE "Four"\n    FLAGS DCP'), f, None, ["track 04: flags none -> DCP"]),
            ("shift-1", CUE, shifted(f, 2, 1), None, ["track 02: audio shifted by +1 samples"]),
            ("shift-588", CUE, shifted(f, 2, 588), None, ["track 02: audio shifted by +588 samples"]),
            ("shift-44100", CUE, shifted(f, 2, 44100), None, ["track 02: audio shifted by +44100 samples"]),
            ("shift-back-300", CUE, shifted(f, 2, -300), None, ["track 02: audio shifted by -300 samples"]),
            ("gain", CUE, gained(f, 3, -0.5), None, ["track 03: audio gain -0.50 dB"]),
            # Four times louder after its dither, which stayed as it was: a sample of 1 left at 1 rules out any
            # gain above 3.
            ("gain after dither", CUE, with_track(f, 3, track(f, 3)[:DITHER] + louder), None,
             ["track 03: audio differs from %s + %d samples on, in %d of %d samples (%.4f%%)"
              % (msf(0), DITHER, moved, TRACK, 100 * moved / TRACK)]),
            ("swap", CUE, swapped(f, 2, 3), None, ["disc: track order 01 02 03 04 -> 01 03 02 04"]),
            ("genre", 'CDTEXTFILE "../genre.cdt"\n' + CUE, f, None,
             ["disc: CD-Text Genre packs added", "disc: CD-Text Closed info packs added"]),
            ("sample", CUE, f, sample_at, None),
            # Track 4 left off the disc: its audio has nothing to be compared with.
            ("three tracks", CUE[:CUE.index("  TRACK 04")], f[:3 * TRACK], None,
             ["disc: tracks 4 -> 3", "disc: lead-out %s -> %s" % (msf(PREGAP + 24 * 75), msf(PREGAP + 18 * 75)),
              'track 04: CD-Text Title "Four" -> none']),
            # The same disc with its audio in two files: reads run from the first file into the second.
            ("two audio files", CUE, f, split_image, []),
        ]
        for name, cue, frames, changed_at, expected in rows:
            with self.subTest(name):
                b = self.write(name, cue, frames)
                if callable(changed_at):  # B laid out otherwise after korvel wrote it
                    changed_at(b)
                    changed_at = None
                if changed_at is not None:
                    # Changed in IMAGE.DAT behind the checksums' back: the check's errors come first and
                    # count, one per checksum file that vouches for the image.
                    set_sample(b, PREGAP * 588 + changed_at, f[changed_at][0] ^ 0x100)
                    sums = [n for n in ("CHECKSUM.MD5", "CHECKSUM.TXT") if b"IMAGE.DAT" in content(b, n)]
                    at = changed_at - 3 * TRACK
                    expected = ["%s: fileset has %d errors" % (b, len(sums)),
                                "track 04: audio differs from %s + %d samples on, in 1 of %d samples (%.4f%%)"
                                % (msf(at // 588), at % 588, TRACK, 100 / TRACK)]
                r = self.diff(b)
                lines = r.stdout.decode().splitlines()
                count = len(expected) + (len(sums) - 1 if changed_at is not None else 0)
                self.assertEqual(lines, expected + (["%d difference%s" % (count, "" if count == 1 else "s")]
                                                    if expected else ["filesets are identical"]), r.stderr)
                self.assertEqual(r.returncode, 1 if expected else 0)
                if changed_at is not None:
                    self.assertIn(b"differs from the one in CHECKSUM.MD5", r.stderr)

    def test_unreadable(self):
        empty = os.path.join(self.dir, "empty")
        os.makedirs(empty, exist_ok=True)
        missing = os.path.join(self.dir, "missing")
        # Either side that cannot be read is named, and nothing is compared.
        for a, b, unreadable in ((self.a, empty, empty), (self.a, missing, missing), (missing, self.a, missing)):
            r = self.diff(b, a=a)
            self.assertEqual((r.returncode, r.stdout), (2, b""), r.stderr)
            self.assertIn(b"Error: %s: " % unreadable.encode(), r.stderr)

    def test_json(self):
        b = self.write("json", CUE.replace("USAB12400003", "USAB12400013"),
                       gained(shifted(self.frames, 4, 588), 2, -1.23))
        r = self.diff(b, "--json")
        doc = json.loads(r.stdout)
        self.assertEqual((doc["status"], doc["count"], r.returncode), ("different", 3, 1))
        isrc, gain, shift = doc["differences"]
        self.assertEqual((isrc["track"], isrc["field"], isrc["a"], isrc["b"]), (3, "ISRC", "USAB12400003", "USAB12400013"))
        self.assertEqual((gain["track"], gain["detail"]), (2, {"verdict": "gain", "gain_db": -1.23}))
        self.assertEqual((shift["track"], shift["detail"]), (4, {"verdict": "shifted", "shift_samples": 588}))


if __name__ == "__main__":
    unittest.main()
