"""The shipped demo disc, written the way the README's first command writes it, checked byte for byte: SD,
DDPMS and DDPID against the field layout (ddp_layout), the checksum files by md5sum -c and python's zlib,
CDTEXT.BIN by an independent CD-Text reader (cdrskin) when it is installed."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zlib

import ddp_layout as L
from korvel_run import ENV, KORVEL, cdrskin_fields, content

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")
# examples/demo.cue on the disc: two seconds of pregap before it, DCP on track 1, pre-emphasis on track 2.
DISC = {"upc": "4006381333931", "lead_out": 1500, "tracks": [
    {"indexes": {0: 0, 1: 150, 2: 375}, "isrc": "DEA121500001", "control": 2},
    {"indexes": {0: 600, 1: 675}, "isrc": "DEA121500002", "control": 1},
    {"indexes": {0: 1050, 1: 1100}, "isrc": "DEA121500003"}]}
NAMES = ["DDPID", "DDPMS", "CDTEXT.BIN", "SD", "IMAGE.DAT"]


class DemoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="korvel-demo-")
        cls.result = subprocess.run([sys.executable, os.path.join(EXAMPLES, "run_demo.py"), "--korvel", KORVEL,
                                     "--source", EXAMPLES, "--work", cls.work], capture_output=True, env=ENV)
        cls.ddp = os.path.join(cls.work, "ddp")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def read(self, name):
        return content(self.ddp, name)

    def test_demo_is_written_without_complaint_and_its_streams_follow_the_field_layout(self):
        self.assertEqual((self.result.returncode, self.result.stderr), (0, b""), self.result.stderr.decode())
        self.assertEqual(sorted(os.listdir(self.ddp)), sorted(NAMES + ["CHECKSUM.MD5", "CHECKSUM.TXT", "IMAGE.cue"]))
        self.assertEqual(len(self.read("IMAGE.DAT")), 1500 * 2352)  # 18 seconds after the two-second pregap
        self.assertEqual(self.read("SD"), L.pq_stream(DISC, isrc_on="00"))
        self.assertEqual(self.read("DDPMS"), L.map_packet("S0", "CDTEXT.BIN", len(self.read("CDTEXT.BIN")), sub="CDTEXT",
                                                          track=0) + L.map_packet("S0", "SD", 640, sub="PQ DESCR") +
                         L.map_packet("D0", "IMAGE.DAT", 1500, mode="DA", ssm="7", scm="1", pre2=150))
        self.assertEqual(self.read("DDPID"), b"DDP 2.004006381333931" + b" " * 17 + b"KORVEL-DEMO-0001".ljust(48) +
                         b" CD" + b" " * 39)

    def test_checksum_files_vouch_for_every_mapped_file(self):
        md5 = subprocess.run(["md5sum", "-c", "--strict", "CHECKSUM.MD5"], cwd=self.ddp, stdout=subprocess.PIPE)
        self.assertEqual((md5.returncode, md5.stdout.decode()), (0, "".join(f"{n}: OK\n" for n in NAMES)))
        crc = ["[CRC32 Checksum]"] + ["%s=%08X" % (n, zlib.crc32(self.read(n))) for n in NAMES]
        self.assertEqual(self.read("CHECKSUM.TXT").decode(), "\n".join(crc) + "\n")

    def test_cd_text_reads_back_in_an_independent_decoder(self):
        if shutil.which("cdrskin") is None:
            self.skipTest("cdrskin is not installed")
        fields = cdrskin_fields(os.path.join(self.ddp, "CDTEXT.BIN"))
        self.assertEqual([fields[k] for k in ("Album Title", "Artist Name", "Songwriter", "Last Track Number")],
                         ["korvel Demo Disc", "The Sine Waves", "A. Oscillator", "3"])
        self.assertEqual([fields[f"Track 0{n} Title"] for n in (1, 2, 3)], ["Concert A", "A Fifth Above", "Octave"])
        self.assertEqual(fields["Track 02 Artist"], "The Sine Waves & Friends")


if __name__ == "__main__":
    unittest.main()
