import audio; audio.write_wave("album.wav", bytes(42336000))  # exactly four minutes
