"""An independent CD-Text encoder for the tests: builds the 18-byte packs of one
block (text packs of the given types, then the three size-information packs)
with their CRC-16/GSM, computed bit by bit."""

import struct


def crc16_gsm(data: bytes) -> int:
    crc = 0
    for byte in data:
        crc ^= byte << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) if crc & 0x8000 else crc << 1
            crc &= 0xFFFF
    return crc ^ 0xFFFF


def pack(ptype: int, track: int, seq: int, charpos: int, text: bytes, block: int = 0) -> bytes:
    head = bytes([ptype, track & 0x7F, seq & 0xFF, ((block & 7) << 4) | min(charpos, 15)]) + text.ljust(12, b"\0")
    return head + struct.pack(">H", crc16_gsm(head))


def block(texts: dict, first_track: int = 1, last_track: int = None, language: int = 9, charset: int = 0) -> bytes:
    """texts maps a pack type (0x80 title, 0x81 performer, ...) to the list of texts
    for the disc and tracks 1, 2, ... (bytes or str, Latin-1)."""
    packs = []
    counts = [0] * 16
    for ptype in sorted(texts):
        items = [t.encode("latin-1") if isinstance(t, str) else t for t in texts[ptype]]
        # Each byte of the type's stream remembers its track and its place in its text.
        stream = []
        for number, item in enumerate(items):
            for pos, byte in enumerate(item + b"\0"):
                stream.append((byte, number, pos))
        for i in range(0, len(stream), 12):
            chunk = stream[i:i + 12]
            packs.append(pack(ptype, chunk[0][1], len(packs), chunk[0][2], bytes(b for b, _, _ in chunk)))
            counts[ptype - 0x80] += 1
        if last_track is None:
            last_track = len(items) - 1
    counts[15] = 3
    seq = len(packs)
    size0 = bytes([charset, first_track, last_track, 0]) + bytes(c & 0xFF for c in counts[0:8])
    size1 = bytes(c & 0xFF for c in counts[8:16]) + bytes([seq + 2, 0, 0, 0])
    size2 = bytes([0, 0, 0, 0, language, 0, 0, 0, 0, 0, 0, 0])
    packs += [pack(0x8F, 0, seq, 0, size0), pack(0x8F, 1, seq + 1, 0, size1), pack(0x8F, 2, seq + 2, 0, size2)]
    return b"".join(packs)


def read_block(data: bytes):
    """Block 0 of a CD-Text file read as a player reads it, written apart from korvel's reader: the texts
    of each pack type in order (the disc's, then each track's), the character code and language of the
    size information, and the faults found (a wrong CRC, a double-byte pack without its flag, a two-byte
    character split across packs). ISO 8859-1 texts end at a NUL; MS-JIS (0x80) texts run in pairs of
    bytes up to a pair of NULs, any other NUL filling, and are decoded with Python's cp932 codec."""
    packs = [data[i:i + 18] for i in range(0, len(data) - len(data) % 18, 18)]
    faults, streams, charset, language = [], {}, 0, 0
    for n, p in enumerate(packs):
        if struct.unpack(">H", p[16:18])[0] != crc16_gsm(p[:16]):
            faults.append("pack %d: CRC" % n)
        if (p[3] >> 4) & 7:
            continue
        if p[0] == 0x8F:
            charset, language = (p[4], language) if p[1] == 0 else (charset, p[8] if p[1] == 2 else language)
        else:
            streams.setdefault(p[0], []).append(p)
    texts = {}
    for ptype, ps in streams.items():
        stream = b"".join(p[4:16] for p in ps)
        if charset != 0x80:
            texts[ptype] = [t.decode("latin-1") for t in stream.split(b"\0")]
            continue
        faults += ["type %02X pack %d: no double-byte flag" % (ptype, k) for k, p in enumerate(ps) if not p[3] & 0x80]
        i, units, text, items = 0, [], b"", []
        while i + 1 < len(stream):
            if stream[i] == 0 and stream[i + 1] == 0 and i % 2 == 0:
                items.append(text)
                text, i = b"", i + 2
            elif stream[i] == 0:
                i += 1
            elif 0x81 <= stream[i] <= 0x9F or 0xE0 <= stream[i] <= 0xFC:
                if i % 12 == 11:
                    faults.append("type %02X: a character split at byte %d" % (ptype, i))
                text, i = text + stream[i:i + 2], i + 2
            else:
                text, i = text + stream[i:i + 1], i + 1
        texts[ptype] = [t.decode("cp932") for t in items]
    return texts, charset, language, faults
