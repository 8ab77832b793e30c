"""korvel --check and --extract on filesets that are not as korvel wrote them: one table of corruptions
and untrusted directory content, each row with the diagnostic it must produce on standard error and in
the JSON report (parsed by python's json); filesets in the forms other programs write, built from the
field layout, read back to their layout and extracted (the WAVE files read by sox); and the PQ sheet in
every mode, read by python's html.parser."""

import hashlib
import json
import os
import re
import shutil
import stat
import subprocess
import tempfile
import unittest
from html.parser import HTMLParser

import audio
import cdtext_packs
import ddp_layout as L
from korvel_run import ScratchCase, run

FRAME = audio.FRAME_BYTES
SECTORS = 1650  # the reference disc: 2 s of pregap and 20 s of audio
DISC = b"""CATALOG 4006381333931
TITLE "Caf\xe9 Sessions"
FILE "a.raw" BINARY
  TRACK 01 AUDIO
    TITLE "One"
    ISRC DEA121500001
    INDEX 01 00:00:00
  TRACK 02 AUDIO
    TITLE "Two"
    INDEX 00 00:06:00
    INDEX 01 00:07:00
  TRACK 03 AUDIO
    INDEX 01 00:13:00
"""
# Its map: CD-Text, the PQ stream, the audio. Its PQ stream: the lead-in, track 1's index 00 and 01,
# track 2's index 00 and 01, track 3's index 01, the lead-out twice.
CDTEXT_PACKET, PQ_PACKET, AUDIO_PACKET = 1, 2, 3


def content(path):
    with open(path, "rb") as f:
        return f.read()


def edit(path, at, data):
    with open(path, "r+b") as f:
        f.seek(at)
        f.write(data)


def packet(path, n, size=128):
    with open(path, "rb") as f:
        return f.read()[(n - 1) * size:n * size]


def replace_packets(path, packets):
    audio.write(path, b"".join(packets))


def flip(path, at):
    with open(path, "r+b") as f:
        f.seek(at)
        byte = f.read(1)
        f.seek(at)
        f.write(bytes([byte[0] ^ 0x01]))


def change_digit(path, name):
    """Changes the first hexadecimal digit on the checksum file's line for `name` into another one."""
    text = content(path)
    line = next(l for l in text.splitlines(keepends=True) if name.encode() in l)
    at = text.index(line) + (line.index(b"=") + 1 if b"=" in line else 0)
    edit(path, at, b"1" if text[at:at + 1] == b"0" else b"0")


def row(name, mutate, kind, file, position, message, also=None, status=None):
    """A corruption, the issue it must give, the lines standard error must hold when they are not the issue's
    own (the checksum validator reports files it cannot read itself), and the status when it is not that of
    the issue's kind alone."""
    return dict(name=name, mutate=mutate, kind=kind, file=file, position=position, message=message, also=also,
                status=(1 if kind == "error" else 0) if status is None else status)


def fifo(p):
    os.remove(p)
    os.mkfifo(p)


def directory(p):
    os.remove(p)
    os.mkdir(p)


def device(p):
    os.remove(p)
    os.mknod(p, stat.S_IFCHR | 0o600, os.makedev(1, 5))


def symlink_to_zero(p):
    os.remove(p)
    os.symlink("/dev/zero", p)


def overlapping_streams(d):
    map_path = os.path.join(d, "DDPMS")
    head = packet(map_path, 1) + packet(map_path, 2)
    replace_packets(map_path, [head, L.map_packet("D0", "IMAGE.DAT", dsl=900, dss=0, mode="DA", ssm="7"),
                               L.map_packet("D0", "IMAGE.DAT", dsl=800, dss=850, mode="DA", ssm="7",
                                            offset=850 * FRAME)])


def outside_checksum(d):
    audio.write(os.path.join(d, "..", "x"), b"outside")
    audio.write(os.path.join(d, "OUTSIDE.MD5"), hashlib.md5(b"outside").hexdigest().encode() + b" *../x\n")


