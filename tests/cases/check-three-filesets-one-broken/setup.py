"""Three deliveries: one as korvel lays it out, one with a byte of its audio changed after its checksums were
made, one in another program's form (a data file per track, lower-case names)."""
import ddp_layout as L

DISC = {"upc": "4006381333931", "lead_out": 1050, "tracks": [
    {"indexes": {0: 0, 1: 150}, "isrc": "DEA121500001"}, {"indexes": {1: 600}, "isrc": "DEA121500002"}]}
TEXTS = {0x80: ["Delivery", "One", "Two"]}
L.write_fileset("album-a", DISC, TEXTS, split=False, pq_name="PQDESCR", md5_file="CHECKSUM.MD5", master="A 1")
L.write_fileset("album-b", DISC, TEXTS, split=False, pq_name="PQDESCR", md5_file="CHECKSUM.MD5", master="B 1")
with open("album-b/IMAGE.DAT", "r+b") as f:
    f.seek(2352 * 400)
    f.write(b"\x01")
L.write_fileset("album-c", DISC, TEXTS, split=True, pq_name="PQDESCR", lower=True, md5_file="checksum.md5",
                master="C 1")
