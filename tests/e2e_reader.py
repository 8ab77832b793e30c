"""korvel --check and --extract on filesets that are not as korvel wrote them: one table of corruptions
and untrusted directory content, each row with the diagnostic it must produce on standard error and in
the JSON report (parsed by python's json); filesets in the forms other programs write, built from the
field layout, read back to their layout and extracted (the WAVE files read by sox); and the PQ sheet in
every mode; the same filesets as ZIP archives (zip -r, python's zipfile, korvel --zip) and hostile archives."""

import contextlib
import errno
import fcntl
import hashlib
import json
import os
import re
import shutil
import stat
import subprocess
import tempfile
import time
import unittest
import zipfile
import zlib
from html.parser import HTMLParser

import audio
import cdtext_packs
import ddp_layout as L
from korvel_run import ENV, FLAC_BUILT_IN, KORVEL, ScratchCase, content, edit, run, tool

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


def audio_twice(d):  # the image mapped twice from sector 0, the first packet with a pregap of 149 frames
    m = os.path.join(d, "DDPMS")
    audio.write(m, packet(m, 1) + packet(m, 2) + packet(m, 3)[:46] + b" 149" + packet(m, 3)[50:] + packet(m, 3))


def outside_checksum(d):
    audio.write(os.path.join(d, "..", "x"), b"outside")
    audio.write(os.path.join(d, "OUTSIDE.MD5"), hashlib.md5(b"outside").hexdigest().encode() + b" *../x\n")


