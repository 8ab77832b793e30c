"""Audio files as people have them, in one table: files that the test builds with Python and, where
installed, sox, ffmpeg and flac, each named on a WAVE line and run through korvel into a fileset.
For every file: the exit status, the first line on standard error (and the hint line of a refusal),
and for a file that is taken, IMAGE.DAT against the audio that Python wrote or that sox or `flac -d`
decodes from the same file, after korvel's two seconds of pregap and before its padding to a whole
sector; a refused file leaves no IMAGE.DAT. The FLAC rows that need decoding are skipped in a build
without it (KORVEL_FLAC=0, set by CMake), where one row checks the refusal instead."""

import os
import re
import shutil
import struct
import unittest

import audio
from korvel_run import ScratchCase, content, run, tool

FLAC_BUILT_IN = os.environ.get("KORVEL_FLAC", "1") == "1"
AUDIO = audio.pattern(5 * audio.CD_RATE * 4)  # five seconds: 375 whole sectors
PREGAP = bytes(150 * audio.FRAME_BYTES)
PIPED = "x.wav: warning: the data chunk's size was never filled in (a file written to a pipe): the audio runs to the " \
        "end of the file, %d bytes"
RIFF = "x.wav: warning: the RIFF chunk's size (%d) does not cover the data chunk (a file written to a pipe): the audio " \
       "is read as the data chunk states"
SUBTYPE_TAIL = bytes.fromhex("000010008000 00aa00389b71".replace(" ", ""))


def chunk(ident, body):
    return ident + struct.pack("<I", len(body)) + body + b"\0" * (len(body) % 2)


