"""Cue sheets as people have them, end to end: one row per form (byte-order marks, UTF-16, UTF-8 and
Windows-1252 texts, CR line ends, the dialects rippers and DAWs write, several audio files, PREGAP and
POSTGAP), each with the status and diagnostics it must give and what the fileset must hold as independent
readers see it: the positions in SD read by a few lines of Python, the CD-Text by an independent encoder and
by cdrskin, IMAGE.DAT against the source audio joined by Python."""

import os
import shutil
import unittest

import audio
import cdtext_packs
from korvel_run import ScratchCase, cdrskin_fields, run

SECTOR = audio.FRAME_BYTES
A, B, C = audio.sectors(900, seed=1), audio.sectors(450, seed=2), audio.sectors(525, seed=3)  # 12 s, 6 s, 7 s
ODD = audio.pattern(SECTOR * 500 + 4 * 100, seed=4)  # 500 sectors and 100 samples: not on a sector boundary
SILENCE = lambda frames: bytes(frames * SECTOR)
PREGAP = SILENCE(150)
TWO = 'FILE "{0}.raw" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n{1}  TRACK 02 AUDIO\n    INDEX 00 00:{2}\n' \
      'FILE "b.raw" BINARY\n    INDEX 01 00:00:00\n'
POST = "    POSTGAP 00:01:00\n"
ONE = 'FILE "a.raw" BINARY\n  TRACK 01 AUDIO\n{t1}    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n{t2}    INDEX 01 00:06:00\n'


def sheet(text, encoding="utf-8", bom=b""):
    return bom + text.encode(encoding)


def pad(data):
    return data + bytes(-len(data) % SECTOR)


def row(name, cue, options=(), files=None, status=0, says=(), positions=None, texts=None, image=None, cdrskin=None,
        codes=None, cue_lines=()):
    """`codes`: the catalog number in DDPID and the ISRCs of tracks 1 and 2 in SD; `cue_lines`: lines of IMAGE.cue."""
    return dict(name=name, cue=cue, files=files or {"a.raw": A}, options=list(options), status=status, says=says,
                positions=positions, texts=texts, image=image, cdrskin=cdrskin, codes=codes, cue_lines=cue_lines)


