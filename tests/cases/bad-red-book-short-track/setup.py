import os, audio; audio.write("tone.raw", audio.sectors(750)); os.mkdir("out")
