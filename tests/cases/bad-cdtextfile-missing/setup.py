import os, audio; os.mkdir("out"); audio.write("a.raw", audio.sectors(750))  # ten seconds of CD audio
