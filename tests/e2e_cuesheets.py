"""Cue sheets as people have them, end to end: one row per form (byte-order marks, UTF-16 with and without
one, UTF-8, the legacy code pages written by Python's codecs, CR line ends, the dialects rippers and DAWs
write, several audio files, PREGAP and POSTGAP), each with the status and diagnostics it must give and what
the fileset must hold as independent readers see it: the positions in SD read by a few lines of Python, the
CD-Text by an independent encoder and reader and by cdrskin, IMAGE.DAT against the source audio joined by
Python, and the texts korvel read, which must be the sheet's own."""

import json
import os
import shutil
import unittest

import audio
import cdtext_packs
from korvel_run import FLAC_BUILT_IN, ScratchCase, cdrskin_fields, content, run, tool

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


def filled(size):
    """The two-track sheet after a comment that makes it `size` bytes long."""
    rest = ONE.format(t1="", t2="")
    return sheet("REM COMMENT ".ljust(size - len(rest) - 1, "x") + "\n" + rest)


def pad(data):
    return data + bytes(-len(data) % SECTOR)


def row(name, cue, options=(), files=None, status=0, says=(), positions=None, texts=None, image=None, cdrskin=None,
        codes=None, cue_lines=(), reads=(), read=None, again=False):
    """`codes`: the catalog number in DDPID and the ISRCs of tracks 1 and 2 in SD; `cue_lines`: lines of IMAGE.cue;
    `reads`: texts korvel must have read, each either quoted in its messages or in the CD-Text; `read`: the CD-Text
    as the tests' own reader reads it, ({pack type: texts}, character code, language); `again`: the fileset is
    checked (JSON texts), extracted, and written again from the extracted image.cue with the same CDTEXT.BIN."""
    return dict(name=name, cue=cue, files=files or {"a.raw": A}, options=list(options), status=status, says=says,
                positions=positions, texts=texts, image=image, cdrskin=cdrskin, codes=codes, cue_lines=cue_lines,
                reads=reads, read=read, again=again)


def script(texts, encoding, bom=b""):
    """A sheet with the disc's performer and title and three track titles, as Python's codec writes it."""
    performer, disc, *tracks = texts
    lines = ["REM GENRE Pop", 'PERFORMER "%s"' % performer, 'TITLE "%s"' % disc, 'FILE "a.raw" BINARY']
    for n, title in enumerate(tracks, 1):
        lines += ["  TRACK %02d AUDIO" % n, '    TITLE "%s"' % title, "    INDEX 01 00:%02d:00" % (4 * n - 4)]
    return bom + ("\n".join(lines) + "\n").encode(encoding)


LATIN = ["Françoise Hardy", "Métamorphoses", "Ça va", "L'été indien", "Où es-tu"]
POLISH = ["Czesław Niemen", "Największe przeboje", "Dziwny jest ten świat", "Sen o Warszawie", "Pójdź do mnie"]
CZECH = ["Karel Gott", "Největší hity", "Lady Karneval", "Být stále mlád", "Včelka Mája"]
RUSSIAN = ["Алла Пугачёва", "Лучшие песни", "Миллион алых роз", "Айсберг", "Позови меня с собой"]
GREEK = ["Νάνα Μούσχουρη", "Τα καλύτερα", "Τα παιδιά του Πειραιά", "Χάρτινο το φεγγαράκι", "Σε πότισα ροδόσταμο"]
TURKISH = ["Sezen Aksu", "En iyi şarkılar", "Gülümse", "Şarkı söylemek lazım", "İkinci bahar"]
BALTIC = ["Andrius Mamontovas", "Geriausios dainos", "Laisvė", "Tėvynė", "Šokis ir ūkas"]
EURO = ["Françoise Hardy", "Œuvres complètes", "Ça coûte 5 €", "L'été indien", "Où es-tu"]
JAPANESE = ["山田太郎", "日本のアルバム", "最初の曲", "二番目の歌", "夜明けのスキャット"]
CHINESE = ["王菲", "中文专辑", "红豆", "传奇", "但愿人长久"]
TAIWANESE = ["鄧麗君", "中文專輯", "月亮代表我的心", "甜蜜蜜", "小城故事"]
KOREAN = ["이문세", "한국 앨범", "광화문 연가", "옛사랑", "소녀"]
DETECTED = "disc.cue: warning: cue sheet is not UTF-8: read as "
NOT_LATIN1 = "has characters that CD-Text in ISO 8859-1 cannot hold"


