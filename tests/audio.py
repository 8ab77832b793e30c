"""Audio for the tests: deterministic tones as raw samples or WAVE files.

Kept small: a few seconds of CD audio are enough for every case.
"""

import math
import struct

CD_RATE = 44100
FRAME_BYTES = 2352  # one CD sector: 588 stereo sample frames of 16 bits


def tone(sample_frames: int, freq: float = 441.0, channels: int = 2) -> bytes:
    """16-bit little-endian interleaved samples of a sine tone."""
    out = bytearray()
    for i in range(sample_frames):
        v = int(12000 * math.sin(2 * math.pi * freq * i / CD_RATE))
        out += struct.pack("<h", v) * channels
    return bytes(out)


def pattern(nbytes: int, seed: int = 1) -> bytes:
    """Bytes that differ from position to position, so that any shift shows."""
    return bytes((i * 31 + seed * 7 + (i >> 8)) & 0xFF for i in range(nbytes))


def swap16(data: bytes) -> bytes:
    """Exchanges the two bytes of every 16-bit unit (little- to big-endian)."""
    b = bytearray(data)
    b[0::2], b[1::2] = data[1::2], data[0::2]
    return bytes(b)


def wave_bytes(audio: bytes, fmt_tag: int = 1, channels: int = 2, rate: int = CD_RATE,
               bits: int = 16, extra_chunks: bytes = b"") -> bytes:
    """A RIFF/WAVE file: fmt chunk, optional extra chunks, data chunk."""
    align = channels * bits // 8
    fmt = struct.pack("<HHIIHH", fmt_tag, channels, rate, rate * align, align, bits)
    body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + extra_chunks
    body += b"data" + struct.pack("<I", len(audio)) + audio
    if len(audio) % 2:
        body += b"\0"
    return b"RIFF" + struct.pack("<I", len(body)) + body


def write(path: str, data: bytes) -> None:
    with open(path, "wb") as f:
        f.write(data)


def write_wave(path: str, audio: bytes, **kw) -> None:
    write(path, wave_bytes(audio, **kw))


def sectors(n: int, seed: int = 1) -> bytes:
    """n CD sectors of patterned audio."""
    return pattern(n * FRAME_BYTES, seed)
