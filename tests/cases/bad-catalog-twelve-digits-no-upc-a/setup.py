import audio; audio.write("tone.raw", audio.sectors(750))  # ten seconds of CD audio
