"""End-to-end CD-Text: CDTEXT.BIN from the cue sheet's texts compared with an
independent encoder, the -t rules, texts that do not fit into one block, and
a map stream that cannot be replaced."""

import os
import unittest

import audio
import cdtext_packs
from korvel_run import ScratchCase, run


class CdTextTest(ScratchCase):
    def disc(self, tracks, disc_texts="", track_text=lambda n: ""):
        """A cue sheet of `tracks` tracks of five seconds each, with raw audio."""
        audio.write(self.path("a.raw"), audio.sectors(375 * tracks))
        lines = [disc_texts, "FILE a.raw BINARY"]
        for n in range(1, tracks + 1):
            lines += [f"TRACK {n:02d} AUDIO", track_text(n), "INDEX 01 %02d:%02d:%02d" % divmod5(n - 1)]
        with open(self.path("disc.cue"), "wb") as f:
            f.write("\n".join(line for line in lines if line).encode("latin-1") + b"\n")

    def test_cue_sheet_texts_become_cdtext_bin_first_in_the_map(self):
        self.disc(3, 'TITLE "Caf\xe9 Album"\nPERFORMER "Band"',
                  lambda n: {1: 'TITLE "Exactly 11b"', 2: "", 3: 'TITLE "%s"\nPERFORMER "P3"' % ("x" * 40)}[n])
        r = run(["-t", "disc.cue", "out"], self.dir)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        expected = cdtext_packs.block({0x80: ["Caf\xe9 Album", "Exactly 11b", "", "x" * 40],
                                       0x81: ["Band", "", "", "P3"]})
        self.assertEqual(self.read("out", "CDTEXT.BIN"), expected)
        ddpms = self.read("out", "DDPMS")
        self.assertEqual(len(ddpms), 384)
        self.assertEqual(ddpms[74:84], b"CDTEXT.BIN")
        self.assertEqual(ddpms[14:22], b"%8d" % len(expected))
        self.assertIn(b"Writing CDTEXT.BIN file... %d bytes written.\n" % len(expected), r.stdout)
        self.assertEqual(self.assert_md5sum_passes().splitlines()[2], "CDTEXT.BIN: OK")

    def test_t_without_any_text_warns_and_writes_no_cdtext(self):
        self.disc(1)
        r = run(["disc.cue", "out", "-t", "-c"], self.dir)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(r.stderr, b"Warning: '-t' option set, but no CD text found in cue sheet.\n")
        self.assertFalse(os.path.exists(self.path("out", "CDTEXT.BIN")))
        # Options after the operands still count: -c added the cue sheet.
        self.assertTrue(os.path.exists(self.path("out", "IMAGE.cue")))
        self.assert_md5sum_passes()

    def test_texts_beyond_one_block_are_refused_not_wrapped(self):
        self.disc(60, "", lambda n: 'TITLE "%s"' % ("Title %02d " % n).ljust(60, "."))
        r = run(["-t", "disc.cue", "out"], self.dir)
        self.assertEqual(r.returncode, 1)
        # 60 titles of 60 bytes with their NULs, and the disc's NUL: 3661 bytes, 306 packs, 3 more for the size.
        self.assertIn(b"Error: CD text is too long for one block: it needs 309 packs, but at most 256 fit; "
                      b"CDTEXT.BIN not written\n", r.stderr)
        self.assertFalse(os.path.exists(self.path("out", "CDTEXT.BIN")))
        self.assertEqual(len(self.read("out", "DDPMS")), 256)
        # The fileset lacks what -t asked for: no checksum file vouches for it.
        self.assertTrue(r.stderr.endswith(b"Error: no checksum files written: the fileset is incomplete\n"))
        self.assertFalse(os.path.exists(self.path("out", "CHECKSUM.MD5")))


def divmod5(k):
    """The start of track k+1 of five-second tracks, as minutes, seconds, frames."""
    seconds = 5 * k
    return seconds // 60, seconds % 60, 0


if __name__ == "__main__":
    unittest.main()
