"""DDP filesets built from the field layout alone, in the forms other programs
write them, for the tests of korvel's reader: the DDPID record, 128-byte map
packets, 64-byte PQ packets. Nothing here comes from korvel's writer."""

import hashlib
import os

import audio
import cdtext_packs

def field(value, width, right=True):
    """A fixed-width ASCII field: numbers right-aligned, texts left-aligned, None blank."""
    if value is None:
        return b" " * width
    text = str(value).encode("latin-1")
    assert len(text) <= width, (value, width)
    return text.rjust(width) if right else text.ljust(width)


def ddpid(level="DDP 2.00", upc="", master=""):
    """DDP level at 0, UPC/EAN at 8-20, master identifier at 38-85, medium "CD" after it."""
    rec = bytearray(b" " * 128)
    rec[0:8] = field(level, 8, False)
    rec[8:21] = field(upc, 13, False)
    rec[38:86] = field(master, 48, False)
    rec[86:88] = b"CD"
    return bytes(rec)


def map_packet(stream, dsi="", dsl=None, dss=None, sub="", mode="", ssm=" ", scm=" ", pre1=None, pre2=None,
               track=None, offset=None, mark=b"VVVM"):
    """Stream type 4-5, DSL 14-21, DSS 22-29, subcode 30-37, CD mode 38-39, SSM 40, SCM 41, PRE1 42-45,
    PRE2 46-49, track 55-56, DSI length 72-73 and name 74-90, offset 104-112."""
    p = bytearray(b" " * 128)
    p[0:4] = mark
    p[4:6] = field(stream, 2, False)
    p[14:22] = field(dsl, 8)
    p[22:30] = field(dss, 8)
    p[30:38] = field(sub, 8, False)
    p[38:40] = field(mode, 2, False)
    p[40:42] = (ssm + scm).encode()
    p[42:46] = field(pre1, 4)
    p[46:50] = field(pre2, 4)
    p[55:57] = field(None if track is None else "%02d" % track, 2)
    p[72:74] = b"17"
    p[74:91] = field(dsi, 17, False)
    p[104:113] = field(offset, 9)
    return bytes(p)


