#!/usr/bin/env python3
"""Writes the hand-made seed inputs of the fuzz targets into fuzz/corpus/<target>/.

The CD-Text and checksum seeds are files that korvel itself writes for a small
disc, so the seeds follow the writers. Run from the source tree with the path
of a korvel binary; existing seeds of the same name are replaced.

    python3 fuzz/make_seeds.py build/dev/korvel
"""

import hashlib
import math
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
import audio  # noqa: E402
import cdtext_packs  # noqa: E402
import ddp_layout  # noqa: E402


def tone(sample_frames, freq=441.0):
    """16-bit little-endian stereo samples of a sine tone."""
    return b"".join(struct.pack("<h", int(12000 * math.sin(2 * math.pi * freq * i / 44100))) * 2
                    for i in range(sample_frames))


def sectors_of(disc, n):
    """Track n's sectors from its first index to the next track's first index (the last to the lead-out)."""
    tracks = disc["tracks"]
    start = min(tracks[n - 1]["indexes"].values())
    end = min(tracks[n]["indexes"].values()) if n < len(tracks) else disc["lead_out"]
    return start, end


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("latin-1"))


CUE_SEEDS = {
    "worked-example.cue": """FILE a.wav WAVE
TRACK 01 AUDIO
TITLE One
INDEX 01 00:00:00
TRACK 02 AUDIO
INDEX 00 00:04:00
INDEX 01 00:04:10
""",
    "full.cue": """REM a disc with every command
CATALOG 4006381333931
TITLE "Fuzz Disc"
PERFORMER "The Fuzzers"
SONGWRITER "Someone"
FILE "a.raw" BINARY
  TRACK 01 AUDIO
    TITLE "First"
    PERFORMER "A"
    SONGWRITER "B"
    ISRC DEA121500001
    FLAGS PRE DCP
    INDEX 01 00:00:00
    INDEX 02 00:02:00
  TRACK 02 AUDIO
    FLAGS 4CH SCMS
    INDEX 00 00:04:00
    INDEX 01 00:04:10
""",
    "motorola-cdtext.cue": """CDTEXTFILE "two.cdt"
FILE a.raw MOTOROLA
TRACK 01 AUDIO
INDEX 00 00:00:00
INDEX 01 00:02:00
TRACK 02 AUDIO
INDEX 01 00:06:00
""",
    "cdtext-one.cue": """CDTEXTFILE one.cdt\r\nFILE "a.wav" WAVE\r\nTRACK 01 AUDIO\r\nINDEX 01 00:00:00\r\n""",
    "mono.cue": "FILE m.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
    "truncated.cue": "FILE t.wav WAVE\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
    "odd.cue": "FILE odd.raw BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n",
    "bad-flags-after-index.cue": "FILE a.raw BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\nFLAGS DCP\n",
    "pregap.cue": "FILE a.raw BINARY\nTRACK 01 AUDIO\nPREGAP 00:02:00\nINDEX 01 00:00:00\n",
    # Sheets in the code pages rippers write, and the dialects of real sheets.
    "shift-jis.cue": 'PERFORMER "\u5c71\u7530\u592a\u90ce"\nTITLE "\u65e5\u672c\u306e\u30a2\u30eb\u30d0\u30e0"\n'
                     'FILE "a.raw" BINARY\nTRACK 01 AUDIO\nTITLE "\u30bd\u30f3\u30b0"\nINDEX 01 00:00:00\n'.encode("cp932"),
    "gbk.cue": 'TITLE "\u4e2d\u6587\u4e13\u8f91"\nPERFORMER "\u738b\u83f2"\nFILE "a.raw" BINARY\nTRACK 01 AUDIO\n'
               'TITLE "\u7ea2\u8c46"\nINDEX 01 00:00:00\n'.encode("gbk"),
    "utf16-unmarked.cue": 'TITLE "\u00c7a va"\r\nFILE "a.raw" BINARY\r\nTRACK 01 AUDIO\r\nINDEX 01 00:00:00\r\n'
                          .encode("utf-16-le"),
    "lower-case.cue": 'file a.wav Wave\ntrack 04 audio\nflags pre\nindex 01 00:00:02\nTrack 05 Audio\n'
                      'Index 01 00:04:00\nFlags dcp\n',
    "dialects.cue": 'CATALOG 0 36000 29145 2\nTITLE "Heroes" (12" mix)\nCDTEXTFILE missing.cdt\nFILE a b.wav FLAC\n'
                    'FILE "sub\\a.raw" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n',
}

