"""The round trip over generated discs (tracks 1 to 99, index points 00 to 99, pregaps, flags, ISRCs,
catalog numbers, Latin-1 texts, BINARY, MOTOROLA and WAVE sources): for every fileset korvel writes,
korvel --check reports it sound with the PQ listing korvel printed when writing it, and its JSON
report gives the generated layout; korvel --extract writes WAVE files with canonical headers, image.wav
(which sox reads as the image's audio) and each track from its index 01 on, and the fileset korvel
writes from the extracted image.cue holds the same IMAGE.DAT, SD, DDPMS and CDTEXT.BIN. The same holds
for the FLAC release set (--format=flac), read back by flac and metaflac: every file tests sound and
decodes to the disc's samples, the tags and the embedded cue sheet are the generated disc's; and the
proof page names every ISRC and title."""

import json
import os
import random
import shutil
import subprocess
import unittest
from html.parser import HTMLParser

import audio
from korvel_run import FLAC_BUILT_IN, ScratchCase, content, pq_listing, run, tool

FRAME = audio.FRAME_BYTES
WORDS = ["Caf\xe9", "\xdcber", "Stra\xdfe", "A\xf1o Nuevo", "\xd8rsted", "Fian\xe7\xe9", "\xc7a va", "Se\xf1or",
         "D\xe9j\xe0 vu", "Zo\xeb", "na\xefve", "Sm\xf6rg\xe5s", "Tom & Jerry", 'Say "Hi"', "\xbd time", "Bj\xf8rk"]
DISCS = 22


def ean13(r):
    digits = [r.randrange(10) for _ in range(12)]
    check = (10 - sum(d * (3 if i % 2 else 1) for i, d in enumerate(digits)) % 10) % 10
    return "".join(map(str, digits + [check]))


