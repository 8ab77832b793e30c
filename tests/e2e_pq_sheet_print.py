"""The PQ sheet as a pressing plant prints it: `korvel --pq-sheet=FILE` writes
the page, headless Chromium prints it to PDF, and pdftotext reads the printed
pages back. Every index row with its times, every ISRC and every title must be
on paper, in order, and no word may run past the right edge of an A4 page.
The proof page of `korvel --extract --proof`, loaded by headless Chromium, plays
every track: the length the browser measured is within a frame of the PQ length.

Skipped with a message when chromium or pdftotext is missing, or when
chromium cannot start here."""

import os
import re
import shutil
import subprocess
import tempfile
import unittest
from html.parser import HTMLParser

import audio
from korvel_run import FLAC_BUILT_IN, ScratchCase, msf, run

A4_POINTS = (595.28, 841.89)  # 210 mm x 297 mm
MARGIN_POINTS = 28.35  # 10 mm
TRACKS = 40  # enough rows for a second page
TRACK_FRAMES = 4 * 75 + 10  # index 01 to the next track's index 00: just over the 4-second minimum
PAUSE_FRAMES = 10  # index 00 to index 01 from track 2 on
LONG_WORD = "Unterbrechungsfreiheitsbescheinigungs" * 3  # one word, wider than the title column

DISC_TITLE = "Die sch\xf6nsten Lieder & <Balladen> aus dem Archiv: Gesamtausgabe in vierzig St\xfccken, Band 1"
DISC_PERFORMER = "Orchestre Philharmonique de la Radiodiffusion Fran\xe7aise"
CATALOG = "4006381333931"


def title(n):
    if n % 7 == 3:
        return f"{n}. {LONG_WORD}"
    return f"{n}. Konzert f\xfcr Violine und Orchester Nr. {n} in G-Dur, KV {200 + n}: Allegro aperto & Adagio"


def isrc(n):
    return f"DEA12150{n:04d}"


class Disc:
    """The disc the test describes, and the rows a PQ sheet of it must show, worked out
    here from the positions rather than taken from korvel's output."""

    def __init__(self):
        self.index = {}  # track -> {index: frame}
        pos = 0
        for n in range(1, TRACKS + 1):
            self.index[n] = {}
            if n > 1:
                self.index[n][0] = pos
                pos += PAUSE_FRAMES
            self.index[n][1] = pos
            if n == 5:
                self.index[n][2] = pos + 100
            pos += TRACK_FRAMES
        self.audio_frames = pos
        self.lead_out = pos + 150  # korvel puts two seconds of silence before a track 1 at 00:00:00

    def cue_sheet(self):
        lines = [f"CATALOG {CATALOG}", f'TITLE "{DISC_TITLE}"', f'PERFORMER "{DISC_PERFORMER}"', 'FILE "a.raw" BINARY']
        for n, points in self.index.items():
            lines += [f"  TRACK {n:02d} AUDIO", f'    TITLE "{title(n)}"', f"    ISRC {isrc(n)}"]
            lines += [f"    INDEX {i:02d} {msf(frame)}" for i, frame in points.items()]
        return ("\n".join(lines) + "\n").encode("latin-1")

    def rows(self):
        """(track shown or "", index, start, duration or None, ISRC or None) per index point."""
        points = {n: {i: frame + 150 for i, frame in pts.items()} for n, pts in self.index.items()}
        points[1][0] = 0  # the added silence is track 1's pregap
        ends = [points[n][0] for n in range(2, TRACKS + 1)] + [self.lead_out]  # a track ends at the next pause
        for n, pts in points.items():
            for k, i in enumerate(sorted(pts)):
                track = "" if k else f"{n:02d}"
                if i == 1:
                    yield track, "01", msf(pts[1]), msf(ends[n - 1] - pts[1]), isrc(n)
                else:
                    yield track, f"{i:02d}", msf(pts[i]), None, None


