"""Another program's form: a data file per track, PQ stream PQDESCR, CD-Text after a 4-byte header, no MD5 of it."""
import ddp_layout as L

DISC = {"upc": "4006381333931", "lead_out": 1500, "tracks": [
    {"indexes": {0: 0, 1: 150}, "isrc": "DEA121500001"},
    {"indexes": {0: 600, 1: 675, 2: 800}, "isrc": "DEA121500002", "control": 2}, {"indexes": {1: 1100}, "scms": True}]}
L.write_fileset("ddp", DISC, {0x80: ["Split Disc", "First", "Second", "Third"], 0x81: ["Band", "", "", ""]}, split=True,
                pq_name="PQDESCR", nul=False, md5_file="CHECKSUM.MD5", master="SPLIT 1")
