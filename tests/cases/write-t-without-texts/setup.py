import os, audio; audio.write("a.raw", audio.sectors(375)); os.mkdir("out")  # five seconds
