"""End-to-end checks of whole filesets by tools that are not korvel:
md5sum -c, python's zlib CRC-32, byte comparison of IMAGE.DAT against the
source audio, sox-written WAVE files, and korvel reading back its own
IMAGE.cue. Run by CTest with KORVEL naming the binary."""

import os
import shutil
import subprocess
import unittest
import zlib

import audio
from korvel_run import ScratchCase, run

PREGAP = bytes(150 * audio.FRAME_BYTES)

DISC = """CATALOG 4006381333931
TITLE "Demo Disc"
PERFORMER "The Testers"
FILE "{name}" {kind}
  TRACK 01 AUDIO
    TITLE "First"
    ISRC DEA121500001
    FLAGS PRE
    INDEX 01 00:00:00
    INDEX 02 00:03:00
  TRACK 02 AUDIO
    TITLE "Second"
    ISRC DEA121500002
    FLAGS DCP
    INDEX 00 00:04:00
    INDEX 01 00:05:00
"""


def pq_listing(stdout: bytes) -> bytes:
    start = stdout.index(b"*** PQ Listing ***")
    end = stdout.index(b"\n", stdout.index(b"End      ")) + 1
    return stdout[start:end]


class FilesetTest(ScratchCase):
    def disc(self, data: bytes, name="disc.raw", kind="BINARY"):
        audio.write(self.path(name), data)
        audio.write(self.path("disc.cue"), DISC.format(name=name, kind=kind).encode())

    def assert_checksums_vouch_for_the_fileset(self, names):
        self.assert_md5sum_passes()
        self.assertEqual([line.split(b"*", 1)[1] for line in self.read("out", "CHECKSUM.MD5").splitlines()],
                         [n.encode() for n in names])
        lines = self.read("out", "CHECKSUM.TXT").decode().splitlines()
        self.assertEqual(lines[0], "[CRC32 Checksum]")
        expected = ["%s=%08X" % (n, zlib.crc32(self.read("out", n))) for n in names]
        self.assertEqual(lines[1:], expected)

    def test_complete_fileset_is_vouched_for_by_md5sum_and_zlib(self):
        # Nine seconds and a half sector: the image gets padding.
        data = audio.tone(9 * 44100 + 294)
        self.disc(data)
        r = run(["-c", "-m", "DEMO-0001", "disc.cue", "out"], self.dir)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(r.stderr, b"disc.raw: warning: audio does not end at a CD sector boundary, "
                                   b"adding 1176 bytes of silence\n")
        self.assertEqual(sorted(os.listdir(self.path("out"))),
                         ["CHECKSUM.MD5", "CHECKSUM.TXT", "DDPID", "DDPMS", "IMAGE.DAT", "IMAGE.cue", "SD"])
        self.assertEqual(self.read("out", "IMAGE.DAT"), PREGAP + data + bytes(1176))
        self.assertEqual(len(self.read("out", "SD")), 64 * (3 + 5))
        self.assertEqual(self.read("out", "DDPID")[38:47], b"DEMO-0001")
        self.assert_checksums_vouch_for_the_fileset(["DDPID", "DDPMS", "SD", "IMAGE.DAT"])

        # IMAGE.cue describes IMAGE.DAT: read back, it gives the same disc.
        back = run(["out/IMAGE.cue"], self.dir)
        self.assertEqual(back.returncode, 0, back.stderr.decode())
        self.assertEqual(pq_listing(back.stdout), pq_listing(r.stdout))

    def test_big_endian_audio_is_swapped_into_the_image(self):
        data = audio.sectors(900, seed=3)
        self.disc(audio.swap16(data), kind="MOTOROLA")
        r = run(["disc.cue", "out"], self.dir)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        cmp = subprocess.run(["cmp", self.path("out", "IMAGE.DAT"), "-"], input=PREGAP + data,
                             stdout=subprocess.PIPE)
        self.assertEqual(cmp.returncode, 0, cmp.stdout.decode())

    def test_wave_written_by_sox_and_by_the_test(self):
        if shutil.which("sox") is None:
            self.skipTest("sox is not installed")
        subprocess.run(["sox", "-n", "-r", "44100", "-c", "2", "-b", "16", "-e", "signed-integer",
                        self.path("sox.wav"), "synth", "10", "sine", "440"], check=True)
        raw = subprocess.run(["sox", self.path("sox.wav"), "-t", "raw", "-"], check=True,
                             stdout=subprocess.PIPE).stdout
        self.assertEqual(len(raw), 10 * 44100 * 4)
        self.disc(b"", name="unused.raw")
        for name, expected in (("sox.wav", raw), ("own.wav", raw)):
            if name == "own.wav":
                audio.write_wave(self.path(name), raw)
            with open(self.path("disc.cue"), "w") as f:
                f.write(DISC.format(name=name, kind="WAVE"))
            r = run(["disc.cue", "out"], self.dir)
            self.assertEqual(r.returncode, 0, r.stderr.decode())
            self.assertIn(b"File type: Microsoft Wave\n", r.stdout)
            self.assertEqual(self.read("out", "IMAGE.DAT"), PREGAP + expected, name)


if __name__ == "__main__":
    unittest.main()
