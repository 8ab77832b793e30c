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
    def test_demo_is_written_without_complaint_its_streams_follow_the_field_layout_and_its_checksums_hold(self):
        with tempfile.TemporaryDirectory(prefix="korvel-demo-") as work:
            r = subprocess.run([sys.executable, os.path.join(EXAMPLES, "run_demo.py"), "--korvel", KORVEL, "--source",
                                EXAMPLES, "--work", work], capture_output=True, env=ENV)
            self.assertEqual((r.returncode, r.stderr), (0, b""), r.stderr.decode())
            ddp = os.path.join(work, "ddp")
            read = lambda name: content(ddp, name)
            self.assertEqual(sorted(os.listdir(ddp)), sorted(NAMES + ["CHECKSUM.MD5", "CHECKSUM.TXT", "IMAGE.cue"]))
            self.assertEqual(len(read("IMAGE.DAT")), 1500 * 2352)  # 18 seconds after the two-second pregap
            self.assertEqual(read("SD"), L.pq_stream(DISC, isrc_on="00"))
            self.assertEqual(read("DDPMS"), L.map_packet("S0", "CDTEXT.BIN", len(read("CDTEXT.BIN")), sub="CDTEXT",
                                                         track=0) + L.map_packet("S0", "SD", 640, sub="PQ DESCR") +
                             L.map_packet("D0", "IMAGE.DAT", 1500, mode="DA", ssm="7", scm="1", pre2=150))
            self.assertEqual(read("DDPID"), b"DDP 2.004006381333931" + b" " * 17 + b"KORVEL-DEMO-0001".ljust(48) +
                             b" CD" + b" " * 39)
            md5 = subprocess.run(["md5sum", "-c", "--strict", "CHECKSUM.MD5"], cwd=ddp, stdout=subprocess.PIPE)
            self.assertEqual((md5.returncode, md5.stdout.decode()), (0, "".join(f"{n}: OK\n" for n in NAMES)))
            crc = ["[CRC32 Checksum]"] + ["%s=%08X" % (n, zlib.crc32(read(n))) for n in NAMES]
            self.assertEqual(read("CHECKSUM.TXT").decode(), "\n".join(crc) + "\n")
            # CD-Text as an independent reader sees it.
            if shutil.which("cdrskin") is None:
                self.skipTest("cdrskin is not installed")
            fields = cdrskin_fields(os.path.join(ddp, "CDTEXT.BIN"))
            self.assertEqual([fields[k] for k in ("Album Title", "Artist Name", "Songwriter", "Last Track Number",
                                                  "Track 01 Title", "Track 02 Title", "Track 03 Title", "Track 02 Artist")],
                             ["korvel Demo Disc", "The Sine Waves", "A. Oscillator", "3", "Concert A", "A Fifth Above",
                              "Octave", "The Sine Waves & Friends"])


if __name__ == "__main__":
    unittest.main()
