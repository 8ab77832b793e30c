"""The shipped demo disc, written the way the README's first command writes it,
checked byte for byte: SD, DDPMS and DDPID against layouts built here field by
field, the checksum files by md5sum -c and python's zlib, CDTEXT.BIN by an
independent CD-Text decoder (cdrskin) when it is installed."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zlib

KORVEL = os.environ.get("KORVEL", "korvel")
HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.join(os.path.dirname(HERE), "examples")


def sd_entry(track, index, msf, control, isrc="", upc=""):
    return (f"VVVS{track}{index}  {msf}{control}  " + isrc.ljust(12) + upc.ljust(13) + " " * 19).encode()


def map_packet(dst, dsl, sub, mode, pregap, track, dsi):
    return (f"VVVM{dst}" + " " * 8 + f"{dsl:8d}" + " " * 8 + sub.ljust(8) + mode + " " * 4 + pregap.rjust(4)
            + " " * 5 + track.ljust(2) + " " * 14 + " 17" + dsi.ljust(17) + " " * 37).encode()


class DemoTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="korvel-demo-")
        cls.result = subprocess.run([sys.executable, os.path.join(EXAMPLES, "run_demo.py"), "--korvel", KORVEL,
                                  "--source", EXAMPLES, "--work", cls.work],
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                 env={"LC_ALL": "C.UTF-8", "PATH": os.environ["PATH"]})
        cls.ddp = os.path.join(cls.work, "ddp")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.work, ignore_errors=True)

    def read(self, name):
        with open(os.path.join(self.ddp, name), "rb") as f:
            return f.read()

    def test_demo_is_written_without_complaint(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr.decode())
        self.assertEqual(self.result.stderr, b"")
        self.assertEqual(sorted(os.listdir(self.ddp)), ["CDTEXT.BIN", "CHECKSUM.MD5", "CHECKSUM.TXT", "DDPID",
                                                        "DDPMS", "IMAGE.DAT", "IMAGE.cue", "SD"])
        # 18 seconds of audio after the two-second pregap.
        self.assertEqual(len(self.read("IMAGE.DAT")), 1500 * 2352)

    def test_pq_descriptor_stream(self):
        expected = (sd_entry("00", "00", "000000", "01", upc="4006381333931")
                    + sd_entry("01", "00", "000000", "21", isrc="DEA121500001")
                    + sd_entry("01", "01", "000200", "21") + sd_entry("01", "02", "000500", "21")
                    + sd_entry("02", "00", "000800", "11", isrc="DEA121500002") + sd_entry("02", "01", "000900", "11")
                    + sd_entry("03", "00", "001400", "01", isrc="DEA121500003") + sd_entry("03", "01", "001450", "01")
                    + sd_entry("AA", "01", "002000", "01") * 2)
        self.assertEqual(self.read("SD"), expected)

    def test_map_and_identifier_streams(self):
        cdtext_size = len(self.read("CDTEXT.BIN"))
        self.assertEqual(cdtext_size % 18, 0)
        self.assertEqual(self.read("DDPMS"),
                         map_packet("S0", cdtext_size, "CDTEXT", "    ", "", "00", "CDTEXT.BIN")
                         + map_packet("S0", 640, "PQ DESCR", "    ", "", "", "SD")
                         + map_packet("D0", 1500, "", "DA71", "150", "", "IMAGE.DAT"))
        self.assertEqual(self.read("DDPID"), b"DDP 2.004006381333931" + b" " * 17 + b"KORVEL-DEMO-0001".ljust(48)
                         + b" CD" + b" " * 39)

    def test_checksum_files_vouch_for_every_mapped_file(self):
        names = ["DDPID", "DDPMS", "CDTEXT.BIN", "SD", "IMAGE.DAT"]
        md5 = subprocess.run(["md5sum", "-c", "--strict", "CHECKSUM.MD5"], cwd=self.ddp, stdout=subprocess.PIPE)
        self.assertEqual(md5.returncode, 0, md5.stdout.decode())
        self.assertEqual(md5.stdout.decode(), "".join(f"{n}: OK\n" for n in names))
        crc = ["[CRC32 Checksum]"] + ["%s=%08X" % (n, zlib.crc32(self.read(n))) for n in names]
        self.assertEqual(self.read("CHECKSUM.TXT").decode(), "\n".join(crc) + "\n")

    def test_cd_text_reads_back_in_an_independent_decoder(self):
        if shutil.which("cdrskin") is None:
            self.skipTest("cdrskin is not installed")
        out = subprocess.run(["cdrskin", "textfile_to_v07t=" + os.path.join(self.ddp, "CDTEXT.BIN")],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout.decode()
        fields = {}
        for line in out.splitlines():
            if "=" in line:
                key, value = line.split("=", 1)
                fields[key.strip()] = value.strip()
        self.assertEqual(fields["Album Title"], "korvel Demo Disc")
        self.assertEqual(fields["Artist Name"], "The Sine Waves")
        self.assertEqual(fields["Songwriter"], "A. Oscillator")
        self.assertEqual([fields[f"Track 0{n} Title"] for n in (1, 2, 3)], ["Concert A", "A Fifth Above", "Octave"])
        self.assertEqual(fields["Track 02 Artist"], "The Sine Waves & Friends")
        self.assertEqual(fields["Last Track Number"], "3")


if __name__ == "__main__":
    unittest.main()