class PdfWords(HTMLParser):
    """The pages and words of `pdftotext -bbox`, in the order the PDF holds them."""

    def __init__(self):
        super().__init__()
        self.pages = []  # (width, height)
        self.words = []  # [xMin, xMax, text]
        self._word = None

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "page":
            self.pages.append((float(a["width"]), float(a["height"])))
        elif tag == "word":
            self._word = [float(a["xmin"]), float(a["xmax"]), ""]

    def handle_data(self, data):
        if self._word is not None:
            self._word[2] += data

    def handle_endtag(self, tag):
        if tag == "word":
            self.words.append(self._word)
            self._word = None


class Cells(HTMLParser):
    """The PQ rows of a proof page as the browser left them: each row's PQ length and the
    length measured, and every text on the page."""

    def __init__(self):
        super().__init__()
        self.rows = []  # [PQ frames, measured frames or None]
        self.texts = []

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "tr" and "data-frames" in a:
            self.rows.append([int(a["data-frames"]), None])
        elif tag == "td" and "data-measured" in a:
            self.rows[-1][1] = int(a["data-measured"])

    def handle_data(self, data):
        self.texts.append(data)


class PqSheetPrintTest(ScratchCase):
    def setUp(self):
        super().setUp()
        self.chromium = shutil.which("chromium") or shutil.which("chromium-browser")
        if self.chromium is None:
            self.skipTest("chromium is not installed (Debian package chromium)")
        if shutil.which("pdftotext") is None and "proof" not in self.id():
            self.skipTest("pdftotext is not installed (Debian package poppler-utils)")

    def print_to_pdf(self, page):
        """Prints the page with headless Chromium; skips the test when Chromium cannot run here."""
        pdf = self.path("sheet.pdf")
        profile = tempfile.mkdtemp(prefix="korvel-chromium-")
        self.addCleanup(shutil.rmtree, profile, ignore_errors=True)
        # A fresh profile and nothing that reaches the network: this runs on closed machines, as root.
        args = [self.chromium, "--headless", "--disable-gpu", "--no-sandbox", "--disable-dev-shm-usage",
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--user-data-dir=" + profile, "--no-pdf-header-footer",
                "--print-to-pdf=" + pdf, "file://" + page]
        try:
            r = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=120,
                               env=dict(os.environ, HOME=profile))
        except subprocess.TimeoutExpired:
            self.skipTest("chromium did not finish printing within 120 s")
        if not os.path.exists(pdf) or os.path.getsize(pdf) == 0:
            self.skipTest("chromium cannot start here (status %d): %s"
                          % (r.returncode, r.stdout.decode(errors="replace")[-500:]))
        return pdf

    def dump_dom(self, page):
        """The page's DOM after its scripts ran, as headless Chromium dumps it."""
        profile = tempfile.mkdtemp(prefix="korvel-chromium-")
        self.addCleanup(shutil.rmtree, profile, ignore_errors=True)
        args = [self.chromium, "--headless", "--disable-gpu", "--no-sandbox", "--disable-dev-shm-usage",
                "--no-first-run", "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--user-data-dir=" + profile, "--allow-file-access-from-files",
                "--virtual-time-budget=20000", "--dump-dom", "file://" + page]
        r = subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120,
                           env=dict(os.environ, HOME=profile))
        if b"<html" not in r.stdout:
            self.skipTest("chromium cannot start here (status %d)" % r.returncode)
        return r.stdout.decode()

    def test_proof_page_plays_every_track_at_its_pq_length(self):
        # Audio hidden before track 1 (00), a pause before track 3; texts that need escaping.
        starts, lead_out = [190, 520, 881], 1186
        titles = ["Fr\xfchling & <Sommer>", 'Herbst "live"', "Winter"]
        isrcs = ["DEA121500001", "DEA121500002", ""]
        lines = ['TITLE "Vier Jahreszeiten"', 'FILE "a.raw" BINARY']
        for n, start in enumerate(starts, 1):
            lines += ["  TRACK %02d AUDIO" % n, '    TITLE "%s"' % titles[n - 1]]
            lines += ["    ISRC " + isrcs[n - 1]] if isrcs[n - 1] else []
            lines += ["    INDEX 00 " + msf({1: 0, 3: start - 20}[n])] if n != 2 else []
            lines.append("    INDEX 01 " + msf(start))
        audio.write(self.path("a.raw"), audio.sectors(lead_out))
        audio.write(self.path("a.cue"), ("\n".join(lines) + "\n").encode("latin-1"))
        r = run(["-t", "a.cue", "out"], self.dir)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        ends = starts + [lead_out]
        expected = [ends[k + 1] - ends[k] for k in range(3)]
        for fmt in ("flac", "wav")[0 if FLAC_BUILT_IN else 1:]:
            with self.subTest(format=fmt):
                os.makedirs(self.path(fmt))
                r = run(["--extract", "--proof", "--format=" + fmt, "out", fmt], self.dir)
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                cells = Cells()
                cells.feed(self.dump_dom(self.path(fmt, "index.html")))
                self.assertEqual([row[0] for row in cells.rows], [starts[0] - 150] + expected)
                for pq, measured in cells.rows:
                    self.assertIsNotNone(measured, "a track the browser did not play")
                    self.assertLessEqual(abs(measured - pq), 1)
                for text in titles + isrcs[:2]:
                    self.assertIn(text, cells.texts)

    def pdftotext(self, *args):
        r = subprocess.run(["pdftotext", *args, self.path("sheet.pdf"), "-"], stdout=subprocess.PIPE, check=True)
        return r.stdout.decode()

    def test_every_row_isrc_and_title_is_printed_inside_an_a4_page(self):
        disc = Disc()
        with open(self.path("a.raw"), "wb") as f:
            f.truncate(disc.audio_frames * 2352)  # silence; only the length matters for the sheet
        with open(self.path("disc.cue"), "wb") as f:
            f.write(disc.cue_sheet())
        r = run(["--pq-sheet=sheet.html", "disc.cue"], self.dir)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.print_to_pdf(self.path("sheet.html"))

        bbox = PdfWords()
        bbox.feed(self.pdftotext("-bbox"))
        self.assertGreaterEqual(len(bbox.pages), 2, "40 tracks with their pauses fill more than one page")
        for width, height in bbox.pages:
            self.assertAlmostEqual(width, A4_POINTS[0], delta=1.5)
            self.assertAlmostEqual(height, A4_POINTS[1], delta=1.5)
        # Chromium clips what overflows at the printable area, a few millimetres inside the edge:
        # a word that reaches into the last 10 mm has been cut or nearly so.
        right = bbox.pages[0][0] - MARGIN_POINTS
        cut = [w[2] for w in bbox.words if w[0] < MARGIN_POINTS or w[1] > right]
        self.assertEqual(cut, [], "words within 10 mm of the edge of the page")

        # Titles wrap inside their cell and a long word may be broken: compare without blanks.
        printed = "".join(w[2] for w in bbox.words)
        position = 0
        for n in range(1, TRACKS + 1):
            wanted = re.sub(r"\s+", "", title(n))
            found = printed.find(wanted, position)
            self.assertGreaterEqual(found, 0, f"title of track {n} is not printed whole, in order: {title(n)}")
            position = found + len(wanted)
        for text in ("PQListing", re.sub(r"\s+", "", DISC_TITLE), re.sub(r"\s+", "", DISC_PERFORMER), CATALOG):
            self.assertIn(text, printed)

        # One printed line per index point, its fields in the table's order.
        lines = self.pdftotext("-layout").splitlines()
        at = 0
        for track, index, start, duration, code in disc.rows():
            fields = [f for f in (track, index, start, duration, code) if f]
            pattern = re.compile(r"^\s*" + r"\s+".join(map(re.escape, fields)) + (r"(\s|$)" if code else r"\s*$"))
            while at < len(lines) and not pattern.search(lines[at]):
                at += 1
            self.assertLess(at, len(lines), f"row {fields} is missing or out of order")
            at += 1
        self.assertTrue(any(re.search(r"Total Time:\s+" + msf(disc.lead_out), line) for line in lines[at:]))


if __name__ == "__main__":
    unittest.main()
