"""Fault injection, end to end: each row of FAULTS is a fault (a full disk at one file of the fileset, a
file-size limit, a standard output that cannot be written, audio cut short, an input that is a directory
or unreadable), the options, a fragment of standard error and the files that must remain. Every row also
checks what must hold whatever happens: status 0 only for a complete fileset that md5sum -c vouches for,
no stream cut short (each one left is what a clean run writes), DDPMS the old map or the new one, and the
inputs unchanged. A full disk is a tmpfs in a private mount namespace, sized from clean runs."""

import contextlib
import os
import resource
import shutil
import signal
import subprocess
import tempfile
import unittest
from pathlib import Path

import audio

KORVEL = os.environ.get("KORVEL", "korvel")
ENV = {"LC_ALL": "C.UTF-8", "PATH": os.environ["PATH"]}
FRAME = audio.FRAME_BYTES
AUDIO = audio.sectors(750) + audio.pattern(FRAME // 2, seed=9)  # ten seconds and half a sector: the image gets padding
IMAGE, WAVE = bytes(150 * FRAME) + AUDIO + bytes(FRAME // 2), audio.wave_bytes(AUDIO)
DISC = """CATALOG 4006381333931
TITLE "Fault Disc"
PERFORMER "The Testers"
{cdtextfile}FILE "{name}" {kind}
  TRACK 01 AUDIO
    TITLE "First"
    ISRC DEA121500001
    INDEX 01 00:00:00
  TRACK 02 AUDIO
    TITLE "Second"
    INDEX 00 00:04:00
    INDEX 01 00:05:00
"""
TRACK2, SHORTEST = 375 * FRAME, 675 * FRAME  # track 2 starts 5 s into the audio and must last 4 s
# The order in which korvel writes a fileset: DDPMS_, the new map while CD-Text is linked in, replaces DDPMS.
WRITE_ORDER = ["IMAGE.DAT", "SD", "DDPMS", "DDPID", "CDTEXT.BIN", "DDPMS_", "IMAGE.cue", "CHECKSUM.MD5", "CHECKSUM.TXT"]
STREAMS = {"IMAGE.DAT", "SD", "DDPID", "CDTEXT.BIN", "IMAGE.cue"}
HEAD, T, TC = ["IMAGE.DAT", "SD", "DDPMS", "DDPID"], ["-t"], ["-t", "-c"]
TRUNCATED = "disc.wav: error: wave file is truncated: its data chunk holds %d bytes, but only %d are in the file\n"
CANNOT_OPEN = "%s: error: can't open file, message: %s\n"
NO_CD_TEXT = "{0}: error: cannot open CD text file ({0})\n"
# Mounts a tmpfs of $1 pages on mnt, runs the rest with the fileset in mnt/out, copies what it left to out/.
IN_TMPFS = 'mount -t tmpfs -o size=$(($1 * 4096)) tmpfs mnt || exit 97; mkdir mnt/out; shift; "$@"; s=$?; ' \
           'cp -a mnt/out/. out/; exit $s'


def row(name, fragment="", remains=(), **kw):
    """A row that expects `fragment` on standard error fails with status 1 and leaves `remains`; one that
    expects nothing succeeds. None for `remains` is the whole fileset of the reference run `ref`."""
    return dict(name=name, fragment=fragment, status=1 if fragment else 0, remains=remains if fragment else None, **kw)


def disk(victim, fragment, remains, options=(), ref="plain", ddpms=None, **kw):
    return row("full disk at " + " ".join([victim] + list(options)), fragment % "No space left on device", remains,
               fault=("disk", victim), options=list(options), ref=ref, ddpms=ddpms, **kw)


def raw_cut(n):
    audible = -(-n // FRAME) * FRAME  # the audio is padded to a whole sector
    return row("raw audio cut at %d" % n, "disc.raw: error: audio stops in the middle of a sample frame" if n % 4 else
               "error: not enough audio data, file ends at " if audible < TRACK2 else
               "Error: PQ data is not Red Book compatible\n" if audible < SHORTEST else "",
               disc=dict(data=AUDIO[:n], image=bytes(150 * FRAME) + AUDIO[:n] + bytes(audible - n)))


FAULTS = [
    # The control: with room for every page, and one for DDPMS_ beside DDPMS, the run succeeds.
    row("disk with room for the fileset", fault=("disk", None), options=TC, ref="cdtext"),
    disk("IMAGE.DAT", "Error: mnt/out/IMAGE.DAT: %s\nError: Error while writing DDP data file\n", []),
    disk("SD", "Error: mnt/out/SD: %s\n", HEAD[:1]),
    disk("DDPMS", "Error: mnt/out/DDPMS: %s\n", HEAD[:2]),
    disk("DDPID", "Error: mnt/out/DDPID: %s\n", HEAD[:3]),
    # The checksum writer reports in the perror form, without a prefix.
    disk("CHECKSUM.MD5", "\nmnt/out/CHECKSUM.MD5: %s\n", HEAD),
    disk("CHECKSUM.TXT", "\nmnt/out/CHECKSUM.TXT: %s\n", HEAD + ["CHECKSUM.MD5"]),
    disk("CDTEXT.BIN", "Error: mnt/out/CDTEXT.BIN: %s\n", HEAD, TC, "cdtext", "old"),
    disk("DDPMS_", "Error: mnt/out/DDPMS: %s\nError: linking CD text file faild.\n", HEAD + ["IMAGE.cue"], TC,
         "cdtext", "old"),
    disk("CHECKSUM.MD5", "\nmnt/out/CHECKSUM.MD5: %s\n", HEAD + ["CDTEXT.BIN", "IMAGE.cue"], TC, "cdtext", "new"),
    # Alone: with CD-Text, the page that the new map frees is what the cue sheet gets.
    disk("IMAGE.cue", "Error: mnt/out/IMAGE.cue: %s\n", HEAD, ["-c"], "cuesheet"),
    disk("CDTEXT.BIN", "Error: mnt/out/CDTEXT.BIN: writing file (%s)\nError: No CD text written!\n", HEAD, TC, "cdtext",
         "old", disc={"cdtextfile": "given.cdt"}),  # the sheet's own CD text file, copied
    row("file-size limit a byte short of the image", "Error: out/IMAGE.DAT: File too large\n"
        "Error: Error while writing DDP data file\n", fault=("fsize", len(IMAGE) - 1)),
    row("file-size limit at the image's size", fault=("fsize", len(IMAGE))),
    row("standard output on /dev/full", "korvel: write error on standard output: No space left on device\n", None,
        fault=("stdout", None), last=True),  # the fileset is whole and vouched for; only the report was lost
    row("data chunk claiming more than the file", TRUNCATED % (len(AUDIO) + 4000, len(AUDIO)), disc=dict(
        data=WAVE[:40] + (len(AUDIO) + 4000).to_bytes(4, "little") + WAVE[44:], name="disc.wav", kind="WAVE")),
    row("whole wave", disc=dict(data=WAVE, name="disc.wav", kind="WAVE")),
    row("cue sheet is a directory", CANNOT_OPEN % ("folder.cue", "Is a directory"), cue="folder.cue", mkdir="folder.cue"),
    row("CD text file is a directory", NO_CD_TEXT.format("folder.cdt"), options=T, mkdir="folder.cdt",
        disc={"cdtextfile": "folder.cdt"}),
    row("unreadable cue sheet", CANNOT_OPEN % ("disc.cue", "Permission denied"), unreadable="disc.cue", options=T),
    row("unreadable audio", CANNOT_OPEN % ("disc.raw", "Permission denied"), unreadable="disc.raw", options=T),
    row("unreadable CD text file", NO_CD_TEXT.format("given.cdt"), options=T, unreadable="given.cdt",
        disc={"cdtextfile": "given.cdt"}),
] + [row(kind + " audio is a directory", CANNOT_OPEN % ("folder.raw", "Is a directory"), mkdir="folder.raw",
         disc=dict(data=None, name="folder.raw", kind=kind)) for kind in ("BINARY", "WAVE", "MOTOROLA")
] + [raw_cut(n) for n in sorted({0, 1, 2, 3, 4, 5, 588, 2352, 2354, TRACK2 - 4, TRACK2, SHORTEST - 4, SHORTEST,
                                 SHORTEST + 2, len(AUDIO) - 4, len(AUDIO) - 1, len(AUDIO)})
] + [row("wave cut at %d" % n, TRUNCATED % (len(AUDIO), n - 44) if n >= 44 else "Wave parser error (offset %d): " % n,
         disc=dict(data=WAVE[:n], name="disc.wav", kind="WAVE"))
     for n in list(range(0, 48, 3)) + [48, 44 + 2352, len(WAVE) // 2, len(WAVE) - 4, len(WAVE) - 1]]


def files(folder):
    return {p.name: p.read_bytes() for p in Path(folder).iterdir() if p.is_file()}


def budget(victim, files):
    """Pages for every file written before `victim` and all of it but its last page; without a victim,
    room for the whole fileset and DDPMS_ beside DDPMS for a moment."""
    pages = {name: -(-len(files.get(name.rstrip("_"), b"")) // 4096) for name in WRITE_ORDER}
    if victim is None:
        return sum(-(-len(d) // 4096) for d in files.values()) + 1
    return sum(pages[n] for n in WRITE_ORDER[:WRITE_ORDER.index(victim)] if n != "DDPMS_") + pages[victim] - 1


class FaultTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Clean runs give the size of every file and the map with and without CD-Text.
        cls.reference = {}
        with tempfile.TemporaryDirectory(prefix="korvel-ref-") as d:
            audio.write(os.path.join(d, "disc.raw"), AUDIO)
            audio.write(os.path.join(d, "disc.cue"), DISC.format(cdtextfile="", name="disc.raw", kind="BINARY").encode())
            for name, args in (("plain", []), ("cuesheet", ["-c"]), ("cdtext", TC)):
                os.mkdir(os.path.join(d, name))
                subprocess.run([KORVEL] + args + ["disc.cue", name], cwd=d, env=ENV, capture_output=True, check=True)
                cls.reference[name] = files(os.path.join(d, name))
        assert cls.reference["plain"]["IMAGE.DAT"] == IMAGE
        cls.maps = {"old": cls.reference["plain"]["DDPMS"], "new": cls.reference["cdtext"]["DDPMS"]}
        assert cls.maps["old"] != cls.maps["new"]

    def test_every_fault(self):
        for f in FAULTS:
            with self.subTest(f["name"]), tempfile.TemporaryDirectory(prefix="korvel-faults-") as d:
                self.dir = Path(d)
                self.check(f, *self.run_fault(f))

    def run_fault(self, f):
        """Writes the row's inputs and runs korvel under its fault: korvel's result and the inputs it was given."""
        disc = dict(dict(data=AUDIO, name="disc.raw", kind="BINARY", cdtextfile=None), **f.get("disc", {}))
        line = 'CDTEXTFILE "%s"\n' % disc["cdtextfile"] if disc["cdtextfile"] else ""
        for name in ["out", "mnt"] + ([f["mkdir"]] if "mkdir" in f else []):
            os.mkdir(self.dir / name)
        for name, data in (("given.cdt", self.reference["cdtext"]["CDTEXT.BIN"]), (disc["name"], disc["data"]),
                           ("disc.cue", DISC.format(cdtextfile=line, name=disc["name"], kind=disc["kind"]).encode())):
            if data is not None:
                audio.write(self.dir / name, data)
        command = [KORVEL] + f.get("options", []) + [f.get("cue", "disc.cue")]
        if "unreadable" in f and os.geteuid() == 0:  # root reads a file of mode 000: run as nobody
            shutil.which("setpriv") or self.skipTest("running as root without setpriv")
            subprocess.run(["chown", "-R", "65534:65534", self.dir], check=True)
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + command
        kind, arg = f.get("fault", (None, None))
        if kind == "disk":
            shutil.which("unshare") or self.skipTest("unshare is not installed")
            namespace = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-rm"]
            command = namespace + ["sh", "-c", IN_TMPFS, "sh", str(budget(arg, self.reference[f["ref"]]))] + command
        kind != "stdout" or os.path.exists("/dev/full") or self.skipTest("no /dev/full")
        # Under a file-size limit korvel must see the failed write, not die of the signal.
        limit = lambda: (signal.signal(signal.SIGXFSZ, signal.SIG_IGN), resource.setrlimit(resource.RLIMIT_FSIZE, (arg, arg)))
        before = files(self.dir)
        "unreadable" in f and os.chmod(self.dir / f["unreadable"], 0)
        with open("/dev/full", "w") if kind == "stdout" else contextlib.nullcontext(subprocess.PIPE) as stdout:
            r = subprocess.run(command + ["mnt/out" if kind == "disk" else "out"], cwd=self.dir, env=ENV, stdout=stdout,
                               stderr=subprocess.PIPE, preexec_fn=limit if kind == "fsize" else None)
        "unreadable" in f and os.chmod(self.dir / f["unreadable"], 0o600)
        if kind == "disk" and (r.returncode == 97 or r.stderr.startswith(b"unshare:")):
            self.skipTest("cannot mount a tmpfs here: " + r.stderr.decode().strip())
        return r, before

    def check(self, f, r, before):
        err, expected = r.stderr.decode(), self.reference[f.get("ref", "plain")]
        self.assertEqual(r.returncode, f["status"], err)
        self.assertTrue(err.endswith(f["fragment"]) if f.get("last") else f["fragment"] in err, err)
        left = files(self.dir / "out")
        self.assertEqual(sorted(left), sorted(expected if f["remains"] is None else f["remains"]), err)
        # No stream is ever cut short: each one left is whole.
        whole = {"IMAGE.DAT": f["disc"]["image"]} if "image" in f.get("disc", {}) else expected
        for n in STREAMS & set(left) & set(whole):
            self.assertTrue(left[n] == whole[n], n + " is not what a clean run writes")
        if "DDPMS" in left and whole is expected:  # a shorter image has a map of its own
            maps = [self.maps[f["ddpms"]]] if f.get("ddpms") else list(self.maps.values())
            self.assertIn(left["DDPMS"], maps, "DDPMS is not the old map nor the new one the row expects")
        if f["remains"] is None:
            md5sum = subprocess.run(["md5sum", "-c", "--strict", "CHECKSUM.MD5"], cwd=self.dir / "out", capture_output=True)
            self.assertEqual(md5sum.returncode, 0, md5sum.stdout + md5sum.stderr)
        self.assertTrue(files(self.dir) == before, "an input file was changed")


if __name__ == "__main__":
    unittest.main()