MD5_DIFFERS = "its MD5 differs from the one in CHECKSUM.MD5: the file is not what the checksum was made of"
CUT_SHORT = "is %d bytes long, shorter than the map says: packet 3 describes %d sectors (%d bytes) from byte 0 on"


CORRUPTIONS = [
    # A changed byte in every file of the fileset.
    row("byte of DDPID", lambda d: edit(os.path.join(d, "DDPID"), 60, b"!"), "error", "DDPID", "", MD5_DIFFERS),
    row("byte of DDPMS", lambda d: edit(os.path.join(d, "DDPMS"), 3 * 128 - 5, b"!"), "error", "DDPMS", "",
        MD5_DIFFERS),
    row("byte of SD", lambda d: edit(os.path.join(d, "SD"), 2 * 64 + 50, b"!"), "error", "SD", "", MD5_DIFFERS),
    row("byte of IMAGE.DAT", lambda d: flip(os.path.join(d, "IMAGE.DAT"), 777777), "error", "IMAGE.DAT", "",
        MD5_DIFFERS),
    row("byte of CDTEXT.BIN", lambda d: flip(os.path.join(d, "CDTEXT.BIN"), 18 + 16), "error", "CDTEXT.BIN",
        "pack 2", "1 of {packs} CD-Text packs fail their CRC, the first is pack 2: the CD-Text is damaged"),
    row("byte of CHECKSUM.MD5", lambda d: change_digit(os.path.join(d, "CHECKSUM.MD5"), "SD"), "error", "SD", "",
        MD5_DIFFERS),
    row("byte of CHECKSUM.TXT", lambda d: change_digit(os.path.join(d, "CHECKSUM.TXT"), "DDPID"), "error", "DDPID",
        "", "its CRC32 differs from the one in CHECKSUM.TXT: the file is not what the checksum was made of"),
    # The image cut short and grown; a mapped file removed.
    row("IMAGE.DAT cut short", lambda d: os.truncate(os.path.join(d, "IMAGE.DAT"), SECTORS * FRAME - 1), "error",
        "IMAGE.DAT", "", CUT_SHORT % (SECTORS * FRAME - 1, SECTORS, SECTORS * FRAME)),
    row("IMAGE.DAT grown", lambda d: os.truncate(os.path.join(d, "IMAGE.DAT"), SECTORS * FRAME + 1000), "warning",
        "IMAGE.DAT", "byte %d" % (SECTORS * FRAME),
        "is %d bytes long, 1000 more than the map describes: they are not part of the disc" % (SECTORS * FRAME + 1000),
        status=1),
    row("SD removed", lambda d: os.remove(os.path.join(d, "SD")), "error", "SD", "",
        "is missing: the map names it (packet 2), but the directory has no such file"),
    # The map and the PQ stream.
    row("packet without VVVM", lambda d: edit(os.path.join(d, "DDPMS"), 0, b"VVVX"), "error", "DDPMS", "packet 1",
        'begins with "VVVX", not "VVVM": not a map packet'),
    row("DSL that disagrees with the file", lambda d: edit(os.path.join(d, "DDPMS"), 2 * 128 + 14, b"    1649"),
        "error", "SD", "packet 7", "the lead-out is at 00:22:00 (frame 1650), but the audio data ends at sector 1649"),
    row("overlapping audio streams", overlapping_streams, "error", "DDPMS", "packet 4",
        "the audio stream starts at sector 850, but the audio before it runs to sector 900: 50 sectors overlap"),
    row("PQ time going backwards", lambda d: edit(os.path.join(d, "SD"), 4 * 64 + 10, b"000700"), "error", "SD",
        "packet 5", "track 02 index 01 at 00:07:00 does not lie after the packet before it, at 00:08:00"),
    row("PQ time out of range", lambda d: edit(os.path.join(d, "SD"), 2 * 64 + 12, b"61"), "error", "SD",
        "packet 3", 'the time "00:61:00" is not a position on a disc'),
    row("checksum file naming a file outside the directory", outside_checksum, "error", "../x", "",
        "cannot be checked against OUTSIDE.MD5: not a file of the fileset directory",
        also=['Error: can\'t open file "@/../x": not a file of the fileset directory\n']),
    # Untrusted directory content: names out of the directory, files that are no files, sizes beyond reason.
    row("DSI with ../", lambda d: edit(os.path.join(d, "DDPMS"), 2 * 128 + 74, b"../IMAGE.DAT"), "error", "DDPMS",
        "packet 3", 'names the file "../IMAGE.DAT", which is not a file of the fileset directory'),
    row("DSI naming a FIFO", lambda d: fifo(os.path.join(d, "CDTEXT.BIN")), "error", "CDTEXT.BIN", "",
        "is a FIFO, device or socket, not a regular file"),
    row("DSI naming a directory", lambda d: directory(os.path.join(d, "SD")), "error", "SD", "",
        "is a directory, not a file"),
    row("DSI naming a symbolic link", lambda d: symlink_to_zero(os.path.join(d, "IMAGE.DAT")), "error", "IMAGE.DAT",
        "", "is a symbolic link: korvel reads only files inside the fileset directory"),
    row("DSI naming a device", lambda d: device(os.path.join(d, "IMAGE.DAT")), "error", "IMAGE.DAT", "",
        "is a FIFO, device or socket, not a regular file"),
    row("DDPMS of 10,000 packets", lambda d: audio.write(os.path.join(d, "DDPMS"), packet(os.path.join(d, "DDPMS"), 3)
                                                         * 10000), "error", "DDPMS", "",
        "is 1280000 bytes long, more than any DDP map can be (65536 bytes)"),
    row("DSL of 99,999,999", lambda d: edit(os.path.join(d, "DDPMS"), 2 * 128 + 14, b"99999999"), "error",
        "IMAGE.DAT", "", CUT_SHORT % (SECTORS * FRAME, 99999999, 99999999 * FRAME)),
    row("DDPMS of binary garbage", lambda d: audio.write(os.path.join(d, "DDPMS"), b"\xff\x00" * 192), "error",
        "DDPMS", "packet 1", 'begins with "????", not "VVVM": not a map packet'),
    row("DDPMS packet cut short", lambda d: os.truncate(os.path.join(d, "DDPMS"), 374), "error", "DDPMS", "packet 3",
        "is 374 bytes long, not a whole number of 128-byte map packets: the last packet is cut short"),
    # Warnings alone leave the fileset sound.
    row("file left by a stopped run", lambda d: audio.write(os.path.join(d, ".IMAGE.DAT.korvel-4242"), b"part"),
        "warning", ".IMAGE.DAT.korvel-4242", "",
        "is an unfinished file that a stopped korvel run left behind: it is no part of the fileset; remove it"),
    row("no checksum file", lambda d: [os.remove(os.path.join(d, n)) for n in ("CHECKSUM.MD5", "CHECKSUM.TXT")],
        "warning", "", "", "no checksum file: the plant cannot verify this fileset"),
]
VERDICT = re.compile(rb"fileset (OK|has (\d+) errors?)(, (\d+) warnings?)?\n")


