import os, audio; os.mkdir("out"); audio.write("a.raw", audio.sectors(750)); os.mkdir("texts.cdt")