TITLED = ONE.format(t1='    TITLE "{0}"\n', t2="")
FORMS = [
    row("UTF-8 byte-order mark before CATALOG", sheet("CATALOG 4006381333931\n" + ONE.format(t1="", t2=""),
                                                      bom=b"\xef\xbb\xbf"), positions="0000 0100 0101 0201"),
    row("UTF-16 little-endian", sheet('TITLE "Métamorphoses"\n' + TITLED.format("Café"), "utf-16"), ["-t"],
        texts={0x80: ["Métamorphoses", "Café", ""]}),
    row("UTF-16 big-endian", sheet('TITLE "Métamorphoses"\n' + TITLED.format("Café"), "utf-16-be", b"\xfe\xff"), ["-t"],
        texts={0x80: ["Métamorphoses", "Café", ""]}),
    row("UTF-8 with Latin-1 texts", sheet('TITLE "Métamorphoses"\nPERFORMER "Françoise"\n' + TITLED.format("Ça va")),
        ["-t"], texts={0x80: ["Métamorphoses", "Ça va", ""], 0x81: ["Françoise", "", ""]},
        cdrskin={"Album Title": "Métamorphoses", "Track 01 Title": "Ça va", "Artist Name": "Françoise"}),
    row("texts that fill a pack and span packs", sheet('TITLE "Café Album"\nPERFORMER "Band"\n' + ONE.format(
        t1='    TITLE "Exactly 11b"\n', t2='    TITLE "%s"\n    PERFORMER "P2"\n' % ("x" * 40))), ["-t"],
        texts={0x80: ["Café Album", "Exactly 11b", "x" * 40], 0x81: ["Band", "", "P2"]}),
    row("UTF-8 Cyrillic, CD-Text asked for", sheet(TITLED.format("Привет")), ["-t"], status=1,
        says=['disc.cue:3: error: TITLE of track 01 has characters that CD-Text in ISO 8859-1 cannot hold: "Привет" '
              '(П р и в е т)\n']),
    row("UTF-8 Cyrillic, no CD-Text", sheet(TITLED.format("Привет мир")), ["-c"],
        says=['disc.cue:3: warning: TITLE of track 01 has characters that CD-Text in ISO 8859-1 cannot hold: "Привет мир" '
              '(П р и в е т м); shown as "?"\n'], cue_lines=['    TITLE "?????? ???"']),
    row("Windows-1252 with typographic marks", sheet('TITLE "Don\u2019t \u201cStop\u201d \u2013 Live\u2026"\n' +
                                                     TITLED.format("Caf\xe9"), "cp1252"), ["-t"],
        says=['disc.cue:1: warning: TITLE of the disc has typographic marks that ISO 8859-1 lacks, written as '
              '"Don\'t "Stop" - Live..."'], texts={0x80: ['Don\'t "Stop" - Live...', "Café", ""]}),
    row("CR line ends", sheet(ONE.format(t1="", t2="").replace("\n", "\r")), positions="0100 0101 0201"),
    row("REM COMMENT longer than a line", sheet("REM COMMENT " + "x" * 300 + "\n" + ONE.format(t1="", t2="")),
        says=["disc.cue:1: warning: REM line is longer than 254 characters, skipped"]),
    row("EAC: track 1 less than two seconds into its file",
        sheet(ONE.format(t1="    INDEX 00 00:00:00\n", t2="").replace("INDEX 01 00:00:00", "INDEX 01 00:00:33")),
        says=["disc.cue: warning: track 01 starts 00:00:33 into its file"], positions="0100 0101@00:02:33 0201@00:08:00",
        image=PREGAP + A),
    row("EAC: 00:01:74 keeps the original disc's timing",
        sheet(ONE.format(t1="    INDEX 00 00:00:00\n", t2="").replace("INDEX 01 00:00:00", "INDEX 01 00:01:74")),
        positions="0100 0101@00:03:74", image=PREGAP + A),
    row("quoted and hyphenated codes", sheet('CATALOG "4006381333931"\n' + ONE.format(
        t1='    ISRC "DEA121500001"\n', t2="    ISRC DE-A12-15-00002\n")), codes=("4006381333931", "DEA121500001", "DEA121500002")),
    row("all-zero codes", sheet("CATALOG 0000000000000\n" + ONE.format(t1="    ISRC 000000000000\n", t2="")),
        says=["catalog number 0000000000000 is all zeros, no catalog number is written",
              "ISRC of track 01 is all zeros, no ISRC is written"], codes=("", "", "")),
    row("unquoted multi-word title", sheet("TITLE My Great Album  \n" + ONE.format(t1="", t2="")), ["-t"],
        texts={0x80: ["My Great Album", "", ""]}),
    row("Windows path", sheet(ONE.format(t1="", t2="").replace('"a.raw"', '"C:\\Music\\Album\\a.raw"')),
        says=["C:\\Music\\Album\\a.raw: warning: not found, using a.raw in the cue sheet's folder"], image=PREGAP + A),
    row("index past 89:59:74", sheet(ONE.format(t1="", t2="").replace("00:06:00", "90:00:00")), status=1,
        says=["time for index 01 in track 02 is 90:00:00, past 89:59:74, the last position a CD can address"]),
    row("frame 75 past 89:59:74", sheet(ONE.format(t1="", t2="").replace("00:06:00", "90:00:75")), status=1,
        says=["malformed time for index 01 in track 02: 90:00:75"]),
    row("track 1 pregap of 10,000 frames", sheet(ONE.format(t1="    INDEX 00 00:00:00\n", t2="").replace(
        "INDEX 01 00:00:00", "INDEX 01 02:13:25").replace("00:06:00", "02:20:00")), files={"a.raw": SILENCE(10600)}, status=1,
        says=["Error: PQ list: first track's pregap of 10000 frames (02:13:25) is longer than the 9999 frames"]),
    # Several files: one FILE per track, each INDEX relative to its own file, joined without a gap.
    row("one file per track", sheet('FILE "a.raw" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n'
                                    'FILE "b.wav" WAVE\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n'
                                    'FILE "c.be" MOTOROLA\n  TRACK 03 AUDIO\n    INDEX 01 00:00:00\n'),
        ["-c"], files={"a.raw": A, "b.wav": audio.wave_bytes(B), "c.be": audio.swap16(C)},
        positions="0100 0101 0201@00:14:00 0301@00:20:00", image=PREGAP + A + B + C),
    row("files not on sector boundaries", sheet('FILE "odd.raw" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n'
                                                'FILE "b.raw" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:01:00\n'),
        files={"odd.raw": ODD, "b.raw": B}, says=["odd.raw: warning: audio does not end at a CD sector boundary (100 samples "
                                            "over): the next file follows without a gap"],
        positions="0100 0101 0201@00:09:50", image=pad(PREGAP + ODD + B)),
    row("INDEX 00 at the end of the previous file", sheet(
        'FILE "a.raw" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 00 00:06:00\n'
        'FILE "b.raw" BINARY\n    INDEX 01 00:00:00\n'), files={"a.raw": A, "b.raw": B},
        positions="0100 0101 0200@00:08:00 0201@00:14:00", image=PREGAP + A + B),
    row("PREGAP", sheet(ONE.format(t1="", t2="    PREGAP 00:02:00\n")),
        positions="0100 0101 0200@00:08:00 0201@00:10:00", image=PREGAP + A[:450 * SECTOR] + SILENCE(150) + A[450 * SECTOR:]),
    row("POSTGAP", sheet(ONE.format(t1="", t2="").replace("  TRACK 02", "    POSTGAP 00:01:00\n  TRACK 02")),
        positions="0100 0101 0201@00:09:00", image=PREGAP + A[:450 * SECTOR] + SILENCE(75) + A[450 * SECTOR:]),
    row("two PREGAPs in one file", sheet(ONE.format(t1="", t2="    PREGAP 00:02:00\n").replace("00:06:00", "00:04:00") +
                                         "  TRACK 03 AUDIO\n    PREGAP 00:01:00\n    INDEX 01 00:08:00\n"),
        positions="0200@00:06:00 0201@00:08:00 0300@00:12:00 0301@00:13:00",
        image=PREGAP + A[:300 * SECTOR] + SILENCE(150) + A[300 * SECTOR:600 * SECTOR] + SILENCE(75) + A[600 * SECTOR:]),
    # Track 2's INDEX 00 at the end of the first file: after track 1's POSTGAP, never after its INDEX 01.
    row("POSTGAP, then INDEX 00 in the last sector of a file that ends inside it", sheet(TWO.format("odd", POST, "06:50")),
        files={"odd.raw": ODD, "b.raw": B}, positions="0101@00:02:00 0200@00:09:50 0201@00:09:50",
        image=PREGAP + ODD[:500 * SECTOR] + SILENCE(75) + ODD[500 * SECTOR:] + B),
    row("POSTGAP, then INDEX 00 at the end of a file", sheet(TWO.format("a", POST, "12:00")), files={"a.raw": A, "b.raw": B},
        positions="0200@00:15:00 0201@00:15:00", image=PREGAP + A + SILENCE(75) + B),
    row("INDEX 00 past the audio of a file that ends inside a sector", sheet(TWO.format("odd", "", "06:51")),
        files={"odd.raw": ODD, "b.raw": B}, status=1, says=["odd.raw: error: not enough audio data, file ends at 00:08:50"]),
    row("PREGAP of track 1 under two seconds, as EAC writes it", sheet(ONE.format(t1="    PREGAP 00:00:32\n", t2="")),
        positions="0100 0101@00:02:32 0201@00:08:32", image=SILENCE(182) + A),
    row("PREGAP and INDEX 00", sheet(ONE.format(t1="", t2="    PREGAP 00:01:00\n    INDEX 00 00:05:00\n")), status=1,
        says=["error: PREGAP and INDEX 00 both give track 02 a pregap"]),
]