class ReaderCase(ScratchCase):
    reference = None

    @classmethod
    def setUpClass(cls):
        cls.reference = tempfile.mkdtemp(prefix="korvel-reader-")
        audio.write(os.path.join(cls.reference, "a.raw"), audio.sectors(1500, seed=5))
        audio.write(os.path.join(cls.reference, "disc.cue"), DISC)
        os.mkdir(os.path.join(cls.reference, "ddp"))
        r = run(["-t", "-m", "READER", "disc.cue", "ddp"], cls.reference)
        assert r.returncode == 0, r.stderr

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.reference, ignore_errors=True)

    def fileset(self, *name):
        """A copy of the reference fileset, by default as ddp/ in the scratch folder."""
        path = self.path(*(name or ("ddp",)))
        shutil.copytree(os.path.join(self.reference, "ddp"), path)
        return path


class Corruptions(ReaderCase):
    def test_each_corruption_is_reported_where_it_is_in_words_and_in_json(self):
        packs = os.path.getsize(os.path.join(self.reference, "ddp", "CDTEXT.BIN")) // 18
        for k, r in enumerate(CORRUPTIONS):
            with self.subTest(r["name"]):
                work = self.path("row%02d" % k)
                d = self.fileset(work, "ddp")
                os.mkdir(os.path.join(work, "out"))
                try:
                    r["mutate"](d)
                except PermissionError:
                    continue  # only a privileged user makes device nodes
                status = r["status"]
                message = r["message"].replace("{packs}", str(packs))
                checked = run(["--check", "-v", "0", "ddp"], work, timeout=60)
                where = r["file"] + (", " + r["position"] if r["position"] else "")
                lines = r["also"] or ["%s: %s%s\n" % (r["kind"].capitalize(), where + ": " if where else "", message)]
                for line in lines:
                    self.assertIn(line.replace("@", "ddp").encode(), checked.stderr)
                self.assertEqual(checked.returncode, status, checked.stderr.decode())
                verdict = VERDICT.fullmatch(checked.stdout)
                self.assertIsNotNone(verdict, checked.stdout)

                report = json.loads(run(["--check", "--json", "ddp"], work, timeout=60).stdout)
                issue = {"file": r["file"], "position": r["position"], "message": message}
                self.assertIn(issue, report[r["kind"] + "s"])
                self.assertEqual(int(verdict.group(2) or 0), len(report["errors"]))
                self.assertEqual(int(verdict.group(4) or 0), len(report["warnings"]))
                self.assertEqual(report["status"], "errors" if status else "OK")

                # A fileset with errors is not extracted: nothing is written.
                extracted = run(["--extract", "ddp", "out"], work, timeout=60)
                self.assertEqual(extracted.returncode, status)
                self.assertEqual(os.listdir(os.path.join(work, "out")) == [], bool(status))


