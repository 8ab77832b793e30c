"""korvel --check and --extract on filesets that are not as korvel wrote them: one table of corruptions
and untrusted directory content, each row with the diagnostic it must produce on standard error and in
the JSON report (parsed by python's json); filesets in the forms other programs write, built from the
field layout, read back to their layout and extracted (the WAVE files read by sox); and the PQ sheet in
every mode."""

import hashlib
import json
import os
import re
import shutil
import stat
import tempfile
import unittest

import audio
import ddp_layout as L
from korvel_run import ScratchCase, content, edit, run, tool

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
# Its map: CD-Text, the PQ stream, the audio (packets 1 to 3). Its PQ stream: the lead-in, track 1's
# index 00 and 01, track 2's index 00 and 01, track 3's index 01, the lead-out twice.


def packet(path, n):
    return content(path)[(n - 1) * 128:n * 128]


def flip(path, at):
    edit(path, at, bytes([content(path)[at] ^ 0x01]))


def change_digit(path, name):
    """Changes the first hexadecimal digit on the checksum file's line for `name` into another one."""
    text = content(path)
    line = next(l for l in text.splitlines(keepends=True) if name.encode() in l)
    at = text.index(line) + (line.index(b"=") + 1 if b"=" in line else 0)
    edit(path, at, b"1" if text[at:at + 1] == b"0" else b"0")


def replaced(make):
    """Replaces a file by what `make(path)` puts in its place."""
    return lambda p: (os.remove(p), make(p))


def overlapping_streams(d):
    m = os.path.join(d, "DDPMS")
    audio.write(m, packet(m, 1) + packet(m, 2) + L.map_packet("D0", "IMAGE.DAT", dsl=900, dss=0, mode="DA", ssm="7") +
                L.map_packet("D0", "IMAGE.DAT", dsl=800, dss=850, mode="DA", ssm="7", offset=850 * FRAME))


def outside_checksum(d):
    audio.write(os.path.join(d, "..", "x"), b"outside")
    audio.write(os.path.join(d, "OUTSIDE.MD5"), hashlib.md5(b"outside").hexdigest().encode() + b" *../x\n")


def row(name, file, mutate, kind, where, position, message, also=None, status=None):
    """A corruption of `file` in the fileset, the issue it must give, the lines standard error must hold when they
    are not the issue's own (the checksum validator reports files it cannot read itself), and the status when it
    is not that of the issue's kind alone."""
    return dict(name=name, file=file, mutate=mutate, kind=kind, where=where, position=position, message=message,
                also=also, status=(1 if kind == "error" else 0) if status is None else status)


