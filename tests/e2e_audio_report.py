"""korvel --check --audio on a disc that sox makes, one track per row of the table: every number of the
report against ffmpeg's ebur128 filter (loudness, range, true peak) and sox stats (sample peak, DC per
channel), and the warnings each track must and must not raise; the same report on one thread and two."""

import array
import json
import math
import re
import shutil
import subprocess
import unittest
import wave

import ddp_layout
from korvel_run import ScratchCase, run

# (sox effects after "synth 6", warnings the track raises, true-peak tolerance in dB). The loudness range
# of a tone cut by silence is not compared: libebur128 and ffmpeg start and end their 3 s windows
# differently. Noise has 0.3 dB of true peak: ffmpeg's resampler reads its overs higher than BS.1770's filter.
TRACKS = [
    ("sine 997 sine 1499 gain -10", [], 0.2),
    ("pinknoise pinknoise gain -20", [], 0.3),
    ("square 441 sine 300 gain 1", ["clipped runs", "inter-sample overs"], 0.5),
    ("sine 5512.5 0 6.25 sine 5512.5 0 18.75 gain -n", ["inter-sample overs"], 0.5),
    ("sine 440 sine 660 gain -20 dcshift 0.01", ["DC offset -40.0 dBFS on the left", "DC offset -40.0 dBFS on the right"], 0.2),
    ("sine 440 vol 0", ["only digital silence"], None),
    ("sine 5512.5 vol 0.3", ["identical (a mono master)"], 0.2),  # its crests on samples: no peak between them
    ("sine 440 sine 550 gain -10 remix 1 0", ["the right channel is silent"], 0.2),
    ("sine 440 sine 550 gain -10 trim 0 3.5 pad 0 2.5", ["ends with 2.5 s of digital silence"], 0.2),
    ("sine 440 sine 550 gain -10 trim 0 3.5 pad 2.5 0", ["starts with 2.5 s of digital silence"], 0.2),
    # A tone that swells and fades: its highest momentary and short-term loudness hang on their windows' lengths.
    ("sine 440 sine 550 gain -10 tremolo 3.3 100", [], 0.2),
]
SECONDS = 6
TOOLS = ("sox", "ffmpeg")


