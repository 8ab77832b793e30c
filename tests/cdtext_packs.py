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