TEXT_SEEDS = {
    "time": "00:02:00",
    "time-last": "89:59:74",
    "time-short": "1:2:3",
    "ean": "4006381333931",
    "ean-twelve": "400638133393",
    "isrc": "DEA121500001",
    "lines": "first line\r\nsecond\tline\rthird\n\nlast",
    "control": "text\x01more\n",
    "utf8-bom": b"\xef\xbb\xbfTITLE \"Caf\xc3\xa9 \xe2\x80\x94 \xe2\x80\x9cLive\xe2\x80\x9d\xe2\x80\xa6\"\r\n",
    "utf8-other": "PERFORMER \"\u0418\u0432\u0430\u043d \u6771\u4eac \U0001F600\u2009\"\n".encode("utf-8"),
    "utf8-invalid": b"TITLE \"\xe2\x82\xed\xa0\x80\xf4\x90\x80\x80\xc0\xaf\xc2\x85\"\n",
    "cp1252": b"TITLE \"\x93Caf\xe9\x94 \x96 \x85 \x80\x81\x8d\x8f\x90\x9d\"\r",
    "utf16le": b"\xff\xfe" + "TITLE \"\U0001F600\u00e9\"\r\n".encode("utf-16-le") + b"\x3d\xd8A\x00\x00\xdcB",
    "utf16be": b"\xfe\xff" + "TITLE \"\U0001F600\u00e9\"\r\n".encode("utf-16-be") + b"\xd8\x3d\x00A\xdc\x00B",
    "utf16be-unmarked": "REM GENRE Pop\r\nTITLE \"\u65e5\u00e9\"\r\n".encode("utf-16-be") + b"\xd8",
    "shift-jis": 'TITLE "\u30bd\u30f3\u30b0 \\ \u8868"\n'.encode("cp932"),
}


def pack(kind, track, seq, block, charpos, text):
    return cdtext_packs.pack(kind, track, seq, charpos, text[:12], block)


def chunk(ident, body):
    return ident + struct.pack("<I", len(body)) + body + (b"\0" if len(body) % 2 else b"")


def wave_seeds():
    small = tone(32)
    put("fuzz_wave", "canonical.wav", audio.wave_bytes(small))
    put("fuzz_wave", "float.wav", audio.wave_bytes(small, fmt_tag=3, bits=32))
    bext = b"Description".ljust(256, b"\0") + b"korvel".ljust(32, b"\0") + b"ref".ljust(32, b"\0")
    bext += b"2024-01-01" + b"12:00:00" + struct.pack("<iih", 1, 0, 1) + bytes(64) + bytes(190)
    cue = struct.pack("<I", 2) + struct.pack("<II4sIII", 1, 0, b"data", 0, 0, 0)
    cue += struct.pack("<II4sIII", 2, 4, b"data", 0, 0, 4)
    extra = chunk(b"bext", bext) + chunk(b"cue ", cue) + chunk(b"XTOC", b"\1\2\3")
    extra += chunk(b"axml", b"<x/>") + chunk(b"LIST", b"INFO" + chunk(b"INAM", b"name\0"))
    put("fuzz_wave", "all-chunks.wav", audio.wave_bytes(small, extra_chunks=extra))
    ext_fmt = struct.pack("<HHIIHHHHI16s", 0xFFFE, 2, 44100, 176400, 4, 16, 22, 16, 3, bytes(16))
    body = b"WAVE" + chunk(b"fmt ", ext_fmt) + chunk(b"data", small)
    put("fuzz_wave", "extensible.wav", b"RIFF" + struct.pack("<I", len(body)) + body)
    claim = audio.wave_bytes(small)
    put("fuzz_wave", "data-claims-more.wav", claim[:40] + struct.pack("<I", 0xFFFFFFF0) + claim[44:])