MD5_DIFFERS = "its MD5 differs from the one in CHECKSUM.MD5: the file is not what the checksum was made of"
CUT_SHORT = "is %d bytes long, shorter than the map says: packet 3 describes %d sectors (%d bytes) from byte 0 on"
E, W = "error", "warning"
CORRUPTIONS = [
    # A changed byte in every file of the fileset.
    row("byte of DDPID", "DDPID", lambda p: edit(p, 60, b"!"), E, "DDPID", "", MD5_DIFFERS),
    row("byte of DDPMS", "DDPMS", lambda p: edit(p, 3 * 128 - 5, b"!"), E, "DDPMS", "", MD5_DIFFERS),
    row("byte of SD", "SD", lambda p: edit(p, 2 * 64 + 50, b"!"), E, "SD", "", MD5_DIFFERS),
    row("byte of IMAGE.DAT", "IMAGE.DAT", lambda p: flip(p, 777777), E, "IMAGE.DAT", "", MD5_DIFFERS),
    row("byte of CDTEXT.BIN", "CDTEXT.BIN", lambda p: flip(p, 18 + 16), E, "CDTEXT.BIN", "pack 2",
        "1 of {packs} CD-Text packs fail their CRC, the first is pack 2: the CD-Text is damaged"),
    row("byte of CHECKSUM.MD5", "CHECKSUM.MD5", lambda p: change_digit(p, "SD"), E, "SD", "", MD5_DIFFERS),
    row("byte of CHECKSUM.TXT", "CHECKSUM.TXT", lambda p: change_digit(p, "DDPID"), E, "DDPID", "",
        "its CRC32 differs from the one in CHECKSUM.TXT: the file is not what the checksum was made of"),
    # The image cut short and grown; a mapped file removed.
    row("IMAGE.DAT cut short", "IMAGE.DAT", lambda p: os.truncate(p, SECTORS * FRAME - 1), E, "IMAGE.DAT", "",
        CUT_SHORT % (SECTORS * FRAME - 1, SECTORS, SECTORS * FRAME)),
    row("IMAGE.DAT grown", "IMAGE.DAT", lambda p: os.truncate(p, SECTORS * FRAME + 1000), W, "IMAGE.DAT",
        "byte %d" % (SECTORS * FRAME), "is %d bytes long, 1000 more than the map describes: they are not part of the "
        "disc" % (SECTORS * FRAME + 1000), status=1),
    row("SD removed", "SD", os.remove, E, "SD", "", "is missing: the map names it (packet 2), but the directory has no "
        "such file"),
    # The map and the PQ stream.
    row("packet without VVVM", "DDPMS", lambda p: edit(p, 0, b"VVVX"), E, "DDPMS", "packet 1",
        'begins with "VVVX", not "VVVM": not a map packet'),
    row("DSL that disagrees with the file", "DDPMS", lambda p: edit(p, 2 * 128 + 14, b"    1649"), E, "SD", "packet 7",
        "the lead-out is at 00:22:00 (frame 1650), but the audio data ends at sector 1649"),
    row("overlapping audio streams", "", overlapping_streams, E, "DDPMS", "packet 4",
        "the audio stream starts at sector 850, but the audio before it runs to sector 900: 50 sectors overlap"),
    row("PQ time going backwards", "SD", lambda p: edit(p, 4 * 64 + 10, b"000700"), E, "SD", "packet 5",
        "track 02 index 01 at 00:07:00 does not lie after the packet before it, at 00:08:00"),
    row("PQ time out of range", "SD", lambda p: edit(p, 2 * 64 + 12, b"61"), E, "SD", "packet 3",
        'the time "00:61:00" is not a position on a disc'),
    row("PQ frame 75", "SD", lambda p: edit(p, 2 * 64 + 14, b"75"), E, "SD", "packet 3",
        'the time "00:02:75" is not a position on a disc'),
    row("checksum file naming a file outside the directory", "", outside_checksum, E, "../x", "",
        "cannot be checked against OUTSIDE.MD5: not a file of the fileset directory",
        also=['Error: can\'t open file "ddp/../x": not a file of the fileset directory\n']),
    # Untrusted directory content: names out of the directory, files that are no files, sizes beyond reason.
    row("DSI with ../", "DDPMS", lambda p: edit(p, 2 * 128 + 74, b"../IMAGE.DAT"), E, "DDPMS", "packet 3",
        'names the file "../IMAGE.DAT", which is not a file of the fileset directory'),
    row("DSI naming a FIFO", "CDTEXT.BIN", replaced(os.mkfifo), E, "CDTEXT.BIN", "",
        "is a FIFO, device or socket, not a regular file"),
    row("DSI naming a directory", "SD", replaced(os.mkdir), E, "SD", "", "is a directory, not a file"),
    row("DSI naming a symbolic link", "IMAGE.DAT", replaced(lambda p: os.symlink("/dev/zero", p)), E, "IMAGE.DAT",
        "", "is a symbolic link: korvel reads only files inside the fileset directory"),
    row("DDPMS a symbolic link to a device", "DDPMS", replaced(lambda p: os.symlink("/dev/zero", p)), E, "DDPMS", "",
        "is a symbolic link: korvel reads only files inside the fileset directory"),
    row("DSI naming a device", "IMAGE.DAT", replaced(lambda p: os.mknod(p, stat.S_IFCHR | 0o600, os.makedev(1, 5))),
        E, "IMAGE.DAT", "", "is a FIFO, device or socket, not a regular file"),
    row("DDPMS of 10,000 packets", "DDPMS", lambda p: audio.write(p, packet(p, 3) * 10000), E, "DDPMS", "",
        "is 1280000 bytes long, more than any DDP map can be (65536 bytes)"),
    row("DSL of 99,999,999", "DDPMS", lambda p: edit(p, 2 * 128 + 14, b"99999999"), E, "IMAGE.DAT", "",
        CUT_SHORT % (SECTORS * FRAME, 99999999, 99999999 * FRAME)),
    row("DDPMS of binary garbage", "DDPMS", lambda p: audio.write(p, b"\xff\x00" * 192), E, "DDPMS", "packet 1",
        'begins with "????", not "VVVM": not a map packet'),
    row("DDPMS of 25 garbage packets", "DDPMS", lambda p: audio.write(p, b"\xff\x00" * 1600), E, "DDPMS", "packet 21",
        "not read, nor any packet after it: 20 faulty packets before it"),
    row("DDPMS packet cut short", "DDPMS", lambda p: os.truncate(p, 374), E, "DDPMS", "packet 3",
        "is 374 bytes long, not a whole number of 128-byte map packets: the last packet is cut short"),
    # Warnings alone leave the fileset sound.
    row("file left by a stopped run", ".IMAGE.DAT.korvel-4242", lambda p: audio.write(p, b"part"), W,
        ".IMAGE.DAT.korvel-4242", "", "is an unfinished file that a stopped korvel run left behind: it is no part of "
        "the fileset; remove it"),
    row("no checksum file", "", lambda d: [os.remove(os.path.join(d, n)) for n in ("CHECKSUM.MD5", "CHECKSUM.TXT")],
        W, "", "", "no checksum file: the plant cannot verify this fileset"),
]
VERDICT = re.compile(rb"fileset (OK|has (\d+) errors?)(, (\d+) warnings?)?\n")