def extensible(fact=False):
    """16-bit stereo 44.1 kHz PCM in Wave Format Extensible, as DAWs write it."""
    fmt = struct.pack("<HHIIHHHHI", 0xFFFE, 2, 44100, 176400, 4, 16, 22, 16, 3) + struct.pack("<I", 1) + SUBTYPE_TAIL
    body = b"WAVE" + chunk(b"fmt ", fmt) + (chunk(b"fact", struct.pack("<I", len(AUDIO) // 4)) if fact else b"")
    return b"RIFF" + struct.pack("<I", len(body) + len(chunk(b"data", AUDIO))) + body + chunk(b"data", AUDIO)


def sizes(riff=None, data=None, extra=b""):
    """The plain file with its RIFF or data size field replaced, and chunks before the data."""
    w = bytearray(audio.wave_bytes(AUDIO, extra_chunks=extra))
    if riff is not None:
        w[4:8] = struct.pack("<I", riff)
    if data is not None:
        w[36 + len(extra) + 4:36 + len(extra) + 8] = struct.pack("<I", data)
    return bytes(w)


def nested(levels):
    """Empty lists, each in the one before."""
    return chunk(b"LIST", b"TEST" + nested(levels - 1)) if levels else b""


def sox_make(*options):
    """Five seconds of pink noise at the given options, written by sox."""
    return lambda path: tool("sox", "-n", *options, path, "synth", "5", "pinknoise", "vol", "0.5")


def ffmpeg_make(*options, piped=False):
    """Five seconds of a tone written by ffmpeg, to a file or through a pipe (no sizes filled in)."""
    source = ["ffmpeg", "-loglevel", "error", "-f", "lavfi", "-i", "sine=f=441:d=5:r=44100", "-ac", "2"]
    if piped:
        return lambda path: audio.write(path, tool(*source, *options, "-f", "wav", "-"))
    return lambda path: tool(*source, *options, "-y", path)


def flac_make(bits=16, rate=44100, channels=2, edit=None, extra=0):
    """A FLAC file encoded by flac from Python's audio (and `extra` bytes more), then `edit`ed
    (a function of its bytes)."""
    def make(path):
        pcm = AUDIO + audio.pattern(extra, seed=3)
        pcm = pcm[:len(pcm) // (channels * bits // 8) * (channels * bits // 8)]
        # flac fills in the length and MD5 signature only in a file that it can go back in.
        audio.write_wave(path + ".in.wav", pcm, channels=channels, rate=rate, bits=bits)
        tool("flac", "-s", "-f", path + ".in.wav", "-o", path + ".tmp")
        audio.write(path, (edit or bytes)(content(path + ".tmp")))
    return make


def streaminfo(offset, replacement):
    """Replaces bytes of the STREAMINFO block, which follows "fLaC" and its 4-byte header."""
    return lambda d: d[:8 + offset] + replacement(d[8 + offset:8 + offset + 16]) + d[8 + offset + 16:]


def longer_than_stated(d):
    """STREAMINFO stating 50 of flac's 4,096-sample frames, the stream ending at a frame's end there,
    and no MD5 signature that would give the rest away."""
    d = streaminfo(18, lambda b: bytes(16))(d)
    return streaminfo(10, lambda b: b[:3] + bytes([b[3] & 0xF0]) + struct.pack(">I", 50 * 4096) + b[8:])(d)


def flip_middle(d):
    return d[:len(d) // 2] + bytes([d[len(d) // 2] ^ 0x10]) + d[len(d) // 2 + 1:]


def without_id3(path):
    """An MP3 that starts with its first MPEG audio frame: ffmpeg's file without the ID3 tag."""
    d = content(path)
    size = 10 + sum((d[6 + i] & 0x7F) << (21 - 7 * i) for i in range(4))
    audio.write(path, d[size:])


def then(*steps):
    return lambda path: [step(path) for step in steps]


def data(raw):
    return lambda path: audio.write(path, raw)


# How the audio that korvel must copy is known independently.
KNOWN = "python"  # the audio that Python wrote
SOX = ["sox", "-D", "{}", "-t", "raw", "-e", "signed-integer", "-b", "16", "-L", "-"]
FLAC_D = ["flac", "-s", "-d", "-c", "--force-raw-format", "--endian=little", "--sign=signed", "{}"]
DECODING = "flac decoding"  # a row that needs korvel's FLAC decoding
FL = dict(tools=("flac", DECODING), suffix=".flac")  # a FLAC file that korvel decodes


def row(name, make, status, first, reference=None, hint=None, tools=(), suffix=".wav"):
    """`make` writes the file; `first` is the first line on standard error, as text or a pattern
    for messages that name a sample position; `hint` a part of a line that must follow (a refusal's hint);
    `reference` where the audio comes from (KNOWN or a command, {} for the file); `tools` what
    the row needs."""
    return dict(name=name, make=make, status=status, first=first, reference=reference, hint=hint, tools=tools,
                suffix=suffix)


def ok(name, make, reference=KNOWN, first="", **kw):
    return row(name, make, 0, first, reference, **kw)


def refused(name, make, first, hint=None, **kw):
    return row(name, make, 1, first, hint=hint, **kw)


LONGER = len(AUDIO) + 4000
ROWS = [
    # WAVE files that korvel took before and takes now.
    ok("plain", data(audio.wave_bytes(AUDIO))),
    ok("plain, written by sox", sox_make("-r", "44100", "-c", "2", "-b", "16"), SOX, tools=("sox",)),
    # Wave Format Extensible with the PCM subformat, with and without a fact chunk.
    ok("extensible", data(extensible())),
    ok("extensible with a fact chunk", data(extensible(fact=True))),
    # Sizes never filled in: the data runs to the end of the file, with one warning.
    ok("data size 0xFFFFFFFF", data(sizes(data=0xFFFFFFFF)), first=PIPED % len(AUDIO)),
    ok("data size 0", data(sizes(data=0)), first=PIPED % len(AUDIO)),
    ok("data size 0x7FFFF000", data(sizes(data=0x7FFFF000)), first=PIPED % len(AUDIO)),
    ok("RIFF size 0", data(sizes(riff=0)), first=RIFF % 0),
    ok("RIFF size 0xFFFFFFFF", data(sizes(riff=0xFFFFFFFF)), first=RIFF % 0xFFFFFFFF),
    ok("RIFF size smaller than the data", data(sizes(riff=1000)), first=RIFF % 1000),
    ok("RIFF and data size 0", data(sizes(riff=0, data=0)), first=PIPED % len(AUDIO)),
    ok("written by sox to a pipe", lambda p: audio.write(p, tool("sox", "-n", "-r", "44100", "-c", "2", "-b", "16",
       "-t", "wav", "-", "synth", "5", "pinknoise")), SOX, first=PIPED % 882000, tools=("sox",)),
    ok("written by ffmpeg to a pipe", ffmpeg_make(piped=True), SOX, first=PIPED % 882000, tools=("ffmpeg", "sox")),
    ok("RF64, written by ffmpeg", ffmpeg_make("-rf64", "always"), SOX, tools=("ffmpeg", "sox")),
    # Metadata that korvel does not use does not block the audio.
    ok("short bext", data(sizes(extra=chunk(b"bext", bytes(400)))),
       first="x.wav: warning: bext chunk too short (400 bytes, 602 expected): its Broadcast Wave fields are skipped"),
    ok("bad cue count", data(sizes(extra=chunk(b"cue ", struct.pack("<I", 5) + bytes(24)))), first="x.wav: warning: "
       "cue chunk states 5 cue points, which its 28 bytes do not hold: its cue points are skipped"),
    ok("XTOC past the end of the file", data(audio.wave_bytes(AUDIO) + b"XTOC" + struct.pack("<I", 1 << 30)),
       first="failed to read XTOC chunk: Unexpected end of file"),
    # Layouts that send a walk astray: a pad byte after an odd-sized chunk, lists nested 16 levels deep with the
    # RIFF chunk (17 are refused), a chunk size running past 4 GiB, a second data chunk, RF64 beyond 4 GiB.
    ok("odd-sized chunk before the data", data(sizes(extra=chunk(b"junk", b"xyz")))),
    ok("lists 16 levels deep", data(sizes(extra=nested(15)))),
    refused("lists 17 levels deep", data(sizes(extra=nested(16))),
            "Wave parser error (offset 228): Container chunks nested deeper than 16 levels."),
    ok("a chunk size past 4 GiB", data(audio.wave_bytes(AUDIO) + b"junk" + struct.pack("<I", 0xFFFFFFF8) + b"xxxx")),
    refused("two data chunks", data(audio.wave_bytes(AUDIO) + chunk(b"data", b"abcd")),
            "Wave parser error (offset %d): This parser supports only one data chunk within wave file." % (len(AUDIO) + 52)),
    refused("RF64 of 5 GiB", data(b"RF64" + struct.pack("<I", 0xFFFFFFFF) + b"WAVE" + chunk(b"ds64", struct.pack(
        "<QQQI", 0, 5 << 30, 0, 0)) + audio.wave_bytes(AUDIO)[12:36] + b"data" + struct.pack("<I", 0xFFFFFFFF) + AUDIO),
            "Wave parser error (offset 80): RF64 data chunk of 5368709120 bytes: korvel reads up to 4 GiB of audio, a CD "
            "holds less than 1 GiB."),
    # WAVE files that stay refused, with their message of before and a hint.
    refused("data size larger than the file", data(sizes(data=LONGER)), "x.wav: error: wave file is truncated: its "
            "data chunk holds %d bytes, but only %d are in the file" % (LONGER, len(AUDIO))),
    refused("8-bit", data(audio.wave_bytes(AUDIO, bits=8)), "x.wav: error: wrong sample width in wave file (8).",
            "`sox in.wav -b 16 out.wav dither`"),
    refused("24-bit, written by sox", sox_make("-r", "44100", "-c", "2", "-b", "24"),
            "x.wav: error: wrong sample width in wave file (24).", "`sox in.wav -b 16 out.wav dither`", tools=("sox",)),
    refused("extensible float", data(extensible().replace(struct.pack("<I", 1) + SUBTYPE_TAIL,
                                                          struct.pack("<I", 3) + SUBTYPE_TAIL)),
            "x.wav: error: wave file is not (fixed point) PCM data, found: FFFE", "-e signed-integer -b 16"),
    refused("RIFF of another form, a size past the end", data(b"RIFF" + struct.pack("<I", 100) + b"AVI " +
                                                               chunk(b"LIST", bytes(8))[:8] + b"\xff" * 4),
            "Wave parser error (offset 24): not a Microsoft WAVE file."),
    # Only RIFF, RF64 and BW64 hold a WAVE form: one after a form of another kind, under an id one letter off, is none.
    refused("WAVE form under RF66, after a RIFF of another form", data(b"RIFF" + struct.pack("<I", 4) + b"AVI " +
                                                                       b"RF66" + audio.wave_bytes(AUDIO)[4:]),
            "Wave parser error (offset %d): not a Microsoft WAVE file." % (56 + len(AUDIO))),
    # The 14-byte format chunk of formats other than PCM, without a sample width, is read to its format tag.
    refused("A-law with a 14-byte format chunk", data(b"RIFF" + struct.pack("<I", 34 + len(AUDIO)) + b"WAVE" +
                                                      chunk(b"fmt ", struct.pack("<HHIIH", 6, 2, 44100, 88200, 2)) +
                                                      chunk(b"data", AUDIO)),
            "x.wav: error: wave file is not (fixed point) PCM data, found: 06", "`ffmpeg -i in.wav -c:a pcm_s16le"),
    # FLAC on a WAVE line, decoded into the image and checked against flac's own decoding.
    ok("FLAC 16-bit 44.1 kHz stereo", flac_make(), FLAC_D, **FL),
    ok("FLAC with 4,608-sample frames, written by ffmpeg", ffmpeg_make(), FLAC_D, tools=("ffmpeg", "flac", DECODING),
       suffix=".flac"),
    ok("FLAC that ends inside a sector", flac_make(extra=1000), FLAC_D, first="x.flac: warning: audio does not end at "
       "a CD sector boundary, adding 1352 bytes of silence", **FL),
    ok("FLAC without MD5", flac_make(edit=streaminfo(18, lambda b: bytes(16))), FLAC_D,
       first="x.flac: warning: FLAC file has no MD5 signature: its decoded audio cannot be checked", **FL),
    ok("FLAC behind an ID3 tag", flac_make(edit=lambda d: b"ID3\x04\0\0\0\0\0\x10" + bytes(16) + d), FLAC_D, **FL),
    ok("FLAC with an ID3v1 tag after its last frame", flac_make(edit=lambda d: d + b"TAG" + bytes(125)), **FL),
    refused("FLAC 24-bit", flac_make(bits=24), "x.flac: error: wrong sample width in FLAC file (24).",
            "`sox in.flac -b 16 out.wav dither`", **FL),
    refused("FLAC 48 kHz", flac_make(rate=48000), "x.flac: error: wrong sample rate in FLAC file (48000).",
            "`sox in.flac -r 44100 out.wav`", **FL),
    refused("FLAC mono", flac_make(channels=1), "x.flac: error: wrong number of channels in FLAC file (1).",
            "`sox in.flac -c 2 out.wav`", **FL),
    refused("FLAC without its length", flac_make(edit=streaminfo(10, lambda b: b[:3] + bytes([b[3] & 0xF0]) +
                                                                 bytes(4) + b[8:])),
            "x.flac: error: FLAC file does not state its length (its STREAMINFO holds no sample count)",
            "`flac -d in.flac -o out.wav`", **FL),
    # FLAC that fails its checks while it is copied: one diagnostic, no image.
    refused("FLAC cut short", flac_make(edit=lambda d: d[:len(d) * 2 // 3]),
            re.compile(r"Error: x\.flac: FLAC stream ends early, after \d+ of its 220500 samples"), **FL),
    refused("FLAC cut inside its last frame", flac_make(edit=lambda d: d[:-100]),  # the decoder first loses sync
            re.compile(r"Error: x\.flac: FLAC stream ends early, after \d+ of its 220500 samples"), **FL),
    refused("FLAC longer than its STREAMINFO states, without MD5", flac_make(edit=longer_than_stated),
            "x.flac: warning: FLAC file has no MD5 signature: its decoded audio cannot be checked",
            "Error: x.flac: FLAC stream holds more audio than its STREAMINFO block states", **FL),
    refused("FLAC with one flipped byte", flac_make(edit=flip_middle), re.compile(r"Error: x\.flac: FLAC stream is damaged at "
            r"sample \d+: .+"), **FL),
    refused("FLAC with a wrong MD5 signature", flac_make(edit=streaminfo(18, lambda b: b[::-1])),
            "Error: x.flac: the decoded audio does not match the FLAC stream's MD5 signature: the file is damaged", **FL),
    # Files that are not WAVE, named for what they are.
    refused("Ogg Vorbis", sox_make("-r", "44100", "-c", "2", "-t", "ogg"), "x.wav: error: not a Microsoft WAVE file, "
            "but Ogg Vorbis audio", "`sox in.ogg -b 16 -c 2 -r 44100 out.wav`", tools=("sox",)),
    refused("Ogg FLAC", then(flac_make(), lambda p: tool("flac", "-s", "-f", "--ogg", "-o", p + ".oga", p),
                             lambda p: os.replace(p + ".oga", p)), "x.wav: error: not a Microsoft WAVE file, but Ogg audio",
            tools=("flac",)),
    refused("Opus", ffmpeg_make("-c:a", "libopus", "-f", "ogg"), "x.wav: error: not a Microsoft WAVE file, but Opus "
            "audio", "`ffmpeg -i in.opus -c:a pcm_s16le -ac 2 -ar 44100 out.wav`", tools=("ffmpeg",)),
    refused("MP4", ffmpeg_make("-c:a", "aac", "-f", "ipod"), "x.wav: error: not a Microsoft WAVE file, but MP4 audio "
            "(M4A, M4B)", "`ffmpeg -i in.m4a -c:a pcm_s16le", tools=("ffmpeg",)),
    refused("WavPack", ffmpeg_make("-c:a", "wavpack", "-f", "wv"), "x.wav: error: not a Microsoft WAVE file, but "
            "WavPack audio", "`ffmpeg -i in.wv -c:a pcm_s16le", tools=("ffmpeg",)),
    refused("WMA", ffmpeg_make("-c:a", "wmav2", "-f", "asf"), "x.wav: error: not a Microsoft WAVE file, but WMA audio "
            "(ASF)", "`ffmpeg -i in.wma -c:a pcm_s16le", tools=("ffmpeg",)),
    # Formats no tool here writes, by the magic bytes each format opens with.
    refused("APE", data(b"MAC \x96\x0f" + bytes(60)), "x.wav: error: not a Microsoft WAVE file, but APE audio (Monkey's "
            "Audio)", "`ffmpeg -i in.ape -c:a pcm_s16le"),
    refused("TAK", data(b"tBaK" + bytes(60)), "x.wav: error: not a Microsoft WAVE file, but TAK audio"),
    refused("DSF", data(b"DSD " + struct.pack("<Q", 28) + bytes(52)), "x.wav: error: not a Microsoft WAVE file, but DSD "
            "audio (DSF)", "`ffmpeg -i in.dsf -c:a pcm_s16le"),
    refused("DFF", data(b"FRM8" + struct.pack(">Q", 100) + b"DSD " + bytes(48)), "x.wav: error: not a Microsoft WAVE "
            "file, but DSD audio (DSDIFF)", "`ffmpeg -i in.dff -c:a pcm_s16le"),
    refused("MP3 with an ID3 tag", ffmpeg_make("-f", "mp3"), "x.wav: error: not a Microsoft WAVE file, but MP3 audio "
            "(it starts with an ID3 tag)", "`sox in.mp3 -b 16 -c 2 -r 44100 out.wav`", tools=("ffmpeg",)),
    # 32 kHz sets the upper of the frame header's two sample rate bits (FF FB 98 ..): only 11 is no rate.
    refused("MP3 at 32 kHz from its first frame", then(ffmpeg_make("-ar", "32000", "-b:a", "128k", "-f", "mp3"),
                                                       without_id3), "x.wav: error: not a Microsoft "
            "WAVE file, but MP3 audio (it starts with an MPEG audio frame)", tools=("ffmpeg",)),
    refused("AIFF", sox_make("-r", "44100", "-c", "2", "-b", "16", "-t", "aiff"),
            "x.wav: error: not a Microsoft WAVE file, but AIFF audio", "`sox in.aif -b 16 -c 2 -r 44100 out.wav`",
            tools=("sox",)),
    refused("AIFF-C", sox_make("-r", "44100", "-c", "2", "-b", "16", "-t", "aifc"),
            "x.wav: error: not a Microsoft WAVE file, but AIFF-C audio", tools=("sox",)),
    refused("Wave64", sox_make("-r", "44100", "-c", "2", "-b", "16", "-t", "w64"),
            "x.wav: error: not a Microsoft WAVE file, but Wave64 audio", "`sox in.w64 -b 16 -c 2 -r 44100 out.wav`",
            tools=("sox",)),
    refused("unknown", data(b"<?xml version='1.0'?>\n"), "x.wav: error: not a Microsoft WAVE file, nor any other "
            "audio file that korvel knows (it starts with 3C 3F 78 6D)", "`ffmpeg -i in -c:a pcm_s16le"),
]
# In a build without FLAC decoding, a FLAC file gets a refusal that says how to decode it.
ROWS += [refused("FLAC without FLAC decoding", flac_make(), "x.flac: error: not a Microsoft WAVE file, but FLAC audio,"
                 " and this korvel was built without FLAC decoding", "`flac -d in.flac -o out.wav`", tools=("flac",),
                 suffix=".flac")] if not FLAC_BUILT_IN else []


class AudioFileTest(ScratchCase):
    def missing(self, r):
        for t in r["tools"]:
            if t == DECODING and not FLAC_BUILT_IN:
                return "this korvel was built without FLAC decoding"
            if t != DECODING and shutil.which(t) is None:
                return t + " is not installed"
        return None

    def test_every_file(self):
        # Every file on one thread and on two (decoding on one, the checks and the writing on the other).
        for threads in ("1", "2"):
            for r in ROWS:
                with self.subTest(r["name"], threads=threads):
                    why = self.missing(r)
                    if why:
                        self.skipTest(why)
                    self.check(r, threads)

    def check(self, r, threads):
        name = "x" + r["suffix"]
        for f in os.listdir(self.path("out")):
            os.remove(self.path("out", f))
        r["make"](self.path(name))
        audio.write(self.path("disc.cue"), b'FILE "%s" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n' % name.encode())
        p = run(["--threads=" + threads, "disc.cue", "out"], self.dir)
        err = p.stderr.decode().splitlines() + ["", ""]
        first = r["first"] if isinstance(r["first"], str) else r["first"].fullmatch(err[0]) and err[0]
        self.assertEqual((p.returncode, err[0]), (r["status"], first), p.stderr.decode())
        if r["hint"]:
            self.assertTrue(any(r["hint"] in line for line in err[1:]), err)
        if r["status"] != 0:
            self.assertFalse(os.path.exists(self.path("out", "IMAGE.DAT")), "a refused file left an image")
            return
        pcm = AUDIO if r["reference"] == KNOWN else tool(*[a.replace("{}", self.path(name)) for a in r["reference"]])
        image = self.read("out", "IMAGE.DAT")
        padding = bytes(-len(pcm) % audio.FRAME_BYTES)
        self.assertEqual(len(image), len(PREGAP) + len(pcm) + len(padding))
        self.assertTrue(image == PREGAP + pcm + padding, "IMAGE.DAT is not the decoded audio")
        self.assertIn(b"File type: " + (b"FLAC\n" if r["suffix"] == ".flac" else b"Microsoft Wave\n"), p.stdout)
        self.assert_md5sum_passes()

    def test_parse_mode_reads_only_the_flac_header(self):
        # Without a directory nothing is decoded: the length is STREAMINFO's, even of a file cut short.
        if shutil.which("flac") is None or not FLAC_BUILT_IN:
            self.skipTest("needs flac and a korvel with FLAC decoding")
        flac_make(edit=lambda d: d[:len(d) // 2])(self.path("cut.flac"))
        with open(self.path("disc.cue"), "w") as f:
            f.write('FILE "cut.flac" WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n')
        p = run(["disc.cue"], self.dir)
        self.assertEqual((p.returncode, p.stderr), (0, b""))
        self.assertIn(b"File type: FLAC\nStarts at: 00:00:02.000\nEnds at  : 00:00:07.000\n", p.stdout)


if __name__ == "__main__":
    unittest.main()