def by_code_page(encoding, texts, options=("-c",), status=0, says=(DETECTED, NOT_LATIN1), **kw):
    return row("code page " + encoding, script(texts, encoding), options, status=status, says=says, reads=texts, **kw)


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
    # A comment longer than a line is skipped; it may fill the sheet to the 4 MiB read, and not a byte more.
    row("REM COMMENT longer than a line, in a sheet of 4 MiB", filled(4 * 2**20),
        says=["disc.cue:1: warning: REM line is longer than 254 characters, skipped"]),
    row("sheet of 4 MiB and one byte", filled(4 * 2**20 + 1), status=1,
        says=["disc.cue: error: can't read file, message: too large for a cue sheet"]),
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
    # Legacy code pages, detected; where two read the sheet alike, either passes. Texts Latin-1 lacks are
    # quoted in their warnings (or errors with -t), and "?" in IMAGE.cue.
    by_code_page("cp1252", LATIN, ["-t"], says=(), read=({0x80: LATIN[1:], 0x81: LATIN[:1]}, 0, 9)),
    by_code_page("iso8859_1", LATIN, ["-t", "-c"], says=(), cue_lines=['    TITLE "Ça va"']),
    by_code_page("iso8859_15", EURO, cue_lines=['TITLE "?uvres compl\xe8tes"']),
    by_code_page("cp1250", POLISH), by_code_page("iso8859_2", CZECH), by_code_page("cp1254", TURKISH),
    by_code_page("cp1257", BALTIC), by_code_page("cp1251", RUSSIAN, cue_lines=['TITLE "?????? ?????"']),
    by_code_page("koi8_r", RUSSIAN), by_code_page("iso8859_5", RUSSIAN), by_code_page("cp1253", GREEK),
    by_code_page("iso8859_7", GREEK, ["-t"], status=1, says=(DETECTED, "error: TITLE of track 01 " + NOT_LATIN1)),
    by_code_page("gbk", CHINESE, ["-t"], status=1, says=(DETECTED + "GB18030", NOT_LATIN1 + ': "中文专辑" (中 文 专 辑)')),
    by_code_page("big5", TAIWANESE), by_code_page("euc_kr", KOREAN, ["-t"], status=1),
    # Japanese: MS-JIS CD-Text, also from the EUC-JP that Unix rippers wrote; checked by cdrskin, and
    # extracted and written again to the same CDTEXT.BIN.
    by_code_page("cp932", JAPANESE, ["-t", "-c"], says=(DETECTED + "CP932", "written in MS-JIS"),
                 read=({0x80: JAPANESE[1:], 0x81: JAPANESE[:1] + [""] * 3}, 0x80, 0x69), again=True,
                 cdrskin={"Text Code": "MS-JIS", "Language Code": "Japanese", "Album Title": "日本のアルバム",
                          "Track 03 Title": "夜明けのスキャット", "Artist Name": "山田太郎"}),
    by_code_page("euc_jp", JAPANESE, ["-t"], says=(DETECTED + "EUC-JP",), read=({0x80: JAPANESE[1:]}, 0x80, 0x69)),
    # The code page named by the user: a Spanish sheet that detection reads wrong, and one that does not decode.
    row("--cue-charset", script(["Señor Niño", "Mañana", "Año", "Piñata", "Ñandú"], "cp1252"),
        ["-t", "--cue-charset=cp1252"], read=({0x80: ["Mañana", "Año", "Piñata", "Ñandú"]}, 0, 9)),
    row("--cue-charset that does not fit", script(JAPANESE, "cp932"), ["--cue-charset=UTF-8"], status=1,
        says=["disc.cue:2: error: cue sheet does not decode as UTF-8: this line holds bytes that are no characters"]),
    # The dialects of real sheets, one row each, with the warning where korvel changes what the sheet says.
    row("UTF-16 without a byte-order mark", script(LATIN, "utf-16-le"), ["-t"], read=({0x80: LATIN[1:]}, 0, 9)),
    row("UTF-16 big-endian without a mark", script(LATIN, "utf-16-be"), ["-t"], read=({0x81: LATIN[:1]}, 0, 9)),
    row("commands in lower and mixed case", sheet('file "a.raw" Binary\n  track 01 audio\n    Index 01 00:00:00\n'
                                                 '  Track 02 AUDIO\n    flags pre\n    index 01 00:06:00\n  Foo\n'),
        says=["disc.cue:1: warning: 'file' is not written in capitals", "disc.cue:7: warning: command ignored: 'Foo'"],
        positions="0100 0101 0201@00:08:00", cue_lines=["    FLAGS PRE"], options=["-c"]),
    row("unquoted file name with a blank", sheet(ONE.format(t1="", t2="").replace('"a.raw"', "my album.raw")),
        files={"my album.raw": A}, says=['disc.cue:1: warning: unquoted file name with blanks, read as "my album.raw"'],
        image=PREGAP + A),
    row("Windows path into a folder", sheet(ONE.format(t1="", t2="").replace('"a.raw"', '"Various - Journey\\01.raw"')),
        files={"Various - Journey/01.raw": A, "01.raw": B}, image=PREGAP + A,
        says=["Various - Journey\\01.raw: warning: not found, using Various - Journey/01.raw in the cue sheet's folder"]),
    row("track 1 from INDEX 01 00:00:02, no INDEX 00", sheet(ONE.format(t1="", t2="").replace("01 00:00:00", "01 00:00:02")),
        says=["disc.cue:3: warning: track 01 starts at 00:00:02 without INDEX 00: the audio before it is its pregap",
              "two seconds of silence are added"], positions="0100 0101@00:02:02 0201@00:08:00", image=PREGAP + A),
    row("track 1 from INDEX 01 00:02:10, no INDEX 00", sheet(ONE.format(t1="", t2="").replace(
        "01 00:00:00", "01 00:02:10").replace("00:06:00", "00:08:00")),
        positions="0100@00:00:00 0101@00:02:10 0201@00:08:00", image=A),
    row("FLAGS after INDEX", sheet(ONE.format(t1="", t2="") + "    INDEX 02 00:07:00\n    FLAGS DCP\n"), ["-c"],
        says=["disc.cue:7: warning: FLAGS command after INDEX command in track 2: the flags are the whole track's"],
        cue_lines=["    FLAGS DCP"]),
    row("FLAC as a file type", sheet(ONE.format(t1="", t2="").replace('"a.raw" BINARY', '"a.flac" FLAC')),
        files={"a.flac": audio.wave_bytes(A)}, image=PREGAP + A),
    row("CDTEXTFILE missing without -t", sheet('CDTEXTFILE "gone.cdt"\n' + ONE.format(t1="", t2="")),
        says=["gone.cdt: warning: cannot open CD text file"]),
    row("tracks numbered from 04", sheet(ONE.format(t1="", t2="").replace("TRACK 01", "TRACK 04").replace(
        "TRACK 02", "TRACK 05").replace("00:06:00", "00:09:00")), status=1,
        says=["disc.cue: warning: the disc numbers its tracks from 01: TRACK 04 -> 01, TRACK 05 -> 02",
              "Error: PQ list: Track 05 (disc track 02) is shorter than 4 sec."]),
    row("catalog number in groups, UPC-A", sheet("CATALOG 0 36000 29145 2\n" + ONE.format(t1="", t2="")),
        says=["catalog number 0 36000 29145 2 read as 0036000291452"], codes=("0036000291452", "", "")),
    row("text after a closing quote", sheet(TITLED.replace('"{0}"', "{0}").format('"Heroes" (12" mix)')), ["-t"],
        says=['disc.cue:3: warning: TITLE goes on after its closing quote'], texts={0x80: ["", '"Heroes" (12" mix)', ""]}),
    row("CDTEXTFILE with a 4-byte header", sheet('CDTEXTFILE "h.cdt"\n' + ONE.format(t1="", t2="")), ["-t"],
        files={"a.raw": A, "h.cdt": b"\x00\x5c\0\0" + cdtext_packs.block({0x80: ["Disc", "One", "Two"]})},
        texts={0x80: ["Disc", "One", "Two"]}, says=["CD Text file header: 4 bytes before the packs, not copied"]),
    row("CDTEXTFILE without its third size pack", sheet('CDTEXTFILE "s.cdt"\n' + ONE.format(t1="", t2="")), ["-t"],
        files={"a.raw": A, "s.cdt": cdtext_packs.block({0x80: ["Disc", "One", "Two"]})[:-18]}, status=1,
        says=["s.cdt: error: not a binary CD text file"]),
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
            os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
            audio.write(self.path(name), data)
        audio.write(self.path("disc.cue"), form["cue"])
        r = run(form["options"] + ["disc.cue", "out"], self.dir)
        err = r.stderr.decode()
        self.assertEqual(r.returncode, form["status"], err)
        for says in form["says"]:  # messages, and the line that says the CD-Text is MS-JIS
            self.assertIn(says, err + r.stdout.decode())
        written = set(os.listdir(self.path("out")))
        read = cdtext_packs.read_block(self.read("out", "CDTEXT.BIN")) if "CDTEXT.BIN" in written else ({}, 0, 0, [])
        cue = self.read("out", "IMAGE.cue") if "IMAGE.cue" in written else b""
        cue = cue[3:].decode() if cue.startswith(b"\xef\xbb\xbf") else cue.decode("latin-1")
        for text in form["reads"]:
            self.assertTrue('"%s"' % text in err + cue or any(text in texts for texts in read[0].values()), (text, err))
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
        for line in form["cue_lines"]:  # ISO 8859-1, or UTF-8 after a byte-order mark
            self.assertIn(line, cue.splitlines())
        if form["codes"]:
            sd = self.read("out", "SD")
            first = {}  # a track's ISRC goes with its first entry
            for i in range(64, len(sd), 64):
                first.setdefault(sd[i + 4:i + 6], sd[i + 20:i + 32].decode().strip())
            self.assertEqual((self.read("out", "DDPID")[8:21].decode().strip(), first[b"01"], first[b"02"]), form["codes"])
        if form["texts"]:
            self.assertEqual(self.read("out", "CDTEXT.BIN"), cdtext_packs.block(form["texts"]))
        if form["read"]:
            texts, charset, language = form["read"]
            self.assertEqual(read[1:], (charset, language, []))
            self.assertEqual({t: read[0][t][:len(want)] for t, want in texts.items()}, texts)
        if form["cdrskin"] and shutil.which("cdrskin"):
            fields = cdrskin_fields(self.path("out", "CDTEXT.BIN"), "cp932" if read[1] == 0x80 else "latin-1")
            self.assertEqual({key: fields.get(key) for key in form["cdrskin"]}, form["cdrskin"])
        if form["again"]:
            self.assert_written_again(form)

    def assert_written_again(self, form):
        """--check's JSON gives the texts; the image.cue of --extract, and IMAGE.cue, write the same CD-Text."""
        report = json.loads(run(["--check", "--json", "out"], self.dir).stdout)
        texts, _, _ = form["read"]
        self.assertEqual([report["disc"]["title"]] + [t["title"] for t in report["disc"]["tracks"]], texts[0x80])
        os.mkdir(self.path("x"))
        self.assertEqual(run(["--extract", "--pq-sheet=x.html", "out", "x"], self.dir).returncode, 0)
        page = self.read("x.html")  # the PQ sheet declares the texts' Shift-JIS
        self.assertIn(b'<meta charset="Shift_JIS" />', page)
        self.assertIn(texts[0x80][0], page.decode("cp932"))
        if FLAC_BUILT_IN and shutil.which("metaflac"):  # the release set's tags and proof page in UTF-8
            os.mkdir(self.path("f"))
            self.assertEqual(run(["--extract", "--format=flac", "--proof", "out", "f"], self.dir).returncode, 0)
            tags = tool("metaflac", "--no-utf8-convert", "--export-tags-to=-", self.path("f", "01.flac")).decode()
            tags = dict(line.split("=", 1) for line in tags.splitlines())
            self.assertEqual((tags["ALBUM"], tags["TITLE"]), (texts[0x80][0], texts[0x80][1]))
            self.assertIn(texts[0x80][1], self.read("f", "index.html").decode())
        for sheet in ("x/image.cue", "out/IMAGE.cue"):
            os.makedirs(self.path("again"), exist_ok=True)
            again = run(["-t", sheet, "again"], self.dir)
            self.assertEqual(again.returncode, 0, again.stderr.decode())
            self.assertEqual(content(self.dir, "again", "CDTEXT.BIN"), self.read("out", "CDTEXT.BIN"), sheet)
            shutil.rmtree(self.path("again"))


if __name__ == "__main__":
    unittest.main()
