import os, audio; audio.write("a.raw", bytes(375 * 60 * audio.FRAME_BYTES)); os.mkdir("out")  # 60 tracks of 5 s