def flac_bytes(work, pcm, *options, channels=2, rate=44100, bits=16):
    """`pcm` encoded by the flac tool with small blocks, so that a seed holds several frames."""
    src, out = os.path.join(work, "in.wav"), os.path.join(work, "out.flac")
    audio.write_wave(src, pcm, channels=channels, rate=rate, bits=bits)
    subprocess.run(["flac", "-s", "-f", "-b", "576", *options, src, "-o", out], check=True)
    with open(out, "rb") as f:
        return f.read()


def audio_seeds(work):
    """Files named on a WAVE line: WAVE as writers really make it, FLAC, and the formats korvel names."""
    small = tone(2000)
    plain = audio.wave_bytes(small)
    put("fuzz_audio", "plain.wav", plain)
    guid = struct.pack("<I", 1) + bytes.fromhex("000010008000" "00aa00389b71")
    ext_fmt = struct.pack("<HHIIHHHHI", 0xFFFE, 2, 44100, 176400, 4, 16, 22, 16, 3) + guid
    body = b"WAVE" + chunk(b"fmt ", ext_fmt) + chunk(b"fact", struct.pack("<I", 2000)) + chunk(b"data", small)
    put("fuzz_audio", "extensible-pcm.wav", b"RIFF" + struct.pack("<I", len(body)) + body)
    put("fuzz_audio", "piped.wav", plain[:4] + b"\xff\xff\xff\xff" + plain[8:40] + b"\xff\xff\xff\xff" + plain[44:])
    put("fuzz_audio", "piped-sox.wav", plain[:4] + b"\0\0\0\0" + plain[8:40] + b"\x00\xf0\xff\x7f" + plain[44:])
    ds64 = chunk(b"ds64", struct.pack("<QQQI", 36 + 28 + len(small), len(small), 2000, 0))
    rf64 = b"WAVE" + ds64 + plain[12:36] + b"data\xff\xff\xff\xff" + small
    put("fuzz_audio", "rf64.wav", b"RF64\xff\xff\xff\xff" + rf64)
    put("fuzz_audio", "short-bext.wav", audio.wave_bytes(small, extra_chunks=chunk(b"bext", bytes(100)) +
                                                         chunk(b"cue ", struct.pack("<I", 9) + bytes(24))))
    put("fuzz_audio", "ogg", b"OggS\0\2" + bytes(20) + b"\x01vorbis")
    put("fuzz_audio", "mp3", b"ID3\4\0\0\0\0\0\x05" + bytes(5) + b"\xff\xfb\x90\x64" + bytes(40))
    put("fuzz_audio", "aiff", b"FORM\0\0\0\x2eAIFFCOMM\0\0\0\x12\0\2" + bytes(34))
    if shutil.which("flac") is None:
        print("make_seeds: flac is not installed, no FLAC seeds", file=sys.stderr)
        return
    f = flac_bytes(work, small)
    put("fuzz_audio", "cd.flac", f)
    put("fuzz_audio", "id3-before.flac", b"ID3\4\0\0\0\0\0\x04" + bytes(4) + f)
    put("fuzz_audio", "no-md5.flac", f[:26] + bytes(16) + f[42:])
    put("fuzz_audio", "cut.flac", f[:len(f) * 2 // 3])
    put("fuzz_audio", "flipped.flac", f[:len(f) // 2] + bytes([f[len(f) // 2] ^ 0x10]) + f[len(f) // 2 + 1:])
    put("fuzz_audio", "verbatim.flac", flac_bytes(work, audio.pattern(8000), "-0", "--disable-constant-subframes",
                                                  "--disable-fixed-subframes"))
    put("fuzz_audio", "mono-24.flac", flac_bytes(work, audio.pattern(3000), channels=1, bits=24))


def cdtext_seeds(korvel, work):
    for name, text in (("one-title.bin", b"One\0"), ("long-title.bin", b"A" * 40 + b"\0")):
        packs = pack(0x80, 0, 0, 0, 0, b"Disc\0" + text[:7])
        packs += pack(0x80, 1, 1, 0, 4, text[7:19])
        size0 = bytes([0, 1, 1, 0, 2, 0, 0, 0, 0, 0, 0, 0])
        packs += pack(0x8F, 0, 2, 0, 0, size0) + pack(0x8F, 1, 3, 0, 0, bytes([0] * 7 + [3, 4]))
        packs += pack(0x8F, 2, 4, 0, 0, bytes([0, 0, 0, 0, 9]))
        put("fuzz_cdtext", name, b"\0" + packs)
        put("fuzz_cdtext", "crc-fixed-" + name, b"\1" + packs)
    toc = pack(0x88, 0, 0, 0, 0, bytes([1, 2, 0, 10, 0, 0])) + pack(0x88, 1, 1, 0, 0, bytes([0, 2, 0, 4, 0, 0]))
    genre = pack(0x87, 0, 2, 0, 0, b"\0\x05Jazz\0")
    put("fuzz_cdtext", "toc-genre.bin", b"\1" + toc + genre + pack(0x8E, 1, 3, 1, 0, b"DEA121500001"))

    # korvel's own CD-Text file and checksum files for the demo-like disc.
    data = audio.sectors(750)
    audio.write(os.path.join(work, "a.raw"), data)
    with open(os.path.join(work, "disc.cue"), "w") as f:
        f.write(CUE_SEEDS["full.cue"])
    os.mkdir(os.path.join(work, "out"))
    subprocess.run([korvel, "-v", "0", "-t", "-c", "disc.cue", "out"], cwd=work, check=True,
                   stdout=subprocess.DEVNULL)
    with open(os.path.join(work, "out", "CDTEXT.BIN"), "rb") as f:
        put("fuzz_cdtext", "korvel.bin", b"\0" + f.read())
    for name in ("CHECKSUM.MD5", "CHECKSUM.TXT"):
        with open(os.path.join(work, "out", name), "rb") as f:
            put("fuzz_checksum", "korvel-" + name, b"\0" + f.read())


def fileset_input(files):
    """The fuzz_fileset form of a fileset: each file after a line "@@ NAME [SIZE]"; a size alone stands
    for audio, whose bytes the reader never reads."""
    out = b""
    for name, data in files:
        out += b"@@ " + name.encode() + (b" %d\n" % data if isinstance(data, int) else b"\n" + data)
    return out


def fileset_seeds(work):
    own = os.path.join(work, "out")
    own_files = [(n, open(os.path.join(own, n), "rb").read()) for n in ("DDPID", "DDPMS", "SD", "CDTEXT.BIN")]
    put("fuzz_fileset", "korvel", fileset_input(own_files + [("IMAGE.DAT", os.path.getsize(os.path.join(own, "IMAGE.DAT")))]))
    # ZIP archives of the fileset, its image digital silence, deflated to little: in a folder with what a Mac
    # adds beside it; at the root, the other files stored, ZIP64; and one with an entry whose CRC-32 is wrong.
    silence = b"\0" * os.path.getsize(os.path.join(own, "IMAGE.DAT"))
    for name, folder, extra, method, zip64 in [
            ("zip-folder", "ddp/", [("__MACOSX/ddp/._DDPID", b"\0"), ("ddp/.DS_Store", b"\0")], zipfile.ZIP_DEFLATED,
             False), ("zip-root-zip64", "", [], zipfile.ZIP_STORED, True),
            ("zip-bad-crc", "", [], zipfile.ZIP_DEFLATED, False)]:
        data = io.BytesIO()
        with zipfile.ZipFile(data, "w") as z:
            for entry, content in [(folder + n, d) for n, d in own_files + [("IMAGE.DAT", silence)]] + extra:
                info = zipfile.ZipInfo(entry)
                info.compress_type = zipfile.ZIP_DEFLATED if entry.endswith("IMAGE.DAT") else method
                with z.open(info, "w", force_zip64=zip64) as f:
                    f.write(content)
        archive = data.getvalue()
        if name == "zip-bad-crc":  # the DDPID's CRC-32 in its local header and the central directory
            crc = struct.pack("<I", zlib.crc32(own_files[0][1]))
            archive = archive.replace(crc, struct.pack("<I", zlib.crc32(own_files[0][1]) ^ 1))
        put("fuzz_fileset", name, archive)
    # Another program's forms: split data files with DSS, PQ_DESCR with a lead-in and two lead-outs, the
    # ISRC on index 00, CD-Text with a header and a trailing NUL, lower-case names on disk, odd entries.
    disc = {"upc": "4006381333931", "lead_out": 1500, "tracks": [
        {"indexes": {0: 0, 1: 150}, "isrc": "DEA121500001"},
        {"indexes": {0: 600, 1: 675, 2: 800}, "control": 2},
        {"indexes": {1: 1100}, "scms": True}]}
    pq = ddp_layout.pq_stream(disc, isrc_on="00")
    packets = [ddp_layout.map_packet("S0", "PQ_DESCR", dsl=len(pq), sub="PQ DESCR")]
    for n in (1, 2, 3):
        start, end = sectors_of(disc, n)
        packets.append(ddp_layout.map_packet("D0", "TRACK%02d.DAT" % n, dsl=end - start, dss=start, mode="DA", ssm="0"))
    packs = cdtext_packs.block({0x80: ["Disc", "One", "Two", "Three"]})
    files = [("ddpid", ddp_layout.ddpid(upc=disc["upc"])), ("ddpms", b"".join(packets)), ("pq_descr", pq),
             ("CDTEXT.BIN", b"\0\0\0\0" + packs + b"\0")]
    files += [("track%02d.dat" % n, (end - start) * audio.FRAME_BYTES)
              for n, (start, end) in ((n, sectors_of(disc, n)) for n in (1, 2, 3))]
    put("fuzz_fileset", "split", fileset_input(files))
    odd = [("DDPID", ddp_layout.ddpid(level="DDP 1.01")),
           ("DDPMS", ddp_layout.map_packet("D0", "../IMAGE.DAT", dsl=1, mode="DA") +
            ddp_layout.map_packet("S0", "SD dir", dsl=64, sub="PQ DESCR") + ddp_layout.map_packet("X9", "X")),
           ("SD dir", b""), (".IMAGE.DAT.korvel-12", b"")]
    put("fuzz_fileset", "odd", fileset_input(odd))
    # Checksum files as md5sum -c reads them: ./NAME, a file listed twice that disagrees, a name that differs only
    # in case from another file's, a listed link; a FIFO in DDPID's place.
    korvel = own_files + [("IMAGE.DAT", b"")]
    sums = "".join("%s *%s\n" % (hashlib.md5(data).hexdigest(), name) for name, data in korvel)
    lines = sums.replace("*SD", "*./SD") + "0" * 32 + " *SD\n" + "0" * 32 + " *notes.txt\n"
    put("fuzz_fileset", "checksum-lines", fileset_input(korvel + [("CHECKSUM.MD5", lines.encode()),
                                                                   ("image.dat", b"other"), ("notes.txt 9 link", b"")]))
    put("fuzz_fileset", "fifo-ddpid", fileset_input([("DDPID fifo", b"")] + own_files[1:] + [
        ("IMAGE.DAT", b""), ("CHECKSUM.MD5", sums.encode())]))


def checksum_seeds():
    image = bytes((i * 31 + (i >> 8)) & 0xFF for i in range(2 * audio.FRAME_BYTES))
    md5 = hashlib.md5(image).hexdigest()
    crc = "%08X" % zlib.crc32(image)
    put("fuzz_checksum", "md5-forms", "\0" + md5 + " *IMAGE.DAT\n" + md5 + "  IMAGE.DAT\r\n" + md5
        + " - image.dat\n# comment\n")
    put("fuzz_checksum", "ini-crc", "\0; comment\n[Version]\nVersion=1\n[CRC32 Checksum]\nIMAGE.DAT = "
        + crc + "\nSD=0\n")
    put("fuzz_checksum", "wave-editor-md5", "\1" + md5)
    put("fuzz_checksum", "other-crc", "\1[CRC32]\nimage.dat=" + crc.lower() + "\nPQ_DESCR=1234\n")


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: make_seeds.py KORVEL")
    korvel = os.path.abspath(sys.argv[1])
    for name, text in CUE_SEEDS.items():
        put("fuzz_cuesheet", name, text)
    for name, text in TEXT_SEEDS.items():
        put("fuzz_text", name, text)
    wave_seeds()
    checksum_seeds()
    with tempfile.TemporaryDirectory() as work:
        cdtext_seeds(korvel, work)
        fileset_seeds(work)
    with tempfile.TemporaryDirectory() as work:
        audio_seeds(work)


if __name__ == "__main__":
    main()
