#!/usr/bin/env python3
"""Writes a test disc for the benchmarks: a 16-bit stereo 44.1 kHz WAVE file
of the given length and a cue sheet that splits it into tracks.

The audio is deterministic pseudo-random noise, so that no tool can profit
from runs of equal bytes and every run sees the same data.
"""

import argparse
import os
import random
import struct

BYTES_PER_SECOND = 44100 * 2 * 2  # stereo 16-bit samples at 44.1 kHz
FRAMES_PER_SECOND = 75  # CD sectors per second


def write_wave(path: str, seconds: int, seed: int) -> int:
    """Writes the WAVE file; returns its audio byte count."""
    audio_bytes = seconds * BYTES_PER_SECOND
    fmt = struct.pack("<HHIIHH", 1, 2, 44100, BYTES_PER_SECOND, 4, 16)
    header = (b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + audio_bytes) + b"WAVE" +
              b"fmt " + struct.pack("<I", len(fmt)) + fmt +
              b"data" + struct.pack("<I", audio_bytes))
    rng = random.Random(seed)
    with open(path, "wb") as f:
        f.write(header)
        for _ in range(seconds):
            f.write(rng.randbytes(BYTES_PER_SECOND))
    return audio_bytes


def msf(seconds: int) -> str:
    return f"{seconds // 60:02d}:{seconds % 60:02d}:00"


def write_cue(path: str, wave_name: str, seconds: int, tracks: int) -> None:
    """Tracks of equal length; track 1 starts at 00:00:00, so korvel adds the pregap."""
    step = seconds // tracks
    lines = ['TITLE "Benchmark Disc"', 'PERFORMER "korvel"', f'FILE "{wave_name}" WAVE']
    for n in range(tracks):
        lines += [f"  TRACK {n + 1:02d} AUDIO", f'    TITLE "Track {n + 1}"', f"    INDEX 01 {msf(n * step)}"]
    with open(path, "w", encoding="ascii") as f:
        f.write("\n".join(lines) + "\n")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--minutes", type=int, required=True)
    p.add_argument("--tracks", type=int, default=0, help="default: one per 4 minutes")
    p.add_argument("--dir", required=True)
    p.add_argument("--name", default="disc")
    p.add_argument("--seed", type=int, default=80)
    a = p.parse_args()
    seconds = a.minutes * 60
    tracks = a.tracks or max(1, a.minutes // 4)
    wave = a.name + ".wav"
    write_wave(os.path.join(a.dir, wave), seconds, a.seed)
    write_cue(os.path.join(a.dir, a.name + ".cue"), wave, seconds, tracks)


if __name__ == "__main__":
    main()
