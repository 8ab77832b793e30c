import audio

# Ten seconds of CD audio: 750 sectors.
audio.write('tone.raw', audio.sectors(750))
