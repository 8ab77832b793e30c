import audio, cdtext_packs; audio.write("a.raw", audio.sectors(750)); audio.write("texts.cdt", cdtext_packs.block({0x80: ["Disc", "One"]}))