# A disc as other programs lay it out: three tracks, track 2 with a pause and an index 02, track 3 without a
# pause, copy permission and copy management flags.
FOREIGN = {"upc": "4006381333931", "lead_out": 1500, "tracks": [
    {"indexes": {0: 0, 1: 150}, "isrc": "DEA121500001"},
    {"indexes": {0: 600, 1: 675, 2: 800}, "isrc": "DEA121500002", "control": 2},
    {"indexes": {1: 1100}, "isrc": "DEA121500003", "scms": True}]}
FOREIGN_TEXTS = {0x80: ["Fremde Platte", "Eins", "Zw\xf6lf", "Drei"], 0x81: ["Die Band", "", "", ""]}


class ForeignFilesets(ReaderCase):
    def build(self, name, split, lower, pq_name):
        """A fileset in `name`: split per-track data files with DSS (or one image file with an offset), the PQ
        file under `pq_name`, SSM 0; with `lower`, every name on disk in lower case."""
        d = self.path(name)
        os.mkdir(d)
        disk = (lambda n: n.lower()) if lower else (lambda n: n)
        image = audio.sectors(FOREIGN["lead_out"], seed=8)
        packets = []
        if split:
            for n in range(1, 4):
                start, end = L.sectors_of(FOREIGN, n)
                audio.write(os.path.join(d, disk("IC%02d.TRK" % n)), image[start * FRAME:end * FRAME])
                packets.append(L.map_packet("D0", "IC%02d.TRK" % n, dsl=end - start, dss=start, mode="DA", ssm="0",
                                            pre2=150 if n == 1 else 0, track=n))
        else:
            audio.write(os.path.join(d, disk("IMAGE.DAT")), b"HEAD" + image)
            packets.append(L.map_packet("D0", "IMAGE.DAT", dsl=FOREIGN["lead_out"], mode="DA", ssm="0", pre1=150,
                                        offset=4))
        pq = L.pq_stream(FOREIGN, lead_in=split, lead_out_twice=split, isrc_on="00" if split else "both",
                         zero_length_index0=not split)
        audio.write(os.path.join(d, disk(pq_name)), pq)
        packets.insert(0, L.map_packet("S0", pq_name, dsl=len(pq), sub="PQ DESCR"))
        # CD-Text with a 4-byte header before the packs and a NUL after them.
        packs = cdtext_packs.block(FOREIGN_TEXTS)
        cdtext = (len(packs) + 2).to_bytes(2, "big") + b"\0\0" + packs + b"\0"
        audio.write(os.path.join(d, disk("CDTEXT.BIN")), cdtext)
        if not split:
            packets.insert(0, L.map_packet("S0", "CDTEXT.BIN", dsl=len(cdtext), sub="CDTEXT"))
        replace_packets(os.path.join(d, disk("DDPMS")), packets)
        audio.write(os.path.join(d, disk("DDPID")), L.ddpid(upc=FOREIGN["upc"], master="FOREIGN 1"))
        if lower:
            # md5sum's lines, with the names as the map gives them.
            lines = ["%s *%s\n" % (hashlib.md5(content(os.path.join(d, n.lower()))).hexdigest(), n)
                     for n in ("DDPID", "DDPMS", "IMAGE.DAT", pq_name, "CDTEXT.BIN")]
            audio.write(os.path.join(d, "checksum.md5"), "".join(lines).encode())
        return image

    def test_forms_of_other_programs_read_back_to_their_layout_and_extract(self):
        if shutil.which("sox") is None:
            self.skipTest("sox is not installed")
        forms = [("split", True, False, "PQDESCR"), ("lower", False, True, "PQ_DESCR"),
                 ("named", False, False, "DDPPQ")]
        for name, split, lower, pq_name in forms:
            with self.subTest(name):
                image = self.build(name, split, lower, pq_name)
                checked = run(["--check", name], self.dir)
                self.assertEqual(checked.returncode, 0, checked.stderr.decode())
                report = json.loads(run(["--check", "--json", name], self.dir).stdout)
                self.assertEqual(report["errors"], [])
                # Without a checksum file that is the one warning.
                self.assertEqual([w["message"] for w in report["warnings"]],
                                 [] if lower else ["no checksum file: the plant cannot verify this fileset"])
                disc = report["disc"]
                self.assertEqual((disc["upc_ean"], disc["lead_out"]["frames"], disc["title"], disc["performer"]),
                                 (FOREIGN["upc"], FOREIGN["lead_out"], "Fremde Platte", "Die Band"))
                for t, want, title in zip(disc["tracks"], FOREIGN["tracks"], FOREIGN_TEXTS[0x80][1:]):
                    self.assertEqual({i["number"]: i["frames"] for i in t["indexes"]}, want["indexes"])
                    self.assertEqual((t["isrc"], t["flags"]["dcp"], t["flags"]["scms"], t["title"]),
                                     (want["isrc"], want.get("control") == 2, want.get("scms", False), title))
                out = self.path(name + "-out")
                os.mkdir(out)
                extracted = run(["--extract", "-v", "0", name, out], self.dir)
                self.assertEqual(extracted.returncode, 0, extracted.stderr.decode())
                raw = subprocess.run(["sox", os.path.join(out, "image.wav"), "-t", "raw", "-"], check=True,
                                     stdout=subprocess.PIPE).stdout
                self.assertEqual(raw, image)
                tracks = subprocess.run(["sox"] + [os.path.join(out, "%02d.wav" % n) for n in (1, 2, 3)] +
                                        ["-t", "raw", "-"], check=True, stdout=subprocess.PIPE).stdout
                self.assertEqual(tracks, image[150 * FRAME:])
                cue = content(os.path.join(out, "image.cue")).decode("utf-8")
                self.assertTrue(cue.startswith("\ufeffCATALOG 4006381333931\nTITLE \"Fremde Platte\"\n"), cue)
                self.assertIn('  TRACK 02 AUDIO\n    TITLE "Zw\xf6lf"\n    ISRC DEA121500002\n    FLAGS DCP\n'
                              '    INDEX 00 00:08:00\n    INDEX 01 00:09:00\n    INDEX 02 00:10:50\n', cue)

    def test_an_output_that_is_a_file_of_the_fileset_is_refused(self):
        # A fileset whose audio file is named like a track file, extracted into its own directory.
        d = self.fileset()
        os.rename(os.path.join(d, "IMAGE.DAT"), os.path.join(d, "01.wav"))
        os.remove(os.path.join(d, "CHECKSUM.MD5"))
        os.remove(os.path.join(d, "CHECKSUM.TXT"))
        edit(os.path.join(d, "DDPMS"), 2 * 128 + 74, b"01.wav   ")
        before = self.read(d, "01.wav")
        r = run(["--extract", "ddp", "ddp"], self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"Error: ddp/01.wav is ddp/01.wav, a file of the fileset: extract into another directory\n",
                      r.stderr)
        self.assertEqual(self.read(d, "01.wav"), before)
        self.assertFalse(os.path.exists(os.path.join(d, "image.wav")))


