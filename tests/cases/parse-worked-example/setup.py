import audio

# Exactly four minutes of CD audio.
audio.write_wave("album.wav", bytes(42336000))
