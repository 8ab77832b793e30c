import audio; audio.write_wave("tone.wav", audio.sectors(750), fmt_tag=3, bits=32)
