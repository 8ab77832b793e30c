import audio; audio.write("a.raw", audio.sectors(750))  # ten seconds of CD audio
