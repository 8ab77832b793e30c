import audio; audio.write_wave("tone.wav", audio.sectors(750), bits=24)