def resum(d, names=None):
    """CHECKSUM.MD5 and CHECKSUM.TXT made anew by python's hashlib and zlib, for a change that must show only as
    what it is: of DDPID, DDPMS and the files the map names, or of `names`."""
    m = os.path.join(d, "DDPMS")
    names = names or ["DDPID", "DDPMS"] + [packet(m, n)[74:91].decode().strip()
                                           for n in range(1, os.path.getsize(m) // 128 + 1)]
    data = {n: content(d, n) for n in names}
    audio.write(os.path.join(d, "CHECKSUM.MD5"), "".join("%s *%s\n" % (hashlib.md5(data[n]).hexdigest(), n)
                                                         for n in names).encode())
    audio.write(os.path.join(d, "CHECKSUM.TXT"), ("[CRC32 Checksum]\n" + "".join(
        "%s=%08X\n" % (n, zlib.crc32(data[n])) for n in names)).encode())


def new_cdtext(texts, size_info=True):
    """Replaces the fileset's CD-Text by packs of `texts` (cdtext_packs.block), without its three size-information
    packs unless `size_info`, the map's length of it to match."""
    packs = cdtext_packs.block(texts)[:None if size_info else -3 * 18]
    return lambda d: (audio.write(os.path.join(d, "CDTEXT.BIN"), packs),
                      edit(os.path.join(d, "DDPMS"), 14, b"%8d" % len(packs)), resum(d))


def md5_lines(transform):
    """CHECKSUM.MD5's lines changed by `transform(lines)`."""
    return lambda p: audio.write(p, "".join(transform(content(p).decode().splitlines(True))).encode())


def listed_link(d):
    os.symlink("/etc/passwd", os.path.join(d, "notes.txt"))
    with open(os.path.join(d, "CHECKSUM.MD5"), "a") as f:
        f.write("%s *notes.txt\n" % hashlib.md5(content("/etc/passwd")).hexdigest())


def case_twin(d):  # the map names image.dat, the checksum files IMAGE.DAT, another file
    audio.write(os.path.join(d, "image.dat"), content(d, "IMAGE.DAT")[:-1] + b"!")
    edit(os.path.join(d, "DDPMS"), 2 * 128 + 74, b"image.dat")
    resum(d, ["DDPID", "DDPMS", "CDTEXT.BIN", "SD", "IMAGE.DAT"])


def row(name, file, mutate, kind, where, position, message, also=None, status=None, stricter=None, shown=None):
    """A corruption of `file` in the fileset, the issue it must give (none without `kind`), the lines standard error
    must hold when they are not the issue's own (the validator reports files it cannot read itself), and the status
    when it is not that of the issue's kind alone. On the checksum file `stricter`, md5sum -c passes where korvel
    refuses on purpose: it reads nothing outside the fileset directory and no name that a case-insensitive file
    system takes for another. `shown`: what the whole report on standard output holds."""
    return dict(name=name, file=file, mutate=mutate, kind=kind, where=where, position=position, message=message,
                also=also, status=(1 if kind == "error" else 0) if status is None else status, stricter=stricter,
                shown=shown)


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
        also=['Error: can\'t open file "ddp/../x": not a file of the fileset directory\n'], stricter="OUTSIDE.MD5"),
    row("listed file linking out of the directory", "", listed_link, E, "notes.txt", "", "cannot be checked against "
        "CHECKSUM.MD5: a symbolic link: korvel reads only files inside the fileset directory", also=[
            'Error: can\'t open file "ddp/notes.txt": a symbolic link: korvel reads only files inside the fileset '
            'directory\n'], stricter="CHECKSUM.MD5"),
    row("map and checksum file naming two files that differ in case", "", case_twin, E, "image.dat", "",
        "differs from IMAGE.DAT only in letter case: on a file system that ignores case they are one file, so the "
        "fileset is ambiguous", stricter="CHECKSUM.MD5"),
    row("a file listed twice, the first line wrong", "CHECKSUM.MD5", md5_lines(lambda l: [l[4].replace("1", "2", 1)
        if "1" in l[4][:32] else l[4].replace("0", "1", 1)] + l), E, "IMAGE.DAT", "",
        "CHECKSUM.MD5 gives it two different MD5s, on lines 1 and 6"),
    row("a file of the map that no checksum file lists", "", lambda d: (md5_lines(lambda l: l[:3] + l[4:])(
        os.path.join(d, "CHECKSUM.MD5")), os.remove(os.path.join(d, "CHECKSUM.TXT"))), W, "SD", "",
        "is in no checksum file: nothing vouches for it"),
    row("names written ./NAME", "CHECKSUM.MD5", md5_lines(lambda l: [x.replace("*", "*./") for x in l]), None, "", "",
        ""),
    row("checksum file named with terminal escapes", "", lambda d: audio.write(
        os.path.join(d, "sums\x1b]0;owned\x07.md5"), b"0123456789abcdef0123456789abcdef *GONE.DAT\n"), E,
        "GONE.DAT", "", "cannot be checked against sums\x1b]0;owned\x07.md5: No such file or directory",
        also=['Error: can\'t open file "ddp/GONE.DAT": No such file or directory\n'],
        shown=b'Validating MD5s from file "sums\\x1b]0;owned\\x07.md5"\n'),
    row("DDPID a FIFO", "DDPID", replaced(os.mkfifo), E, "DDPID", "", "is a FIFO, device or socket, not a regular file"),
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
    row("DDPMS of 10,000 packets", "DDPMS", lambda p: audio.write(p, packet(p, 3) * 10000), E, "DDPMS", "",
        "is 1280000 bytes long, more than any DDP map can be (65536 bytes)"),
    # The stream the image cannot hold is that one error: no disc of 99,999,999 sectors to set against the lead-out.
    row("DSL of 99,999,999", "DDPMS", lambda p: (edit(p, 2 * 128 + 14, b"99999999"), resum(os.path.dirname(p))), E,
        "IMAGE.DAT", "", CUT_SHORT % (SECTORS * FRAME, 99999999, 99999999 * FRAME), shown=b"fileset has 1 error\n"),
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
    row("CD-Text the map does not name", "", lambda d: (audio.write(os.path.join(d, "DDPMS"), packet(
        os.path.join(d, "DDPMS"), 2) + packet(os.path.join(d, "DDPMS"), 3)), resum(d)), W, "CDTEXT.BIN", "",
        "is not part of this fileset: DDPMS does not name it"),
    # What CD-Text and the map say beside the PQ stream.
    row("UTF-8 in ISO 8859-1 CD-Text", "", new_cdtext({0x80: ["Pi\xc3\xb9 Che Puoi", "One", "Two", ""]}), W,
        "CDTEXT.BIN", "block 0", 'pack type 0x80 (Title), the disc: "Pi\xc3\xb9 Che Puoi", probably '
        '"Pi\xf9 Che Puoi": UTF-8 in a block that says ISO 8859-1'),
    row("CD-Text ISRC that is not the PQ stream's", "", new_cdtext({0x80: ["Caf\xe9 Sessions", "One", "Two", ""],
        0x8E: ["4006381333931", "DEA121500009", "", ""]}), E, "CDTEXT.BIN", "",
        "track 01: gives the ISRC DEA121500009, but the PQ stream gives DEA121500001"),
    row("CD-Text without size information", "", new_cdtext({0x80: ["Caf\xe9 Sessions", "One", "Two", ""]}, False), E,
        "CDTEXT.BIN", "", "has no size information (packs of type 0x8F): not a CD-Text file"),
    row("map pregap that is not the PQ stream's", "DDPMS", lambda p: (edit(p, 2 * 128 + 46, b" 149"),
        resum(os.path.dirname(p))), W, "DDPMS", "packet 3",
        "gives track 01 a pregap (PRE1 + PRE2) of 149 frames, but the PQ stream starts track 01 at frame 150"),
    # Of two audio streams at sector 0 the first in the map starts the disc (the second overlaps it).
    row("audio stream mapped twice", "", audio_twice, W, "DDPMS", "packet 3", "gives track 01 a pregap (PRE1 + "
        "PRE2) of 149 frames, but the PQ stream starts track 01 at frame 150", status=1),
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


def md5sum_agrees(test, folder, report, stricter=None):
    """md5sum -c and korvel agree on each checksum file in md5sum's form (on `stricter`, md5sum passes and korvel
    fails). One that lists a FIFO or device is left to korvel: md5sum would wait for ever."""
    for name in [n for n in os.listdir(folder) if n.lower().endswith(".md5")]:
        listed = [os.path.join(folder, l.split(b" ", 1)[1].lstrip(b" *").decode())
                  for l in content(folder, name).splitlines()]
        if any(os.path.exists(n) and not stat.S_ISREG(os.stat(n).st_mode) for n in listed):
            continue
        md5sum = subprocess.run(["md5sum", "-c", name], cwd=folder, capture_output=True).returncode == 0
        korvel = all(r["result"] == "OK" for r in report["checksums"]["results"] if r["checksum_file"] == name)
        test.assertEqual((md5sum, korvel), (True, False) if stricter == name else (md5sum, md5sum), name)


class Corruptions(ReaderCase):
    def test_each_corruption_is_reported_where_it_is_in_words_and_in_json(self):
        packs = os.path.getsize(os.path.join(self.reference, "ddp", "CDTEXT.BIN")) // 18
        for k, r in enumerate(CORRUPTIONS):
            with self.subTest(r["name"]):
                work = self.path("row%02d" % k)
                d = self.fileset(work, "ddp")
                os.mkdir(os.path.join(work, "out"))
                r["mutate"](os.path.join(d, r["file"]) if r["file"] else d)
                status, message = r["status"], r["message"].replace("{packs}", str(packs))
                checked = run(["--check", "-v", "0", "ddp"], work, timeout=60)
                where = r["where"] + (", " + r["position"] if r["position"] else "")
                for line in r["also"] or ["%s: %s%s\n" % (r["kind"].capitalize(), where + ": " if where else "", message)
                                          ] if r["kind"] else []:
                    self.assertIn(line.encode(), checked.stderr)
                self.assertEqual(checked.returncode, status, checked.stderr.decode())
                # A name from the fileset never reaches the terminal with its control characters.
                self.assertNotIn(b"\x1b", checked.stderr + checked.stdout)
                verdict = VERDICT.fullmatch(checked.stdout)
                self.assertIsNotNone(verdict, checked.stdout)
                if r["shown"]:
                    self.assertIn(r["shown"], run(["--check", "ddp"], work, timeout=60).stdout)

                report = json.loads(run(["--check", "--json", "ddp"], work, timeout=60).stdout)
                if r["kind"]:
                    self.assertIn({"file": r["where"], "position": r["position"], "message": message},
                                  report[r["kind"] + "s"])
                self.assertEqual(int(verdict.group(2) or 0), len(report["errors"]))
                self.assertEqual(int(verdict.group(4) or 0), len(report["warnings"]))
                self.assertEqual(report["status"], "errors" if status else "OK")
                md5sum_agrees(self, d, report, r["stricter"])

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
# A performer of one TAB is the previous track's: authoring tools write it for a performer that repeats.
FOREIGN_TEXTS = {0x80: ["Fremde Platte", "Eins", "Zw\xf6lf", "Drei"], 0x81: ["Die Band", "\t", "Gast", "\t"]}
PERFORMERS = ["Die Band", "Gast", "Gast"]


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
                # Without a checksum file that is a warning; CD-Text that the map does not name is no part of the disc.
                self.assertEqual([w["message"] for w in report["warnings"]], [] if lower else
                                 ["is not part of this fileset: DDPMS does not name it"] * split +
                                 ["no checksum file: the plant cannot verify this fileset"])
                md5sum_agrees(self, self.path(name), report)
                disc = report["disc"]
                texts = not split
                self.assertEqual((disc["upc_ean"], disc["lead_out"]["frames"], disc["title"], disc["performer"]),
                                 (FOREIGN["upc"], FOREIGN["lead_out"]) + (("Fremde Platte", "Die Band") if texts
                                                                          else (None, None)))
                for t, want, title, performer in zip(disc["tracks"], FOREIGN["tracks"], FOREIGN_TEXTS[0x80][1:],
                                                     PERFORMERS):
                    self.assertEqual({i["number"]: i["frames"] for i in t["indexes"]}, want["indexes"])
                    self.assertEqual((t["isrc"], t["flags"]["dcp"], t["flags"]["scms"], t["title"], t["performer"]),
                                     (want["isrc"], want.get("control") == 2, want.get("scms", False)) +
                                     ((title, performer) if texts else (None, None)))
                out = self.path(name + "-out")
                os.mkdir(out)
                extracted = run(["--extract", "-v", "0", name, out], self.dir)
                self.assertEqual(extracted.returncode, 0, extracted.stderr.decode())
                # image.wav is the whole disc, with a canonical header; the track files are the disc from track 1 on.
                self.assertEqual(content(out, "image.wav"), audio.wave_bytes(image))
                self.assertEqual(tool("sox", *[os.path.join(out, "%02d.wav" % n) for n in (1, 2, 3)], "-t", "raw", "-"),
                                 image[150 * FRAME:])
                cue = content(out, "image.cue").decode("utf-8")
                self.assertEqual("TITLE" in cue, texts)  # CD-Text the map does not name never reaches image.cue
                if not texts:
                    continue
                self.assertTrue(cue.startswith("\ufeffCATALOG 4006381333931\nTITLE \"Fremde Platte\"\n"), cue)
                self.assertIn('  TRACK 02 AUDIO\n    TITLE "Zw\xf6lf"\n    PERFORMER "Gast"\n    ISRC DEA121500002\n'
                              '    FLAGS DCP\n    INDEX 00 00:08:00\n    INDEX 01 00:09:00\n    INDEX 02 00:10:50\n', cue)
                # The documented round trip: korvel writes a fileset again from what it extracted.
                os.mkdir(out + "-again")
                again = run(["-c", "-t", "image.cue", "../%s-again" % os.path.basename(out)], out)
                self.assertEqual(again.returncode, 0, again.stderr.decode())
        # All three in one call: JSON Lines, one document per fileset naming it, in the order given.
        lines = run(["--check", "--json", "named", "split", "lower"], self.dir).stdout.decode().splitlines()
        self.assertEqual([(d["fileset"], d["directory"], d["status"]) for d in map(json.loads, lines)],
                         [(n, n, "OK") for n in ("named", "split", "lower")])


class ReadingRun(ReaderCase):
    def test_a_fileset_being_written_is_refused_and_an_extraction_replaces_the_whole_earlier_set(self):
        # The writer's lock, as a paused korvel run holds it, with the file it is writing.
        d, out = self.fileset(), self.path("out")
        audio.write(os.path.join(d, ".IMAGE.DAT.korvel-4242"), b"part")
        lock = os.open(d, os.O_RDONLY)
        fcntl.flock(lock, fcntl.LOCK_EX)
        for args in (["--check", "ddp"], ["--extract", "ddp", "out"], ["--extract", "ddp", "ddp"]):
            r = run(args, self.dir)
            self.assertEqual((r.returncode, r.stdout, r.stderr),
                             (1, b"", b"Error: ddp is being written by another korvel run\n"), args)
        refused = [{"file": "", "position": "", "message": "ddp is being written by another korvel run"}]
        report = json.loads(run(["--check", "--json", "ddp"], self.dir).stdout)
        self.assertEqual((report["status"], report["errors"]), ("failed", refused))
        # In a batch, the refused fileset still has its line, and the exit status says so.
        shutil.copytree(d, self.path("other"), ignore=shutil.ignore_patterns(".*"))
        r = run(["--check", "--json", "other", "ddp"], self.dir)
        self.assertEqual([(doc["fileset"], doc["status"], doc["errors"]) for doc in map(json.loads, r.stdout.splitlines())],
                         [("other", "OK", []), ("ddp", "failed", refused)])
        self.assertEqual(r.returncode, 1)
        # Readers share the fileset: one that holds the lock shared lets another in.
        fcntl.flock(lock, fcntl.LOCK_SH)
        self.assertEqual(run(["--check", "-v", "0", "ddp"], self.dir).stdout, b"fileset OK, 1 warning\n")
        os.close(lock)

        # Earlier extractions of a disc with five tracks and hidden audio, in both formats with a proof page, and a
        # file of the user's.
        for name in ["image.wav", "image.flac", "image.cue", "index.html", "notes.txt"] + \
                ["%02d.%s" % (n, ext) for n in range(6) for ext in ("wav", "flac")]:
            audio.write(os.path.join(out, name), b"earlier " + name.encode())
        r = run(["--extract", "-v", "0", "ddp", "out"], self.dir)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(sorted(os.listdir(out)), ["01.wav", "02.wav", "03.wav", "image.cue", "image.wav", "notes.txt"])
        self.assertEqual(content(out, "image.wav")[44:], content(d, "IMAGE.DAT"))
        # An output directory that is not there is said before anything is verified; the JSON says it failed.
        for args in (["--extract", "ddp", "gone\x1b[2J"], ["--extract", "--json", "ddp", "gone\x1b[2J"]):
            r = run(args, self.dir)
            why = b"gone\\x1b[2J: no such directory (create it first: mkdir 'gone\\x1b[2J')"
            self.assertEqual((r.returncode, r.stderr), (1, b"korvel: " + why + b"\n"))
            self.assertEqual(json.loads(r.stdout or b"{}").get("errors"), None if "--json" not in args else
                             [{"file": "", "position": "", "message": why.decode()}])
        # A failure after the verification: the JSON tells it too, and no image.cue stands beside a mixed set.
        os.mkdir(os.path.join(out, "05.wav"))
        r = run(["--extract", "--json", "ddp", "out"], self.dir)
        self.assertEqual((r.returncode, json.loads(r.stdout)["status"]), (1, "failed"))
        self.assertIn({"file": "", "position": "", "message": "out/05.wav: Is a directory"}, json.loads(r.stdout)["errors"])
        self.assertFalse(os.path.exists(os.path.join(out, "image.cue")))
        os.rmdir(os.path.join(out, "05.wav"))
        # An output that is the fileset's image under another name: refused before a byte is written.
        os.symlink(os.path.join("..", "ddp", "IMAGE.DAT"), os.path.join(out, "04.wav"))
        r = run(["--extract", "ddp", "out"], self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"Error: out/04.wav is ddp/IMAGE.DAT, a file of the fileset: extract into another directory\n",
                      r.stderr)
        os.remove(os.path.join(out, "04.wav"))
        self.assertEqual(content(d, "IMAGE.DAT"), content(self.reference, "ddp", "IMAGE.DAT"))
        fmt = "flac" if FLAC_BUILT_IN else "wav"
        with contextlib.suppress(FileNotFoundError):
            os.remove(os.path.join(out, "02." + fmt))
        os.mkdir(os.path.join(out, "02." + fmt))
        r = run(["--extract", "--format=" + fmt, "--proof", "--json", "ddp", "out"], self.dir)
        self.assertIn({"file": "", "position": "", "message": "out/02.%s: Is a directory" % fmt},
                      json.loads(r.stdout)["errors"])
        self.assertEqual((r.returncode, "extracted" in json.loads(r.stdout)), (1, False))
        self.assertFalse(any(os.path.exists(os.path.join(out, name)) for name in ("image.cue", "index.html")))
        os.rmdir(os.path.join(out, "02." + fmt))
        # A disk that will not write one track back, for its own reason (EPERM, as a network file system may say).
        if os.environ.get("KORVEL_FDATASYNC_SHIM"):
            env = dict(ENV, LD_PRELOAD=os.environ["KORVEL_FDATASYNC_SHIM"], KORVEL_FAIL_FDATASYNC="03.wav",
                       KORVEL_FDATASYNC_ERRNO=str(errno.EPERM), ASAN_OPTIONS="verify_asan_link_order=0")
            r = subprocess.run([KORVEL, "--extract", "ddp", "out"], cwd=self.dir, env=env, capture_output=True)
            self.assertEqual(r.returncode, 1)
            self.assertIn(b"out/03.wav: Operation not permitted\n", r.stderr)

        # A fileset whose audio file is named like a track file, extracted into its own directory.
        os.rename(os.path.join(d, "IMAGE.DAT"), os.path.join(d, "01.wav"))
        edit(os.path.join(d, "DDPMS"), 2 * 128 + 74, b"01.wav   ")
        resum(d)
        r = run(["--extract", "ddp", "ddp"], self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"Error: ddp/01.wav is ddp/01.wav, a file of the fileset: extract into another directory\n",
                      r.stderr)
        self.assertEqual((self.read(d, "01.wav"), os.path.exists(os.path.join(d, "image.wav"))),
                         (content(self.reference, "ddp", "IMAGE.DAT"), False))


def pyzipped(path, d, folder="", extra=(), zip64=False, method=zipfile.ZIP_DEFLATED):
    """The files of `d` in `folder` of a new archive made by python's zipfile, then the `extra` entries."""
    with zipfile.ZipFile(path, "w") as z:
        for name, data in [(folder + n, content(d, n)) for n in sorted(os.listdir(d))] + list(extra):
            info = name if isinstance(name, zipfile.ZipInfo) else zipfile.ZipInfo(name)
            info.compress_type = method
            with z.open(info, "w", force_zip64=zip64) as f:
                f.write(data)


def link(name):
    info = zipfile.ZipInfo(name)
    info.create_system, info.external_attr = 3, (stat.S_IFLNK | 0o777) << 16
    return info


def stored_byte_changed(w):
    pyzipped(w + "/a.zip", w + "/ddp", "ddp/", method=zipfile.ZIP_STORED)
    with open(w + "/a.zip", "r+b") as f, zipfile.ZipFile(w + "/a.zip") as z:
        at = z.getinfo("ddp/IMAGE.DAT").header_offset
        f.seek(at + 26)
        lengths = f.read(4)  # of the local header's name and extra field
        f.seek(at + 30 + int.from_bytes(lengths[:2], "little") + int.from_bytes(lengths[2:], "little") + 5000)
        byte = f.read(1)[0]
        f.seek(-1, 1)
        f.write(bytes([byte ^ 1]))


def zipped(w, *flags):
    subprocess.run(["zip", "-qr"] + list(flags) + ["a.zip", "ddp"], cwd=w, check=True, stdout=subprocess.DEVNULL)


# How archives of the reference fileset arrive, and the entries each carries beside the fileset.
LAYOUTS = [("zip -r, deflated", zipped, []), ("zip -r, stored", lambda w: zipped(w, "-0"), []),
           ("zipfile, ZIP64, at the root", lambda w: pyzipped(w + "/a.zip", w + "/ddp", zip64=True), []),
           ("zipfile, a folder and what a Mac adds", lambda w: pyzipped(w + "/a.zip", w + "/ddp", "ddp/", [
               ("__MACOSX/ddp/._DDPID", b"\0"), ("__MACOSX/ddp/._DDPMS", b"\0"), ("ddp/.DS_Store", b"\0"),
               ("PQ sheet.pdf", b"%PDF")]), ["__MACOSX/", ".DS_Store", "PQ sheet.pdf"])]
DAMAGED = "cannot be read as a fileset archive: it is damaged or no ZIP archive: "
HOSTILE = [("an entry with ../", lambda w: pyzipped(w + "/a.zip", w + "/ddp", "ddp/", [("ddp/../x", b"x")]),
            'the entry "ddp/../x" has an absolute name or one with ".."'),
           ("an absolute name", lambda w: pyzipped(w + "/a.zip", w + "/ddp", "ddp/", [("/tmp/x", b"x")]),
            'the entry "/tmp/x" has an absolute name'),
           ("a symbolic link", lambda w: pyzipped(w + "/a.zip", w + "/ddp", "ddp/", [(link("ddp/LINK"), b"/etc")]),
            'the entry "ddp/LINK" is a symbolic link'),
           ("two filesets", lambda w: pyzipped(w + "/a.zip", w + "/ddp", "a/", [
               ("b/" + n, content(w, "ddp", n)) for n in os.listdir(w + "/ddp")]), "two DDP filesets, in a/ and in b/"),
           ("a changed byte of a stored IMAGE.DAT", stored_byte_changed,
            "IMAGE.DAT: its CRC-32 does not match the one the archive gives", "IMAGE.DAT: " + MD5_DIFFERS),
           ("cut short", lambda w: (zipped(w), os.truncate(w + "/a.zip", os.path.getsize(w + "/a.zip") // 2)), DAMAGED),
           ("encrypted", lambda w: zipped(w, "-P", "pw"), 'is encrypted: korvel reads only archives without a password')]


def as_directory(out, folder):
    """The text report of an archive as that of its directory, without the verdict, which counts the warnings."""
    out = out.replace(b"Archive  : a.zip\n", b"").replace(b"Directory: %s\n" % folder.encode(), b"Directory: ddp\n")
    return out[:out.rindex(b"fileset ")]


class Archives(ReaderCase):
    def check(self, work, path):
        text, report = run(["--check", path], work), json.loads(run(["--check", "--json", path], work).stdout)
        ignored = [w["file"] for w in report.pop("warnings") if w["message"].endswith("fileset: ignored")]
        os.mkdir(os.path.join(work, "out-" + path))
        extracted = run(["--extract", "-v", "0", path, "out-" + path], work).returncode
        return text, report, ignored, extracted, {n: content(work, "out-" + path, n)
                                                   for n in os.listdir(os.path.join(work, "out-" + path))}

    def test_archives_read_as_their_directory_and_hostile_ones_are_refused_whole(self):
        if shutil.which("zip") is None or shutil.which("unzip") is None:
            self.skipTest("zip or unzip is not installed")
        for k, (name, make, extras) in enumerate(LAYOUTS + [("korvel --zip", None, [])]):
            with self.subTest(name):
                work = self.path("layout%d" % k)
                d = self.fileset(work, "ddp")
                if make is None:
                    for n in ("a.raw", "disc.cue"):
                        shutil.copy(os.path.join(self.reference, n), work)
                    written = run(["-c", "-t", "-m", "READER", "--zip=a.zip", "disc.cue", "ddp"], work)
                    self.assertEqual(written.returncode, 0, written.stderr.decode())
                else:
                    make(work)
                want = self.check(work, "ddp")
                got = self.check(work, "a.zip")
                folder = "a.zip" + "/ddp" * ("root" not in name)
                self.assertEqual((got[1].pop("archive"), got[1].pop("directory"), want[1].pop("directory")),
                                 ("a.zip", folder, "ddp"))
                self.assertEqual((got[1], sorted(got[2]), got[3], got[4]), (want[1], sorted(extras), 0, want[4]))
                self.assertEqual(as_directory(got[0].stdout, folder), as_directory(want[0].stdout, "ddp"))
        # korvel's own archive: the fileset's order, stored, each entry with its file's time, and accepted by others.
        self.assertEqual(subprocess.run(["unzip", "-tq", "a.zip"], cwd=work, capture_output=True).returncode, 0)
        with zipfile.ZipFile(os.path.join(work, "a.zip")) as z:
            self.assertIsNone(z.testzip())
            listed = [l.split(b"*")[1].decode() for l in content(work, "ddp", "CHECKSUM.MD5").splitlines()]
            self.assertEqual(z.namelist(), ["ddp/" + n for n in listed + ["IMAGE.cue", "CHECKSUM.MD5", "CHECKSUM.TXT"]])
            for i in z.infolist():
                mtime = time.localtime(os.path.getmtime(os.path.join(work, i.filename)))
                self.assertEqual((i.compress_type, i.date_time), (zipfile.ZIP_STORED, mtime[:5] + (mtime[5] // 2 * 2,)))
        # Never over an input or output of the run, and a run that fails writes none.
        for args in (["--zip=disc.cue", "disc.cue"], ["--zip=ddp/IMAGE.DAT", "disc.cue"],
                     ["--zip=b.zip", "--pq-sheet=b.zip", "disc.cue"], ["--zip=b.zip", "gone.cue"]):
            r = run(args + ["ddp"], work)
            self.assertEqual((r.returncode, os.path.exists(os.path.join(work, "b.zip"))), (1, False), args)
        self.assertEqual((content(work, "disc.cue"), content(work, "ddp", "IMAGE.DAT")),
                         (DISC, content(self.reference, "ddp", "IMAGE.DAT")))

        for k, (name, make, *messages) in enumerate(HOSTILE):
            with self.subTest(name):
                work = self.path("hostile%d" % k)
                self.fileset(work, "ddp")
                make(work)
                text, report, _, extracted, files = self.check(work, "a.zip")
                self.assertEqual((text.returncode, report["status"], extracted, files), (1, "errors", 1, {}))
                for m in messages:
                    self.assertIn(m.encode(), text.stderr)
                    self.assertTrue(any(m.split(": ", 1)[-1] in e["message"] for e in report["errors"]), report)

        # libzip is loaded only when an archive is used: one whose functions are missing is one clear error.
        soname = re.search(rb"libzip\.so\.[0-9]+", content(KORVEL)).group().decode()
        stub = self.path("stub")
        os.mkdir(stub)
        if subprocess.run(["cc", "-shared", "-x", "c", "-", "-o", os.path.join(stub, soname)],
                          input=b"int no_zip_here;").returncode == 0:
            r = subprocess.run(["korvel", "--check", "a.zip"], executable=KORVEL, cwd=work, capture_output=True,
                               env=dict(ENV, LD_LIBRARY_PATH=stub))
            self.assertEqual((r.returncode, r.stdout, r.stderr.decode()), (1, b"", "Error: cannot load libzip, which "
                             "reads and writes ZIP archives: %s has no zip_close\n" % soname))


class RowGroups(HTMLParser):
    """The rows of each table body of a page, as the class of each row."""

    def __init__(self):
        super().__init__()
        self.groups = []

    def handle_starttag(self, tag, attrs):
        if tag == "tbody":
            self.groups.append([])
        elif tag == "tr" and self.groups:
            self.groups[-1].append(dict(attrs).get("class", ""))


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
        self.assertIn(b"Writing image.cue... done.\nWriting image.wav and 3 track files... done.\n", r.stdout)
        pages = {mode: self.read(mode + ".html") for mode in runs}
        self.assertEqual(len(set(pages.values())), 1, "the four sheets differ")
        # What the sheet holds, and that it prints: tests/e2e_pq_sheet_print.py.
        self.assertIn(b"<td>&lt;One&gt; &amp; &quot;Two&quot;</td>", pages["check"])
        # The total is a row group of its own, after the group of the five index rows (track 1's added 00 included).
        table = RowGroups()
        table.feed(pages["check"].decode("cp1252"))
        self.assertEqual(table.groups, [[""] * 5, ["totalTime"]])

        # Never over a file of the run, whatever the mode: (arguments, the file the sheet names, what it is to the
        # run). A new name inside the fileset directory is allowed.
        os.mkdir(self.path("out2"))
        audio.write(self.path("ddp", "IMAGE.cue"), b"REM a cue sheet no checksum covers\n")
        for args, target, what in [(["--check", "ddp"], "ddp/SD", "a file of the fileset"),
                                   (["--check", "ddp"], "ddp/IMAGE.cue", "a file of the fileset"),
                                   (["--check", "ddp"], "ddp/checksum.md5", "a file of the fileset"),
                                   (["--extract", "ddp", "out2"], "out2/image.wav", "a file this run writes"),
                                   (["--extract", "ddp", "out2"], "out2/07.wav", "a file this run writes"),
                                   (["disc.cue", "out2"], "out2/DDPMS", "a file this run writes"),
                                   (["disc.cue"], "a.raw", "a file this run reads")]:
            before = {n: self.read(*n.split("/")) for n in ("ddp/SD", "ddp/IMAGE.cue", "a.raw")}
            r = run(args[:1] + ["--pq-sheet=" + target] + args[1:], self.dir)
            self.assertEqual(r.returncode, 1, (target, r.stderr))
            self.assertIn(("Error: %s is %s, %s: the PQ sheet never replaces a file of the run\n" % (
                target, target.replace("checksum.md5", "CHECKSUM.MD5"), what)).encode(), r.stderr)
            self.assertEqual({n: self.read(*n.split("/")) for n in before}, before)
            self.assertEqual(os.listdir(self.path("out2")), [])
        r = run(["--check", "--pq-sheet=ddp/PQSHEET.HTML", "ddp"], self.dir)
        self.assertEqual((r.returncode, self.read("ddp", "PQSHEET.HTML")), (0, pages["check"]), r.stderr)

        # A link to a file replaces the file it points to; a FIFO, a device or a link to standard output is written
        # into, never replaced; a FIFO that nobody reads is an error, not a hang.
        os.symlink("check.html", self.path("link.html"))
        os.symlink("/proc/self/fd/1", self.path("stdout.html"))
        os.mkfifo(self.path("unread.fifo"))
        for target, status, stdout in [("link.html", 0, b""), ("stdout.html", 0, pages["check"]),
                                       ("/dev/stdout", 0, pages["check"]), ("/dev/null", 0, b""),
                                       ("unread.fifo", 1, b"")]:
            r = run(["--check", "-v", "0", "--pq-sheet=" + target, "ddp"], self.dir, timeout=60)
            self.assertEqual(r.returncode, status, (target, r.stderr))
            self.assertEqual(r.stdout, b"fileset OK\n" + stdout, target)
        self.assertEqual((os.readlink(self.path("link.html")), self.read("check.html")), ("check.html", pages["check"]))
        self.assertEqual(os.readlink(self.path("stdout.html")), "/proc/self/fd/1")
        self.assertTrue(stat.S_ISCHR(os.stat("/dev/null").st_mode))
        self.assertIn(b"Error: unread.fifo: no process reads from it\n", r.stderr)
        # An empty name is no file.
        r = run(["--check", "--pq-sheet=", "ddp"], self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertTrue(r.stderr.startswith(b"Error: --pq-sheet needs a file name"), r.stderr)

        # Not for a fileset with errors.
        os.remove(self.path("ddp", "SD"))
        r = run(["--check", "--pq-sheet=broken.html", "ddp"], self.dir)
        self.assertEqual(r.returncode, 1)
        self.assertIn(b"Error: broken.html not written: the fileset has errors\n", r.stderr)
        self.assertFalse(os.path.exists(self.path("broken.html")))


if __name__ == "__main__":
    unittest.main()