class ReaderCase(ScratchCase):
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
                    r["mutate"](os.path.join(d, r["file"]) if r["file"] else d)
                except PermissionError:
                    continue  # only a privileged user makes device nodes
                status, message = r["status"], r["message"].replace("{packs}", str(packs))
                checked = run(["--check", "-v", "0", "ddp"], work, timeout=60)
                where = r["where"] + (", " + r["position"] if r["position"] else "")
                for line in r["also"] or ["%s: %s%s\n" % (r["kind"].capitalize(), where + ": " if where else "", message)]:
                    self.assertIn(line.encode(), checked.stderr)
                self.assertEqual(checked.returncode, status, checked.stderr.decode())
                verdict = VERDICT.fullmatch(checked.stdout)
                self.assertIsNotNone(verdict, checked.stdout)

                report = json.loads(run(["--check", "--json", "ddp"], work, timeout=60).stdout)
                self.assertIn({"file": r["where"], "position": r["position"], "message": message}, report[r["kind"] + "s"])
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
    def test_forms_of_other_programs_read_back_to_their_layout_and_extract(self):
        if shutil.which("sox") is None:
            self.skipTest("sox is not installed")
        for name, split, lower, pq_name in [("split", True, False, "PQDESCR"), ("lower", False, True, "PQ_DESCR"),
                                            ("named", False, False, "DDPPQ")]:
            with self.subTest(name):
                image = L.write_fileset(self.path(name), FOREIGN, FOREIGN_TEXTS, split, pq_name, lower,
                                        md5_file="checksum.md5" if lower else None)
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
                # image.wav is the whole disc, with a canonical header; the track files are the disc from track 1 on.
                self.assertEqual(content(out, "image.wav"), audio.wave_bytes(image))
                self.assertEqual(tool("sox", *[os.path.join(out, "%02d.wav" % n) for n in (1, 2, 3)], "-t", "raw", "-"),
                                 image[150 * FRAME:])
                cue = content(out, "image.cue").decode("utf-8")
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


class PqSheet(ReaderCase):
    def test_every_mode_writes_the_same_sheet_and_never_over_an_input(self):
        shutil.copy(os.path.join(self.reference, "a.raw"), self.dir)
        audio.write(self.path("disc.cue"), DISC.replace(b'"One"', b'"<One> & "Two""'))
        os.mkdir(self.path("ddp"))
        r = run(["-t", "disc.cue", "ddp"], self.dir)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        runs = {"parse": ["--pq-sheet=parse.html", "disc.cue"],
                "write": ["-t", "--pq-sheet=write.html", "disc.cue", "out"],
                "check": ["--check", "--pq-sheet=check.html", "ddp"],
                "extract": ["--extract", "--pq-sheet=extract.html", "ddp", "out"]}
        for mode, args in runs.items():
            r = run(args, self.dir)
            self.assertEqual(r.returncode, 0, (mode, r.stderr.decode()))
        self.assertIn(b"Writing image.wav and 3 track files... done.\nWriting image.cue... done.\n", r.stdout)
        pages = {mode: self.read(mode + ".html") for mode in runs}
        self.assertEqual(len(set(pages.values())), 1, "the four sheets differ")
        # What the sheet holds, and that it prints: tests/e2e_pq_sheet_print.py.
        self.assertIn(b"<td>&lt;One&gt; &amp; &quot;Two&quot;</td>", pages["check"])

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
