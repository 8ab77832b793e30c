import audio

audio.write("a.raw", audio.sectors(750))

import os

os.mkdir('texts.cdt')