class CueSheetFormTest(ScratchCase):
    def test_every_form(self):
        for form in FORMS:
            with self.subTest(form["name"]):
                self.setUp()
                try:
                    self.check(form)
                finally:
                    self.tearDown()

    def check(self, form):
        for name, data in form["files"].items():
            audio.write(self.path(name), data)
        audio.write(self.path("disc.cue"), form["cue"])
        r = run(form["options"] + ["disc.cue", "out"], self.dir)
        err = r.stderr.decode()
        self.assertEqual(r.returncode, form["status"], err)
        for says in form["says"]:
            self.assertIn(says, err)
        if form["status"] != 0:
            self.assertEqual(os.listdir(self.path("out")), [], "a refused sheet wrote files")
            return
        self.assert_md5sum_passes()
        if form["positions"]:  # track and index of every entry of SD, and its time: "0101@00:02:00"
            sd = self.read("out", "SD").decode()
            have = ["%s@%s:%s:%s" % (sd[i + 4:i + 8], sd[i + 10:i + 12], sd[i + 12:i + 14], sd[i + 14:i + 16])
                    for i in range(0, len(sd), 64) if sd[i + 4:i + 6] != "AA"]
            for want in form["positions"].split():
                self.assertTrue(any(h == want or h.startswith(want + "@") for h in have), (want, have))
        if form["image"] is not None:
            self.assertTrue(self.read("out", "IMAGE.DAT") == pad(form["image"]), "IMAGE.DAT is not the joined audio")
        for line in form["cue_lines"]:
            self.assertIn(line, self.read("out", "IMAGE.cue").decode("latin-1").splitlines())
        if form["codes"]:
            sd = self.read("out", "SD")
            first = {}  # a track's ISRC goes with its first entry
            for i in range(64, len(sd), 64):
                first.setdefault(sd[i + 4:i + 6], sd[i + 20:i + 32].decode().strip())
            self.assertEqual((self.read("out", "DDPID")[8:21].decode().strip(), first[b"01"], first[b"02"]), form["codes"])
        if form["texts"]:
            self.assertEqual(self.read("out", "CDTEXT.BIN"), cdtext_packs.block(form["texts"]))
        if form["cdrskin"] and shutil.which("cdrskin"):
            fields = cdrskin_fields(self.path("out", "CDTEXT.BIN"))
            self.assertEqual({key: fields.get(key) for key in form["cdrskin"]}, form["cdrskin"])


if __name__ == "__main__":
    unittest.main()
