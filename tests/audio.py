"""Audio for the tests, generated: patterned samples as raw bytes or WAVE files. A few seconds of CD audio
are enough for every case."""

import struct

CD_RATE = 44100
FRAME_BYTES = 2352  # one CD sector: 588 stereo sample frames of 16 bits


def pattern(nbytes: int, seed: int = 1) -> bytes:
    """Bytes that differ from position to position, so that any shift shows."""
    return bytes((i * 31 + seed * 7 + (i >> 8)) & 0xFF for i in range(nbytes))


def sectors(n: int, seed: int = 1) -> bytes:
    """n CD sectors of patterned audio."""
    return pattern(n * FRAME_BYTES, seed)


def swap16(data: bytes) -> bytes:
    """Exchanges the two bytes of every 16-bit unit (little- to big-endian)."""
    b = bytearray(data)
    b[0::2], b[1::2] = data[1::2], data[0::2]
    return bytes(b)


def wave_bytes(audio: bytes, fmt_tag: int = 1, channels: int = 2, rate: int = CD_RATE, bits: int = 16,
               extra_chunks: bytes = b"") -> bytes:
    """A RIFF/WAVE file: fmt chunk, optional extra chunks, data chunk."""
    fmt = struct.pack("<HHIIHH", fmt_tag, channels, rate, rate * channels * bits // 8, channels * bits // 8, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + extra_chunks
    body += b"data" + struct.pack("<I", len(audio)) + audio + b"\0" * (len(audio) % 2)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def write(path, data: bytes) -> None:
    with open(path, "wb") as f:
        f.write(data)


def write_wave(path, audio: bytes, **kw) -> None:
    write(path, wave_bytes(audio, **kw))