def ebur128(path):
    """ffmpeg's summary (integrated loudness, loudness range, true peak), then the highest momentary and
    short-term loudness of its lines every 100 ms."""
    out = subprocess.run(["ffmpeg", "-hide_banner", "-nostats", "-v", "verbose", "-i", path, "-af", "ebur128=peak=true",
                          "-f", "null", "-"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, check=True).stdout.decode()
    summary = out[out.rindex("Summary:"):]
    highest = [max(float(v) for v in re.findall(key + r":\s*(-?[\d.]+) ", out)) for key in (" M", " S")]
    return [float(re.search(key + r":\s+(-?[\d.inf]+)", summary).group(1)) for key in (" I", "LRA", "Peak")] + highest


def sox_stats(path, channel):
    """sox's sample peak (dB) and DC offset (a fraction of full scale) of one channel."""
    out = subprocess.run(["sox", path, "-n", "remix", str(channel), "stats"], stderr=subprocess.PIPE,
                         check=True).stderr.decode()
    return float(re.search(r"Pk lev dB\s+(\S+)", out).group(1)), float(re.search(r"DC offset\s+(\S+)", out).group(1))


@unittest.skipUnless(all(shutil.which(t) for t in TOOLS), "needs sox and ffmpeg as oracles")
class AudioReport(ScratchCase):
    def setUp(self):
        super().setUp()
        cue = 'FILE "all.wav" WAVE\n'
        for n, (effects, _, _) in enumerate(TRACKS, 1):
            # -R: the same noise every run, so that the oracles are compared on one signal, not a new draw each time.
            subprocess.run(["sox", "-R", "-D", "-r", "44100", "-c", "2", "-n", "-b", "16", self.path("%02d.wav" % n),
                            "synth", str(SECONDS)] + effects.split(), check=True, stderr=subprocess.DEVNULL)
            cue += "  TRACK %02d AUDIO\n    INDEX 01 %02d:%02d:00\n" % (n, (n - 1) * SECONDS // 60, (n - 1) * SECONDS % 60)
        with open(self.path("a.cue"), "w") as f:
            f.write(cue)
        subprocess.run(["sox"] + ["%02d.wav" % n for n in range(1, len(TRACKS) + 1)] + ["all.wav"], cwd=self.dir,
                       check=True)
        self.assertEqual(run(["-v0", "a.cue", "out"], self.dir).returncode, 0)

    def report(self, *args):
        r = run(["--check", "--audio", "--json"] + list(args) + ["out"], self.dir)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return json.loads(r.stdout)

    def assert_measures(self, m, wav, tp_tolerance, steady=True):
        lufs, lra, peak, momentary, short_term = ebur128(self.path(wav))
        self.assertAlmostEqual(m["integrated_lufs"], lufs, delta=0.1)
        # ffmpeg starts its windows once they are full; both meters step by 100 ms from the first sample.
        self.assertAlmostEqual(m["momentary_max_lufs"], momentary, delta=0.1)
        self.assertAlmostEqual(m["short_term_max_lufs"], short_term, delta=0.1)
        if steady:
            self.assertAlmostEqual(m["loudness_range_lu"], lra, delta=0.5)
        self.assertAlmostEqual(max(c["true_peak_dbtp"] or -math.inf for c in m["channels"]), peak, delta=tp_tolerance)
        for n, c in enumerate(m["channels"], 1):
            sample_peak, dc = sox_stats(self.path(wav), n)
            if c["silent"]:
                self.assertEqual((c["sample_peak_dbfs"], c["dc_offset_dbfs"], sample_peak), (None, None, -math.inf))
                continue
            self.assertAlmostEqual(c["sample_peak_dbfs"], sample_peak, delta=0.01)
            # The true peak is the highest of the samples and the points between them, to the same thousandth of a dB.
            self.assertGreaterEqual(c["true_peak_dbtp"], c["sample_peak_dbfs"])
            dc_offset = c["dc_offset_dbfs"]
            self.assertAlmostEqual(0 if dc_offset is None else 10 ** (dc_offset / 20), abs(dc), delta=1e-6 + abs(dc) * 0.01)

    def test_every_track_against_ffmpeg_and_sox(self):
        report = self.report()
        audio = report["audio"]
        self.assertEqual([t["track"] for t in audio["tracks"]], list(range(1, len(TRACKS) + 1)))
        for n, (effects, _, tolerance) in enumerate(TRACKS, 1):
            with self.subTest(effects):
                m = audio["tracks"][n - 1]
                self.assertEqual(m["length"]["frames"], SECONDS * 75)
                with wave.open(self.path("%02d.wav" % n)) as w:
                    s = array.array("h", w.readframes(w.getnframes()))
                # Two channels alike are a mono master; digital silence is none.
                self.assertEqual(m["identical_channels"], s[0::2] == s[1::2] and any(s))
                if tolerance is None:
                    self.assertTrue(m["digital_silence"])
                    self.assertIsNone(m["integrated_lufs"])
                else:
                    self.assert_measures(m, "%02d.wav" % n, tolerance, "pad" not in effects)
        self.assert_measures(audio["programme"], "all.wav", 0.5, False)

    def test_each_track_warns_of_what_it_holds(self):
        warnings = self.report()["warnings"]
        for n, (effects, expected, _) in enumerate(TRACKS, 1):
            with self.subTest(effects):
                told = [w["message"] for w in warnings if w["position"] == "track %02d" % n]
                for text in expected:
                    self.assertTrue(any(text in w for w in told), told)
                self.assertEqual(len(told), len(expected), told)

    def test_clipping_and_silence_are_timed(self):
        tracks = self.report()["audio"]["tracks"]
        square = tracks[2]["channels"]
        # sox's square wave starts at full scale: the first run is at the first sample.
        self.assertEqual(square[0]["first_clip_seconds"], 0)
        # Every half period of the clipped square is a run of its own.
        self.assertAlmostEqual(square[0]["clipped_runs"], 2 * 441 * SECONDS, delta=2)
        self.assertAlmostEqual(tracks[8]["silence_end_ms"], 2500, delta=0.1)
        self.assertAlmostEqual(tracks[9]["silence_start_ms"], 2500, delta=0.1)

    def test_a_disc_without_sectors_has_its_track_measured_as_silence(self):
        # Track 1 and the lead-out both at the disc's first sector: nothing to read, every range still measured.
        ddp_layout.write_fileset(self.path("none"), {"lead_out": 0, "tracks": [{"indexes": {1: 0}}]},
                                 {0x80: ["No Disc", "One"]}, False, "PQDESCR")
        report = json.loads(run(["--check", "--audio", "--json", "none"], self.dir).stdout)
        tracks, programme = report["audio"]["tracks"], report["audio"]["programme"]
        self.assertEqual([(t["track"], t["digital_silence"], t["integrated_lufs"]) for t in tracks], [(1, True, None)])
        self.assertEqual(("track" in programme, programme["integrated_lufs"]), (False, None))
        self.assertIn("track 01", [w["position"] for w in report["warnings"] if w["message"] == "holds only digital silence"])

    def test_one_thread_reports_as_two_do(self):
        self.assertEqual(self.report("--threads=1")["audio"], self.report("--threads=2")["audio"])

    def test_text_table_has_a_row_per_track_and_the_programme(self):
        r = run(["--check", "--audio", "out"], self.dir)
        table = r.stdout.decode().split("*** Audio ***\n")[1].split("***")[0].splitlines()
        self.assertEqual([row.split()[0] for row in table[1:]], ["%02d" % n for n in range(1, len(TRACKS) + 1)] + ["All"])
        self.assertIn("  -inf  ", table[6])


if __name__ == "__main__":
    unittest.main()
