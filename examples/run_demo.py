#!/usr/bin/env python3
"""Writes the demo disc's DDP fileset.

Makes demo.wav (18 seconds of generated tones with the pauses the cue sheet
describes) next to a copy of demo.cue in the work folder, then runs

    korvel -c -t -m KORVEL-DEMO-0001 demo.cue ddp

there, so that <work>/ddp holds the complete fileset. Exits with korvel's status.
"""

import argparse
import array
import math
import os
import shutil
import subprocess
import sys
import wave

RATE = 44100

# (start, end, frequency in Hz or 0 for silence), in seconds of the file.
SEGMENTS = [(0, 6, 440.0), (6, 7, 0.0), (7, 12, 660.0), (12, 12 + 50 / 75, 0.0), (12 + 50 / 75, 18, 880.0)]


def tone() -> bytes:
    samples = array.array("h")
    for start, end, freq in SEGMENTS:
        first, last = round(start * RATE), round(end * RATE)
        for i in range(first, last):
            v = int(8000 * math.sin(2 * math.pi * freq * i / RATE)) if freq else 0
            samples.append(v)
            samples.append(v)
    if sys.byteorder != "little":
        samples.byteswap()
    return samples.tobytes()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--korvel", required=True, help="the korvel binary")
    parser.add_argument("--source", required=True, help="the examples folder holding demo.cue")
    parser.add_argument("--work", required=True, help="the folder to work in; <work>/ddp receives the fileset")
    opts = parser.parse_args()

    os.makedirs(opts.work, exist_ok=True)
    shutil.copy(os.path.join(opts.source, "demo.cue"), opts.work)
    with wave.open(os.path.join(opts.work, "demo.wav"), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(tone())
    ddp = os.path.join(opts.work, "ddp")
    shutil.rmtree(ddp, ignore_errors=True)
    os.mkdir(ddp)
    result = subprocess.run([os.path.abspath(opts.korvel), "-c", "-t", "-m", "KORVEL-DEMO-0001", "demo.cue", "ddp"],
                            cwd=opts.work)
    if result.returncode == 0:
        print(f"\nThe fileset is in {ddp}")
    return result.returncode


if __name__ == "__main__":
    sys.exit(main())
