import os

import audio

# Ten seconds of CD audio: 750 sectors.
audio.write("a.raw", audio.sectors(750))
os.mkdir("out")
