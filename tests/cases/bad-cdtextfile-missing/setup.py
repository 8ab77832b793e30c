import audio

audio.write("a.raw", audio.sectors(750))
