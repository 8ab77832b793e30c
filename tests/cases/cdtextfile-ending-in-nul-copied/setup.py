import os, audio; audio.write("a.raw", audio.sectors(750)); os.mkdir("out")
