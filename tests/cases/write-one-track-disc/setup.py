import os, audio; audio.write("a.raw", bytes(17850 * audio.FRAME_BYTES)); os.mkdir("out")  # 3:58, a 4:00 disc
