import audio; audio.write_wave("tone.wav", audio.sectors(750), fmt_tag=0xFFFE)
