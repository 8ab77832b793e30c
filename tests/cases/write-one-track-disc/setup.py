import os

import audio

# 3:58 of audio: with the two-second pregap the disc ends at 04:00:00.
audio.write("a.raw", bytes(17850 * audio.FRAME_BYTES))
os.mkdir("out")
