import audio; audio.write("sheets/tone.raw", audio.sectors(750))  # ten seconds of CD audio
