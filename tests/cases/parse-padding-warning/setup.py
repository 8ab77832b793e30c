import audio; audio.write("tone.raw", audio.pattern(1000000))  # 1952 bytes short of a sector