class SheetRows(HTMLParser):
    """The text of every table row of a page."""

    def __init__(self):
        super().__init__()
        self.rows, self.cells = [], None

    def handle_starttag(self, tag, attrs):
        if tag == "tr":
            self.cells = []
        elif tag in ("td", "th") and self.cells is not None:
            self.cells.append("")

    def handle_data(self, data):
        if self.cells:
            self.cells[-1] += data.strip()

    def handle_endtag(self, tag):
        if tag == "tr":
            self.rows.append(self.cells)
            self.cells = None


class PqSheet(ReaderCase):
    def test_every_mode_writes_the_same_sheet_and_never_over_an_input(self):
        shutil.copy(os.path.join(self.reference, "a.raw"), self.dir)
        shutil.copy(os.path.join(self.reference, "disc.cue"), self.dir)
        self.fileset()
        runs = {"parse": ["--pq-sheet=parse.html", "disc.cue"],
                "write": ["-t", "--pq-sheet=write.html", "disc.cue", "out"],
                "check": ["--check", "--pq-sheet=check.html", "ddp"],
                "extract": ["--extract", "--pq-sheet=extract.html", "ddp", "out"]}
        for mode, args in runs.items():
            r = run(args, self.dir)
            self.assertEqual(r.returncode, 0, (mode, r.stderr.decode()))
        pages = {mode: self.read(mode + ".html") for mode in runs}
        self.assertEqual(len(set(pages.values())), 1, "the four sheets differ")
        sheet = SheetRows()
        sheet.feed(pages["check"].decode("cp1252"))
        self.assertEqual(sheet.rows[:3], [["Disc Title:", "Caf\xe9 Sessions"], ["Disc Performer:", ""],
                                          ["UPC/EAN:", "4006381333931"]])
        indexes = [(row[0], row[1], row[2]) for row in sheet.rows[4:-1]]
        self.assertEqual(indexes, [("01", "00", "00:00:00"), ("", "01", "00:02:00"), ("02", "00", "00:08:00"),
                                   ("", "01", "00:09:00"), ("03", "01", "00:15:00")])
        self.assertEqual(sheet.rows[-1][:2], ["Total Time:", "00:22:00"])

        # Never over an input, and not for a fileset with errors.
        sd = self.read("ddp", "SD")
        r = run(["--check", "--pq-sheet=ddp/SD", "ddp"], self.dir)
        self.assertEqual((r.returncode, self.read("ddp", "SD")), (1, sd))
        self.assertIn(b"Error: ddp/SD is ddp/SD, a file this run reads: the PQ sheet is never written over an input\n",
                      r.stderr)
        os.remove(self.path("ddp", "SD"))
        r = run(["--check", "--pq-sheet=broken.html", "ddp"], self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"Error: broken.html not written: the fileset has errors\n", r.stderr)
        self.assertFalse(os.path.exists(self.path("broken.html")))


if __name__ == "__main__":
    unittest.main()
