import audio; audio.write_wave("tone.wav", audio.sectors(750), channels=1)
