import audio

# 1,000,000 bytes: the last sector is 1952 bytes short.
audio.write("tone.raw", audio.pattern(1000000))
