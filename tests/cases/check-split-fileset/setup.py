"""A fileset in another program's form, from the field layout: one data file per track with its start
sector, the PQ stream as PQDESCR with a lead-in and two lead-outs, CD-Text with a 4-byte header, and an
md5sum checksum file that leaves the CD-Text out."""
import hashlib
import os

import audio
import cdtext_packs
import ddp_layout as L

DISC = {"upc": "4006381333931", "lead_out": 1500, "tracks": [
    {"indexes": {0: 0, 1: 150}, "isrc": "DEA121500001"},
    {"indexes": {0: 600, 1: 675, 2: 800}, "isrc": "DEA121500002", "control": 2},
    {"indexes": {1: 1100}, "scms": True}]}

os.mkdir("ddp")
packets = []
for n in (1, 2, 3):
    start, end = L.sectors_of(DISC, n)
    audio.write("ddp/TRACK%02d.DAT" % n, audio.sectors(end - start, seed=n))
    packets.append(L.map_packet("D0", "TRACK%02d.DAT" % n, dsl=end - start, dss=start, mode="DA", ssm="0", track=n))
pq = L.pq_stream(DISC, isrc_on="00")
audio.write("ddp/PQDESCR", pq)
packs = cdtext_packs.block({0x80: ["Split Disc", "First", "Second", "Third"], 0x81: ["Band", "", "", ""]})
audio.write("ddp/CDTEXT.BIN", (len(packs) + 2).to_bytes(2, "big") + b"\0\0" + packs)
audio.write("ddp/DDPMS", L.map_packet("S0", "PQDESCR", dsl=len(pq), sub="PQ DESCR") + b"".join(packets))
audio.write("ddp/DDPID", L.ddpid(upc=DISC["upc"], master="SPLIT 1"))
names = ["DDPID", "DDPMS", "PQDESCR", "TRACK01.DAT", "TRACK02.DAT", "TRACK03.DAT"]
with open("ddp/CHECKSUM.MD5", "w") as f:
    for name in names:
        with open("ddp/" + name, "rb") as data:
            f.write("%s *%s\n" % (hashlib.md5(data.read()).hexdigest(), name))