def spread(first, last, count):
    """`count` distinct frames strictly between first and last."""
    return [first + (k * (last - first)) // (count + 1) for k in range(1, count + 1)]


def make_disc(seed):
    """A disc that passes the Red Book check: its layout in disc frames, its cue sheet and audio."""
    r = random.Random(seed)
    many = seed == 0  # 99 tracks of 4 seconds
    count = 99 if many else r.randint(1, 8)
    added_pregap = r.random() < 0.5  # track 1 at 00:00:00: korvel puts 2 s of silence before it
    first = 150 if added_pregap else r.choice([150, 150 + r.randint(1, 150)])
    texts = seed % 4 != 3
    word = (lambda: r.choice(WORDS)[:8]) if many else (lambda: r.choice(WORDS))
    disc = {"kind": ["BINARY", "MOTOROLA", "WAVE"][seed % 3], "added_pregap": added_pregap,
            "upc": ean13(r) if r.random() < 0.6 else "", "tracks": [], "texts": {}}
    if texts:
        for key in ("title", "performer", "songwriter"):
            if r.random() < 0.6:
                disc["texts"][key] = word()
    position = first
    for n in range(1, count + 1):
        length = 300 if many else r.randint(300, 420) + (100 if seed == 1 and n == 1 else 0)
        t = {"indexes": {1: position}, "isrc": "", "flags": [], "texts": {}}
        if n == 1:
            t["indexes"][0] = 0
        elif r.random() < 0.5:
            t["indexes"][0] = position - r.randint(1, 60)  # the pause before the track
        extra = 98 if seed == 1 and n == 1 else r.choice([0, 0, 1, 3])  # index points up to 99
        for i, frames in enumerate(spread(position, position + length - 61, extra), 2):
            t["indexes"][i] = frames
        if r.random() < 0.6:
            t["isrc"] = "%s%s%02d%05d" % (r.choice(["DE", "US", "GB"]), r.choice(["A12", "K7Q", "9Z9"]),
                                          r.randrange(100), seed * 100 + n)
        if r.random() < 0.4:
            t["flags"] = [f for f in r.choice([["PRE"], ["DCP"], ["4CH"], ["SCMS"], ["PRE", "DCP", "4CH"],
                                              ["4CH", "SCMS"]])]
        if texts:
            for key in ("title", "performer", "songwriter") if not many else ("title",):
                if r.random() < 0.5:
                    t["texts"][key] = word()
        disc["tracks"].append(t)
        position += length
    disc["lead_out"] = position
    # Audio that differs from sector to sector; some discs end in the middle of a sector.
    held = position - (150 if added_pregap else 0)
    block = r.randbytes(FRAME * 101)
    data = (block * (held // 101 + 1))[:held * FRAME]
    cut = 4 * r.randint(1, 587) if r.random() < 0.3 else 0
    disc["audio"] = data[:len(data) - cut]
    disc["image"] = bytes(150 * FRAME if added_pregap else 0) + disc["audio"] + bytes(cut)
    return disc


def cue_sheet(disc, name):
    def text_lines(texts, indent):
        return [indent + '%s "%s"' % (key.upper(), value) for key, value in texts.items()]

    shift = 150 if disc["added_pregap"] else 0
    lines = (["CATALOG " + disc["upc"]] if disc["upc"] else []) + text_lines(disc["texts"], "")
    lines.append('FILE "%s" %s' % (name, disc["kind"]))
    for n, t in enumerate(disc["tracks"], 1):
        lines += ["  TRACK %02d AUDIO" % n] + text_lines(t["texts"], "    ")
        lines += ["    ISRC " + t["isrc"]] if t["isrc"] else []
        lines += ["    FLAGS " + " ".join(t["flags"])] if t["flags"] else []
        for i, frames in sorted(t["indexes"].items()):
            if n == 1 and i == 0 and disc["added_pregap"]:
                continue
            seconds, f = divmod(frames - shift, 75)
            lines.append("    INDEX %02d %02d:%02d:%02d" % (i, seconds // 60, seconds % 60, f))
    return ("\n".join(lines) + "\n").encode("latin-1")


def track_files(disc, extension):
    """(name, first sector, end) of every track file: from index 01 to the next track's, 00 before track 1."""
    starts = [t["indexes"][1] for t in disc["tracks"]] + [disc["lead_out"]]
    parts = [("%02d.%s" % (n, extension), starts[n - 1], starts[n]) for n in range(1, len(disc["tracks"]) + 1)]
    return ([("00." + extension, 150, starts[0])] if starts[0] > 150 else []) + parts


def expected_tags(disc, n):
    """The Vorbis comments track n's file must carry, from the generated disc."""
    t, texts = disc["tracks"][n - 1], disc["texts"]
    tags = {"TITLE": t["texts"].get("title"), "ARTIST": t["texts"].get("performer") or texts.get("performer"),
            "ALBUM": texts.get("title"), "ALBUMARTIST": texts.get("performer"),
            "COMPOSER": t["texts"].get("songwriter") or texts.get("songwriter"), "TRACKNUMBER": str(n),
            "TRACKTOTAL": str(len(disc["tracks"])), "ISRC": t["isrc"], "BARCODE": disc["upc"]}
    return {k: v for k, v in tags.items() if v}


def embedded_cue_sheet(text):
    """metaflac's export of a CUESHEET block: the catalog, the lead-in and lead-out, and per track its
    ISRC, pre-emphasis and index points in disc frames."""
    sheet = {"catalog": "", "tracks": []}
    for words in (line.split() for line in text.splitlines()):
        if words[0] == "CATALOG":
            sheet["catalog"] = words[1]
        elif words[0] == "TRACK":
            sheet["tracks"].append({"isrc": "", "pre": False, "indexes": {}})
        elif words[0] == "ISRC":
            sheet["tracks"][-1]["isrc"] = words[1]
        elif words[0] == "FLAGS":
            sheet["tracks"][-1]["pre"] = "PRE" in words
        elif words[0] == "INDEX":
            m, s, f = map(int, words[2].split(":"))
            sheet["tracks"][-1]["indexes"][int(words[1])] = (m * 60 + s) * 75 + f
        elif words[:2] == ["REM", "FLAC__lead-in"] or words[:2] == ["REM", "FLAC__lead-out"]:
            sheet[words[1]] = words[2:]
    return sheet


class Texts(HTMLParser):
    def __init__(self):
        super().__init__()
        self.texts = []

    def handle_data(self, data):
        self.texts.append(data)


class RoundTrip(ScratchCase):
    def assert_json_is_the_layout(self, report, disc):
        self.assertEqual((report["status"], report["errors"]), ("OK", []))
        got = report["disc"]
        self.assertEqual((got["upc_ean"], got["lead_out"]["frames"]), (disc["upc"], disc["lead_out"]))
        for key in ("title", "performer", "songwriter"):
            self.assertEqual(got[key], disc["texts"].get(key), key)
        self.assertEqual(len(got["tracks"]), len(disc["tracks"]))
        for t, want in zip(got["tracks"], disc["tracks"]):
            self.assertEqual({i["number"]: i["frames"] for i in t["indexes"]}, want["indexes"])
            self.assertEqual(t["isrc"], want["isrc"])
            self.assertEqual(sorted(k.upper() for k, v in t["flags"].items() if v), sorted(want["flags"]))
            for key in ("title", "performer", "songwriter"):
                self.assertEqual(t[key], want["texts"].get(key), (t["number"], key))

    def assert_wave_files_are_the_image(self, disc, out):
        """image.wav is IMAGE.DAT; the track files, in order, are the disc from track 1 (or 00:02:00) on."""
        tracks = disc["tracks"]
        starts = [t["indexes"][1] for t in tracks] + [disc["lead_out"]]
        parts = [("%02d.wav" % n, starts[n - 1], starts[n]) for n in range(1, len(tracks) + 1)]
        if starts[0] > 150:
            parts.insert(0, ("00.wav", 150, starts[0]))
        self.assertEqual(sorted(os.listdir(out)), sorted(["image.cue", "image.wav"] + [p[0] for p in parts]))
        # Each file holds its sectors after a canonical header; sox reads image.wav as the disc.
        for name, start, end in [("image.wav", 0, disc["lead_out"])] + parts:
            self.assertEqual(content(out, name), audio.wave_bytes(disc["image"][start * FRAME:end * FRAME]), name)
        self.assertEqual(tool("sox", os.path.join(out, "image.wav"), "-t", "raw", "-"), disc["image"])

    def assert_flac_set_is_the_disc(self, disc, out):
        """flac tests and decodes every file to the disc's samples; metaflac shows the disc's tags and cue sheet."""
        parts = track_files(disc, "flac")
        self.assertEqual(sorted(os.listdir(out)), sorted(["image.cue", "image.flac", "index.html"] + [p[0] for p in parts]))
        for name, start, end in [("image.flac", 0, disc["lead_out"])] + parts:
            path = os.path.join(out, name)
            subprocess.run(["flac", "-t", "-s", path], check=True)
            raw = tool("flac", "-d", "-s", "-c", "--force-raw-format", "--endian=little", "--sign=signed", path)
            self.assertEqual(raw, disc["image"][start * FRAME:end * FRAME], name)
        for n in range(1, len(disc["tracks"]) + 1):
            exported = tool("metaflac", "--no-utf8-convert", "--export-tags-to=-", os.path.join(out, "%02d.flac" % n))
            tags = dict(line.split("=", 1) for line in exported.decode().splitlines())
            self.assertEqual(tags, expected_tags(disc, n), n)
        sheet = embedded_cue_sheet(tool("metaflac", "--export-cuesheet-to=-", os.path.join(out, "image.flac")).decode())
        self.assertEqual((sheet["catalog"], sheet["FLAC__lead-in"], sheet["FLAC__lead-out"]),
                         (disc["upc"], ["88200"], ["170", str(disc["lead_out"] * 588)]))
        self.assertEqual(sheet["tracks"], [{"isrc": t["isrc"], "pre": "PRE" in t["flags"], "indexes": t["indexes"]}
                                           for t in disc["tracks"]])
        page = Texts()
        page.feed(content(out, "index.html").decode())
        for text in [t["isrc"] for t in disc["tracks"]] + [t["texts"].get("title") for t in disc["tracks"]]:
            if text:
                self.assertIn(text, page.texts)

    def test_every_written_fileset_checks_extracts_and_is_written_again_identically(self):
        for needed in ("sox", "flac", "metaflac")[:3 if FLAC_BUILT_IN else 1]:
            if shutil.which(needed) is None:
                self.skipTest(needed + " is not installed")
        for seed in range(DISCS):
            disc = make_disc(seed)
            with self.subTest(disc=seed, tracks=len(disc["tracks"]), kind=disc["kind"]):
                work = self.path("disc%02d" % seed)
                for folder in ("ddp", "out", "again", "flac", "again-flac"):
                    os.makedirs(os.path.join(work, folder))
                name, encode = {"BINARY": ("disc.raw", bytes), "MOTOROLA": ("disc.be", audio.swap16),
                                "WAVE": ("disc.wav", audio.wave_bytes)}[disc["kind"]]
                audio.write(os.path.join(work, name), encode(disc["audio"]))
                audio.write(os.path.join(work, "disc.cue"), cue_sheet(disc, name))
                options = ["-t"] if any(t["texts"] for t in disc["tracks"]) or disc["texts"] else []
                master = ("ROUND TRIP %d " % seed).ljust(48, "~")  # the master identifier's whole field
                written = run(options + ["-m", master, "disc.cue", "ddp"], work)
                self.assertEqual(written.returncode, 0, written.stderr.decode())
                self.assertEqual(content(work, "ddp", "IMAGE.DAT"), disc["image"])

                checked = run(["--check", "ddp"], work)
                self.assertEqual(checked.returncode, 0, checked.stderr.decode())
                self.assertTrue(checked.stdout.splitlines()[-1].startswith(b"fileset OK"), checked.stdout[-200:])
                self.assertEqual(pq_listing(checked.stdout), pq_listing(written.stdout))
                report = run(["--check", "--json", "ddp"], work)
                self.assert_json_is_the_layout(json.loads(report.stdout), disc)
                self.assertEqual(json.loads(report.stdout)["identity"]["master_id"], master)

                extracted = run(["--extract", "-v", "0", "ddp", "out"], work)
                self.assertEqual(extracted.returncode, 0, extracted.stderr.decode())
                self.assert_wave_files_are_the_image(disc, os.path.join(work, "out"))

                # The whole disc encoded on one core and the tracks on the other, or all in turn.
                threads = "--threads=%d" % (1 + seed % 2)
                extracted = run(["--extract", "--format=flac", "--proof", threads, "--json", "ddp", "flac"], work)
                if not FLAC_BUILT_IN:  # refused before anything is read
                    self.assertIn(b"--format=flac needs libFLAC", extracted.stderr)
                    self.assertEqual((extracted.returncode, os.listdir(work + "/flac")), (1, []))
                else:
                    self.assertEqual(extracted.returncode, 0, extracted.stderr.decode())
                    written = json.loads(extracted.stdout)["extracted"]
                    self.assertEqual((written["format"], sorted(written["files"])),
                                     ("flac", sorted(os.listdir(work + "/flac"))))
                    self.assert_flac_set_is_the_disc(disc, os.path.join(work, "flac"))

                for out, again in (("out", "../again"), ("flac", "../again-flac"))[:1 + FLAC_BUILT_IN]:
                    rerun = run(options + ["-c", "image.cue", again], os.path.join(work, out))
                    self.assertEqual(rerun.returncode, 0, rerun.stderr.decode())
                    for stream in ["IMAGE.DAT", "SD", "DDPMS"] + (["CDTEXT.BIN"] if options else []):
                        self.assertEqual(content(work, again[3:], stream), content(work, "ddp", stream), stream)
                shutil.rmtree(work)


if __name__ == "__main__":
    unittest.main()
