import audio; audio.write("a.raw", audio.sectors(750)); audio.write("b.raw", audio.sectors(375, seed=2))