def pq_packet(track, index, frames, control=0, scms=False, isrc="", upc="", hours="  "):
    """Track 4-5 ("AA" the lead-out), index 6-7, hours 8-9, MSF 10-15, control 16, copy mark 17,
    ISRC 20-31, UPC/EAN 32-44."""
    track_text = "AA" if track == "AA" else "%02d" % track
    msf = "%02d%02d%02d" % (frames // 4500, frames // 75 % 60, frames % 75)
    text = ("VVVS" + track_text + "%02d" % index + hours + msf + "%X" % control + ("S" if scms else "1") +
            "  " + isrc.ljust(12) + upc.ljust(13)).ljust(64)
    return text.encode("latin-1")


def pq_stream(disc, lead_in=True, lead_out_twice=True, isrc_on="01", zero_length_index0=False):
    """The PQ packets of a disc: {"upc", "lead_out", "tracks": [{"indexes": {n: frames}, "isrc", "control",
    "scms"}]}. `isrc_on` is "00" (index 00 where there is one), "01" or "both"."""
    out = b""
    if lead_in:
        out += pq_packet(0, 0, 0, upc=disc.get("upc", ""))
    for number, t in enumerate(disc["tracks"], 1):
        indexes = dict(t["indexes"])
        if zero_length_index0 and 0 not in indexes:
            indexes[0] = indexes[1]  # index 00 at the time of index 01: no pregap
        # The ISRC goes on index 00 (index 01 where there is none), on index 01, or on both.
        isrc_index = {"00": min(indexes), "01": 1}.get(isrc_on)
        for i in sorted(indexes):
            on = (isrc_on == "both" and i <= 1) or i == isrc_index
            upc = disc.get("upc", "") if not lead_in and number == 1 and i == min(indexes) else ""
            out += pq_packet(number, i, indexes[i], t.get("control", 0), t.get("scms", False),
                             t.get("isrc", "") if on else "", upc)
    out += pq_packet("AA", 1, disc["lead_out"])
    if lead_out_twice:
        out += pq_packet("AA", 1, disc["lead_out"])
    return out


def write_fileset(folder, disc, texts, split, pq_name, lower=False, nul=True, md5_file=None, master="FOREIGN 1"):
    """A fileset of `disc` in `folder` (made), as another program writes it: with `split` a data file per track
    ("TRACKnn.DAT", with DSS) and CD-Text beside the map, else one image file with an offset (after "HEAD") and
    CD-Text in the map; the PQ stream under `pq_name`; CD-Text of `texts` (cdtext_packs.block) after a 4-byte
    header and, with `nul`, before a NUL; with `lower` every name on disk in lower case; an md5sum file `md5_file`
    of DDPID, DDPMS and the mapped files. Returns the disc's audio."""
    os.mkdir(folder)
    disk = lambda n: os.path.join(folder, n.lower() if lower else n)
    image = audio.sectors(disc["lead_out"], seed=8)
    packs = cdtext_packs.block(texts)
    cdtext = (len(packs) + 2).to_bytes(2, "big") + b"\0\0" + packs + (b"\0" if nul else b"")
    pq = pq_stream(disc, lead_in=split, lead_out_twice=split, isrc_on="00" if split else "both",
                   zero_length_index0=not split)
    files = {pq_name: pq, "CDTEXT.BIN": cdtext}
    packets = [map_packet("S0", pq_name, dsl=len(pq), sub="PQ DESCR")]
    if split:
        # Each track from its first index to the next track's first index (the last to the lead-out).
        starts = [min(t["indexes"].values()) for t in disc["tracks"]] + [disc["lead_out"]]
        for n, (start, end) in enumerate(zip(starts, starts[1:]), 1):
            files["TRACK%02d.DAT" % n] = image[start * 2352:end * 2352]
            packets.append(map_packet("D0", "TRACK%02d.DAT" % n, dsl=end - start, dss=start, mode="DA", ssm="0",
                                      pre2=150 if n == 1 else 0, track=n))
    else:
        files["IMAGE.DAT"] = b"HEAD" + image
        packets = [map_packet("S0", "CDTEXT.BIN", dsl=len(cdtext), sub="CDTEXT")] + packets + \
            [map_packet("D0", "IMAGE.DAT", dsl=disc["lead_out"], mode="DA", ssm="0", pre1=150, offset=4)]
    files.update(DDPID=ddpid(upc=disc.get("upc", ""), master=master), DDPMS=b"".join(packets))
    for name, data in files.items():
        audio.write(disk(name), data)
    if md5_file:  # md5sum's lines, with the names as they are on disk
        names = ["DDPID", "DDPMS"] + [p[74:91].decode().strip() for p in packets]
        audio.write(os.path.join(folder, md5_file), "".join(
            "%s *%s\n" % (hashlib.md5(files[n]).hexdigest(), os.path.basename(disk(n))) for n in names).encode())
    return image


def write_three_deliveries():
    """Three deliveries: one as korvel lays it out, one with a byte of its audio changed after its checksums
    were made, one in another program's form (a data file per track, lower-case names)."""
    disc = {"upc": "4006381333931", "lead_out": 1050, "tracks": [
        {"indexes": {0: 0, 1: 150}, "isrc": "DEA121500001"}, {"indexes": {1: 600}, "isrc": "DEA121500002"}]}
    texts = {0x80: ["Delivery", "One", "Two"]}
    write_fileset("album-a", disc, texts, split=False, pq_name="PQDESCR", md5_file="CHECKSUM.MD5", master="A 1")
    write_fileset("album-b", disc, texts, split=False, pq_name="PQDESCR", md5_file="CHECKSUM.MD5", master="B 1")
    with open("album-b/IMAGE.DAT", "r+b") as f:
        f.seek(2352 * 400)
        f.write(b"\x01")
    write_fileset("album-c", disc, texts, split=True, pq_name="PQDESCR", lower=True, md5_file="checksum.md5",
                  master="C 1")
