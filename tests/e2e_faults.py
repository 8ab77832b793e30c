"""Fault injection, end to end: each row of FAULTS is a fault or a hostile but realistic use (a full disk at
one file of the fileset, a file-size limit, a standard output that cannot be written, audio cut short, inputs
that are directories, unreadable or the fileset's own files, a signal or SIGKILL part-way, a second run into
the same directory, a directory holding an older fileset or a hard-linked backup of one), the options, a
fragment of standard error and what must be left. Every row also checks what must hold whatever happens:
the inputs are unchanged; status 0 means md5sum -c passes and the fileset is what a clean run of the sheet
writes; otherwise no checksum file vouches for anything but a fileset that is wholly old or wholly new; no
file under a final name is cut short; no unfinished file is left (but by SIGKILL, after which the next run
removes it). A full disk is a tmpfs in a private mount namespace, sized from clean runs."""

import contextlib
import fcntl
import os
import random
import re
import resource
import shutil
import signal
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

import audio
from korvel_run import ENV, KORVEL, msf

FRAME = audio.FRAME_BYTES
AUDIO = audio.sectors(750) + audio.pattern(FRAME // 2, seed=9)  # ten seconds and half a sector: the image gets padding
IMAGE, WAVE = bytes(150 * FRAME) + AUDIO + bytes(FRAME // 2), audio.wave_bytes(AUDIO)
DISC = """CATALOG {catalog}
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
ONE_TRACK = 'FILE "{name}" {kind}\n  TRACK 01 AUDIO\n{title}    INDEX 01 00:00:00\n'
LONG = 5 * 60 * 75 * FRAME  # a 5-minute disc, long enough to stop a run at any phase
TRACK2, SHORTEST = 375 * FRAME, 675 * FRAME  # track 2 starts 5 s into the audio and must last 4 s
# The order in which korvel writes a fileset: DDPMS_, the new map while CD-Text is linked in, replaces DDPMS.
WRITE_ORDER = ["IMAGE.DAT", "SD", "DDPMS", "DDPID", "CDTEXT.BIN", "DDPMS_", "IMAGE.cue", "CHECKSUM.MD5", "CHECKSUM.TXT"]
SUMS = {"CHECKSUM.MD5", "CHECKSUM.TXT"}
HEAD, T, TC = ["IMAGE.DAT", "SD", "DDPMS", "DDPID"], ["-t"], ["-t", "-c"]
TRUNCATED = "disc.wav: error: wave file is truncated: its data chunk holds %d bytes, but only %d are in the file\n"
CANNOT_OPEN = "%s: error: can't open file, message: %s\n"
NOT_REGULAR = "%s: error: not a regular file: korvel reads audio from files only\n"
NO_CD_TEXT = "{0}: error: cannot open CD text file ({0})\n"
REPLACES = "Error: the input %s is the file %s, which this run would replace"
INCOMPLETE = "Error: no checksum files written: the fileset is incomplete\n"
INTERRUPTED = "korvel: interrupted; unfinished files removed\n"
TOO_LONG = "Error: PQ list: disc too long: the lead-out at %s is past 89:59:74, the last position a CD can address\n" \
           "Error: PQ data is not Red Book compatible\n"
# Mounts a tmpfs of $1 pages on mnt, runs the rest with the fileset in mnt/out, copies what it left to out/.
IN_TMPFS = 'mount -t tmpfs -o size=$(($1 * 4096)) tmpfs mnt || exit 97; mkdir mnt/out; shift; "$@"; s=$?; ' \
           'cp -a mnt/out/. out/; exit $s'
# Reference filesets, from clean runs in setUpClass: name -> (sheet fields, options).
SHORT = dict(data=AUDIO, name="disc.raw", kind="BINARY", cdtextfile=None, catalog="4006381333931")
OTHER = dict(SHORT, data=audio.sectors(900, seed=5), catalog="4006381333948")
LONG_DISC = dict(sheet=ONE_TRACK, sparse=LONG, head=audio.sectors(75, seed=3), name="long.raw", title="")
REFERENCES = {
    "plain": (SHORT, []), "cuesheet": (SHORT, ["-c"]), "cdtext": (SHORT, TC), "other": (OTHER, TC),
    "cdtextfile": (dict(SHORT, cdtextfile="given.cdt"), T),  # given.cdt is the CDTEXT.BIN of "cdtext"
    "wrapped": (dict(SHORT, data=IMAGE, name="image.raw"), []),  # an old IMAGE.DAT as the audio of a new disc
    "long": (LONG_DISC, []), "long-tc": (dict(LONG_DISC, title='    TITLE "New"\n'), TC),
    "long-other": (dict(LONG_DISC, head=audio.sectors(75, seed=4), title='    TITLE "Old"\n'), TC),
}


def row(name, fragment="", remains=(), **kw):
    """A row that expects `fragment` on standard error fails with status 1 and leaves the names `remains`, by
    default the directory as it was; one that expects nothing succeeds and leaves the fileset of its reference
    run `ref`. None for `remains` leaves it to the invariants."""
    return dict(dict(name=name, fragment=fragment, status=1 if fragment else 0, remains=remains if fragment else None,
                     ref="plain"), **kw)


def disk(victim, fragment, remains, options=(), ref="plain", **kw):
    return row("full disk at " + " ".join([victim] + list(options)), fragment % "No space left on device", remains,
               fault=("disk", victim), options=list(options), ref=ref, **kw)


def raw_cut(n):
    audible = -(-n // FRAME) * FRAME  # the audio is padded to a whole sector
    return row("raw audio cut at %d" % n, "disc.raw: error: audio stops in the middle of a sample frame" if n % 4 else
               "error: not enough audio data, file ends at " if audible < TRACK2 else
               "Error: PQ data is not Red Book compatible\n" if audible < SHORTEST else "",
               disc=dict(data=AUDIO[:n], image=bytes(150 * FRAME) + AUDIO[:n] + bytes(audible - n)))


def length(frames, fragment, status=None):
    """A one-track disc of `frames` (with its two-second pregap), as a sparse file: only parse mode reads it."""
    return row("lead-out at " + msf(frames), fragment, status=status if status is not None else 1 if "Error" in fragment
               else 0, disc=dict(sheet=ONE_TRACK, name="long.raw", title="", sparse=(frames - 150) * FRAME), out=None,
               ref=None)


def killed(when, old):
    """SIGKILL as soon as the unfinished file of a stream is seen (at random moments: RandomKills)."""
    return row("SIGKILL at the sight of %s%s" % (when, " over an older fileset" if old else ""), status=None,
               fault=("kill", when),
               disc=dict(LONG_DISC, title='    TITLE "New"\n'), options=TC, ref="long-tc", old=old,
               also="long")  # the map before CD-Text is linked in


FAULTS = [
    # The control: with room for every page, and one for DDPMS_ beside DDPMS, the run succeeds.
    row("disk with room for the fileset", fault=("disk", None), options=TC, ref="cdtext"),
    disk("IMAGE.DAT", "Error: mnt/out/IMAGE.DAT: %s\nError: Error while writing DDP data file\n", []),
    disk("SD", "Error: mnt/out/SD: %s\n", HEAD[:1]),
    disk("DDPMS", "Error: mnt/out/DDPMS: %s\n", HEAD[:2]),
    disk("DDPID", "Error: mnt/out/DDPID: %s\n", HEAD[:3]),
    # The checksum writer reports in the perror form, without a prefix.
    disk("CHECKSUM.MD5", "\nmnt/out/CHECKSUM.MD5: %s\n", HEAD),
    disk("CHECKSUM.TXT", "\nmnt/out/CHECKSUM.TXT: %s\n", HEAD),  # the two go in place together or not at all
    disk("CDTEXT.BIN", "Error: mnt/out/CDTEXT.BIN: %s\n", HEAD, TC, "cdtext", also="plain"),
    disk("DDPMS_", "Error: mnt/out/DDPMS: %s\nError: linking CD text file faild.\n", HEAD + ["IMAGE.cue"], TC, "cdtext",
         also="plain"),  # the map as it was before CD-Text was linked in
    disk("CHECKSUM.MD5", "\nmnt/out/CHECKSUM.MD5: %s\n", HEAD + ["CDTEXT.BIN", "IMAGE.cue"], TC, "cdtext"),
    # Alone: with CD-Text, the page that the new map frees is what the cue sheet gets.
    disk("IMAGE.cue", "Error: mnt/out/IMAGE.cue: %s\n", HEAD, ["-c"], "cuesheet"),
    disk("CDTEXT.BIN", "Error: mnt/out/CDTEXT.BIN: writing file (%s)\nError: No CD text written!\n", HEAD, TC, "cdtext",
         also="plain", disc={"cdtextfile": "given.cdt"}),  # the sheet's own CD text file, copied
    row("file-size limit a byte short of the image", "Error: out/IMAGE.DAT: File too large\n"
        "Error: Error while writing DDP data file\n", fault=("fsize", len(IMAGE) - 1)),
    row("file-size limit at the image's size", fault=("fsize", len(IMAGE))),
    # A disk that fails to write back what it was given, as fdatasync reports it.
    row("fdatasync failing at IMAGE.DAT", "Error: out/IMAGE.DAT: Input/output error\n"
        "Error: Error while writing DDP data file\n", fault=("fdatasync", "IMAGE.DAT")),
    row("fdatasync failing at SD", "Error: out/SD: Input/output error\n" + INCOMPLETE, ["IMAGE.DAT", "DDPMS", "DDPID"],
        fault=("fdatasync", "SD")),
    row("fdatasync failing at IMAGE.cue", "Error: out/IMAGE.cue: Input/output error\n" + INCOMPLETE, HEAD, options=["-c"],
        ref="cuesheet", fault=("fdatasync", "IMAGE.cue")),
    row("fdatasync failing at CHECKSUM.TXT", "\nout/CHECKSUM.TXT: Input/output error\n", HEAD,
        fault=("fdatasync", "CHECKSUM.TXT")),
    row("a stale unfinished IMAGE.DAT under this run's number", fault=("stale", "IMAGE.DAT")),
    # Only the report was lost: the fileset is whole and vouched for, the status says what failed.
    row("standard output on /dev/full", "korvel: write error on standard output: No space left on device\n", None,
        fault=("stdout", None), last=True),
    row("standard output a closed pipe", "korvel: write error on standard output: Broken pipe\n", None,
        fault=("pipe", None), last=True),
    row("data chunk claiming more than the file", TRUNCATED % (len(AUDIO) + 4000, len(AUDIO)), disc=dict(
        data=WAVE[:40] + (len(AUDIO) + 4000).to_bytes(4, "little") + WAVE[44:], name="disc.wav", kind="WAVE")),
    row("whole wave", disc=dict(data=WAVE, name="disc.wav", kind="WAVE")),
    row("cue sheet is a directory", "folder.cue is a directory: to read a DDP fileset, use korvel --check folder.cue\n",
        cue="folder.cue", mkdir="folder.cue"),
    row("CD text file is a directory", NO_CD_TEXT.format("folder.cdt"), options=T, mkdir="folder.cdt",
        disc={"cdtextfile": "folder.cdt"}),
    row("unreadable cue sheet", CANNOT_OPEN % ("disc.cue", "Permission denied"), unreadable="disc.cue", options=T),
    row("unreadable audio", CANNOT_OPEN % ("disc.raw", "Permission denied"), unreadable="disc.raw", options=T),
    row("unreadable CD text file", NO_CD_TEXT.format("given.cdt"), options=T, unreadable="given.cdt",
        disc={"cdtextfile": "given.cdt"}),
    # A fileset regenerated from its own files, by name or through links, is whole and as a clean run writes it.
    row("regenerated from its own IMAGE.cue", options=TC, cue="out/IMAGE.cue", old="cdtext", ref="cdtext"),
    row("regenerated from its own IMAGE.cue without -c, which is kept", options=T, cue="out/IMAGE.cue", old="cdtext",
        ref="cdtext"),
    row("its own CDTEXT.BIN as CDTEXTFILE", options=T, old="cdtext", ref="cdtextfile",
        disc={"cdtextfile": "out/CDTEXT.BIN"}),
    row("a sheet naming its own IMAGE.DAT", old="plain", ref="wrapped", disc=dict(data=None, name="out/IMAGE.DAT")),
    row("a sheet naming a symlink to IMAGE.DAT", old="plain", ref="wrapped", disc=dict(data=None, name="link.raw"),
        link=("symlink", "out/IMAGE.DAT", "link.raw")),
    row("a sheet naming a hard link to IMAGE.DAT", old="plain", ref="wrapped", disc=dict(data=None, name="hard.raw"),
        link=("hardlink", "out/IMAGE.DAT", "hard.raw")),
    # Any other input that is a file the run writes is refused before anything is written.
    row("cue sheet named SD in the fileset", REPLACES % ("out/SD", "out/SD"), cue="out/SD"),
    row("audio named CHECKSUM.MD5 in the fileset", REPLACES % ("out/CHECKSUM.MD5", "out/CHECKSUM.MD5"),
        disc=dict(name="out/CHECKSUM.MD5")),
    row("audio hard-linked as the DDPID of an older fileset", REPLACES % ("disc.raw", "out/DDPID"), old="other",
        link=("hardlink", "disc.raw", "out/DDPID")),
    # An older fileset in the directory: replaced, never rewritten in place, never mixed or left stale.
    row("over an older fileset with a hard-linked backup", old="other", backup=True),
    row("over an older fileset with IMAGE.cue and CDTEXT.BIN", old="other", says=[
        "Removed out/IMAGE.cue of an earlier run", "Removed out/CDTEXT.BIN of an earlier run"]),
    row("over an older fileset whose DDPID cannot be replaced", "Error: out/DDPID: Is a directory\n", old="other",
        mkdir="out/DDPID", remains=None),
    row("a second run while the first writes", "Error: out is being written by another korvel run\n", remains=None,
        fault=("concurrent", None), final="long"),
    *[row("%s during the copy" % sig.name, INTERRUPTED, status=-sig, remains=None, fault=("signal", sig), disc=LONG_DISC,
          old=old, last=True) for sig, old in ((signal.SIGINT, None), (signal.SIGTERM, "other"), (signal.SIGHUP, None))],
    *[killed(when, old) for old in (None, "long-other") for when in (
        "IMAGE.DAT", "SD", "DDPMS", "DDPID", "CDTEXT.BIN", "IMAGE.cue", "CHECKSUM.MD5")],
    # Discs no plant can press are refused before anything is written; long ones need the plant's word.
    length(405000, TOO_LONG % "90:00:00"),
    dict(length(405000, TOO_LONG % "90:00:00"), name="lead-out at 90:00:00, writing", out="out"),
    length(-(-4 * 2**30 // FRAME) + 150, TOO_LONG % msf(-(-4 * 2**30 // FRAME) + 150)),  # a 4 GiB raw file
    length(404999, "Warning: PQ list: the disc is 89:59:74 long, more than 79:59:74: confirm with the plant", 0),
    length(360000, "Warning: PQ list: the disc is 80:00:00 long, more than 79:59:74: confirm with the plant", 0),
    length(359999, ""),
    row("empty directory name", "Error: The DDP directory name is empty.", out=""),
    row("CD text file of 9 MB", "given.cdt: error: CD text file is too large: 9000000 bytes, but CD text holds at most "
        "36864 (8 blocks of 256 packs)\n", options=T, disc=dict(cdtextfile="given.cdt"), cdt_size=9000000),
    row("catalog number with a letter", "disc.cue:1: error: malformed catalog number: 400638133393X, should be exactly "
        "13 digits\n", disc=dict(catalog="400638133393X")),
    # Named files that never end (/dev/zero) or block the open (a FIFO) are refused before they are opened.
    row("audio is a FIFO", NOT_REGULAR % "fifo.raw", fifo="fifo.raw", disc=dict(data=None, name="fifo.raw")),
    row("CD text file is /dev/zero", "dev/zero: error: cannot open CD text file (", options=T,
        disc=dict(cdtextfile="/dev/zero")),
] + [row(kind + " audio is a directory", NOT_REGULAR % "folder.raw", mkdir="folder.raw",
         disc=dict(data=None, name="folder.raw", kind=kind)) for kind in ("BINARY", "WAVE", "MOTOROLA")
] + [row(kind + " audio is /dev/zero", NOT_REGULAR % "dev/zero",
         disc=dict(data=None, name="/dev/zero", kind=kind)) for kind in ("BINARY", "WAVE", "MOTOROLA")
] + [raw_cut(n) for n in sorted({0, 1, 2, 3, 4, 5, 588, 2352, 2354, TRACK2 - 4, TRACK2, SHORTEST - 4, SHORTEST,
                                 SHORTEST + 2, len(AUDIO) - 4, len(AUDIO) - 1, len(AUDIO)})
] + [row("wave cut at %d" % n, TRUNCATED % (len(AUDIO), n - 44) if n >= 44 else "Wave parser error (offset %d): " % n,
         disc=dict(data=WAVE[:n], name="disc.wav", kind="WAVE"))
     for n in list(range(0, 48, 3)) + [48, 44 + 2352, len(WAVE) // 2, len(WAVE) - 4, len(WAVE) - 1]]


def files(folder):
    """The regular files of a folder by name: their bytes, a symlink's target, and for the sparse files of the long
    discs (gigabytes of holes) their size and time of last change, which any write moves."""
    def state(p):
        if p.is_symlink():
            return ("->" + os.readlink(p)).encode()
        st = p.stat()
        return p.read_bytes() if st.st_size < 2**26 else ("%d %d" % (st.st_size, st.st_mtime_ns)).encode()
    return {p.name: state(p) for p in Path(folder).iterdir() if p.is_file()}


def differs(have, want):
    """The names whose files differ, for a message short enough to read."""
    return sorted(n for n in set(have) | set(want) if have.get(n) != want.get(n))


def unfinished(folder):
    return [n for n in os.listdir(folder) if re.fullmatch(r"\..+\.korvel-\d+", n)]


def budget(victim, files):
    """Pages for every file written before `victim` and all of it but its last page; without a victim,
    room for the whole fileset and DDPMS_ beside DDPMS for a moment."""
    pages = {name: -(-len(files.get(name.rstrip("_"), b"")) // 4096) for name in WRITE_ORDER}
    if victim is None:
        return sum(-(-len(d) // 4096) for d in files.values()) + 1
    return sum(pages[n] for n in WRITE_ORDER[:WRITE_ORDER.index(victim)] if n != "DDPMS_") + pages[victim] - 1


def write_disc(folder, disc, sheet_name="disc.cue"):
    """The sheet and its audio (sparse where the row says so) in `folder`; the sheet names its files relative to
    its own folder."""
    folder = Path(folder)
    relative = lambda name: os.path.relpath(folder / name, (folder / sheet_name).parent)
    if disc.get("sparse"):
        with open(folder / disc["name"], "wb") as f:
            f.write(disc.get("head", b""))
            f.truncate(disc["sparse"])
    elif disc.get("data") is not None:
        audio.write(folder / disc["name"], disc["data"])
    cdtextfile = 'CDTEXTFILE "%s"\n' % relative(disc["cdtextfile"]) if disc.get("cdtextfile") else ""
    sheet = disc.get("sheet", DISC).format(**dict(SHORT, **dict(disc, cdtextfile=cdtextfile, name=relative(disc["name"]))))
    audio.write(folder / sheet_name, sheet.encode())


class FaultTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        # Clean runs: the fileset of every sheet the rows use, and how long a long disc takes.
        cls.reference, cls.work = {}, tempfile.TemporaryDirectory(prefix="korvel-ref-")
        for name, (disc, options) in REFERENCES.items():
            d = Path(cls.work.name) / name
            os.makedirs(d / "out")
            if disc.get("cdtextfile"):
                audio.write(d / disc["cdtextfile"], cls.reference["cdtext"]["CDTEXT.BIN"])
            write_disc(d, disc)
            subprocess.run([KORVEL] + options + ["disc.cue", "out"], cwd=d, env=ENV, capture_output=True, check=True)
            cls.reference[name] = files(d / "out")
        assert cls.reference["plain"]["IMAGE.DAT"] == IMAGE
        assert cls.reference["wrapped"]["IMAGE.DAT"] == bytes(150 * FRAME) + IMAGE

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_every_fault(self):
        # Every row on one thread and on two: the same result, whatever the size of the disc.
        for threads in ("1", "2"):
            for f in FAULTS:
                f = dict(f, options=["--threads=" + threads] + f.get("options", []))
                with self.subTest(f["name"], threads=threads), tempfile.TemporaryDirectory(prefix="korvel-faults-") as d:
                    self.dir = Path(d)
                    self.check(f, *self.run_fault(f))

    def run_fault(self, f):
        """Writes the row's inputs and runs korvel under its fault: korvel's result and what was there before."""
        disc, kind = dict(SHORT, **f.get("disc", {})), f.get("fault", (None,))[0]
        for name in ["out", "mnt"]:
            os.mkdir(self.dir / name)
        for n, data in self.reference.get(f.get("old"), {}).items():
            audio.write(self.dir / "out" / n, data)
        audio.write(self.dir / "given.cdt", self.reference["cdtext"]["CDTEXT.BIN"])
        if "cdt_size" in f:
            os.truncate(self.dir / "given.cdt", f["cdt_size"])
        write_disc(self.dir, disc, "out/SD" if f.get("cue") == "out/SD" else "disc.cue")
        "fifo" in f and os.mkfifo(self.dir / f["fifo"])
        if "mkdir" in f:
            with contextlib.suppress(FileNotFoundError):
                os.remove(self.dir / f["mkdir"])
            os.mkdir(self.dir / f["mkdir"])
        if kind == "concurrent":
            write_disc(self.dir, LONG_DISC, "long.cue")
        if "link" in f:
            how, target, name = f["link"]
            with contextlib.suppress(FileNotFoundError):
                os.remove(self.dir / name)
            os.symlink(target, self.dir / name) if how == "symlink" else os.link(self.dir / target, self.dir / name)
        f.get("backup") and shutil.copytree(self.dir / "out", self.dir / "backup", copy_function=os.link)
        out, (kind, arg) = f.get("out", "out"), f.get("fault", (None, None))
        command = [KORVEL] + f.get("options", []) + [f.get("cue", "disc.cue")] + ([] if out is None else [out])
        if "unreadable" in f and os.geteuid() == 0:  # root reads a file of mode 000: run as nobody
            shutil.which("setpriv") or self.skipTest("running as root without setpriv")
            subprocess.run(["chown", "-R", "65534:65534", self.dir], check=True)
            command = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"] + command
        if kind == "disk":
            shutil.which("unshare") or self.skipTest("unshare is not installed")
            namespace = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-rm"]
            command = namespace + ["sh", "-c", IN_TMPFS, "sh", str(budget(arg, self.reference[f["ref"]]))]
            command += [KORVEL] + f.get("options", []) + ["disc.cue", "mnt/out"]
        kind != "stdout" or os.path.exists("/dev/full") or self.skipTest("no /dev/full")
        # Under a file-size limit korvel must see the failed write, not die of the signal.
        limit = lambda: (signal.signal(signal.SIGXFSZ, signal.SIG_IGN), resource.setrlimit(resource.RLIMIT_FSIZE, (arg, arg)))
        # A file left under the unfinished name this very run will use: a process long gone had its number.
        stale = lambda: (self.dir / "out" / (".%s.korvel-%d" % (arg, os.getpid()))).write_bytes(b"stale")
        env = ENV
        if kind == "fdatasync":
            os.environ.get("KORVEL_FDATASYNC_SHIM") or self.skipTest("no fdatasync shim (KORVEL_FDATASYNC_SHIM)")
            env = dict(ENV, LD_PRELOAD=os.environ["KORVEL_FDATASYNC_SHIM"], KORVEL_FAIL_FDATASYNC=arg,
                       ASAN_OPTIONS="verify_asan_link_order=0")
        before = (files(self.dir), files(self.dir / "out"))
        "unreadable" in f and os.chmod(self.dir / f["unreadable"], 0)
        if kind in ("signal", "kill", "concurrent"):
            r = self.interrupt(kind, arg, command)
        else:
            with self.stdout(kind) as stdout:
                r = subprocess.run(command, cwd=self.dir, env=env, stdout=stdout, stderr=subprocess.PIPE,
                                   preexec_fn={"fsize": limit, "stale": stale}.get(kind))
        "unreadable" in f and os.chmod(self.dir / f["unreadable"], 0o600)
        if kind == "disk" and (r.returncode == 97 or r.stderr.startswith(b"unshare:")):
            self.skipTest("cannot mount a tmpfs here: " + r.stderr.decode().strip())
        return r, before

    @contextlib.contextmanager
    def stdout(self, kind):
        if kind == "stdout":
            with open("/dev/full", "w") as full:
                yield full
        elif kind == "pipe":  # a reader that has gone, as after `korvel ... | head`
            read, write = os.pipe()
            os.close(read)
            yield write
            os.close(write)
        else:
            yield subprocess.PIPE

    def interrupt(self, kind, arg, command):
        """Starts the run and stops it from outside, once a stream's unfinished file is seen: a signal or SIGKILL,
        or a second run (of the short disc) into the same directory during the copy."""
        if kind == "concurrent":
            command = command[:-2] + ["long.cue", "out"]
        p = subprocess.Popen(command, cwd=self.dir, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        # A kill that misses the stream's unfinished file lands a little later.
        stream = arg if kind == "kill" else "IMAGE.DAT"
        while not any(n.startswith("." + stream + ".korvel-") for n in os.listdir(self.dir / "out")):
            if p.poll() is not None:
                self.assertEqual(kind, "kill", "the run ended before its copy was seen")
                break
        if kind == "concurrent":
            # With standard input closed (as some schedulers start jobs) the lock's descriptor is 0, still a lock.
            second = subprocess.run([KORVEL, "disc.cue", "out"], cwd=self.dir, env=ENV, capture_output=True,
                                    preexec_fn=lambda: os.close(0))
            self.assertEqual(p.wait(), 0, p.stderr.read())
            p.stderr.close()
            return second
        p.send_signal(signal.SIGKILL if kind == "kill" else arg)
        return subprocess.CompletedProcess(command, p.wait(), b"", p.communicate()[1])

    def check(self, f, r, before):
        err, kind = r.stderr.decode(), f.get("fault", (None,))[0]
        old, new = before[1], self.reference[f.get("final") or f["ref"]] if f["ref"] else {}
        if f["status"] is not None:
            self.assertEqual(r.returncode, f["status"], err)
            self.assertTrue(err.endswith(f["fragment"]) if f.get("last") else f["fragment"] in err, err)
        for says in f.get("says", []):
            self.assertIn(says, r.stdout.decode())
        left = {n: data for n, data in files(self.dir / "out").items() if n not in unfinished(self.dir / "out")}
        if f["remains"] == ():
            self.assertFalse(differs(left, old), "the directory was changed: " + err)
        elif f["remains"] is not None:
            self.assertEqual(sorted(left), sorted(f["remains"]), err)
        whole = kind in ("stdout", "pipe") or f.get("final") or r.returncode == 0
        image = f.get("disc", {}).get("image")  # audio cut short: the image is known, the other streams follow it
        if whole and f["ref"] and not image:
            self.assertFalse(differs(left, new), "not the fileset a clean run writes: " + err)
        # No file under a final name is cut short: each one is the old one or what a clean run writes.
        for n, data in left.items():
            candidates = [old.get(n), image if n == "IMAGE.DAT" and image else new.get(n),
                          self.reference.get(f.get("also"), {}).get(n)]
            self.assertTrue(data in candidates or image and n != "IMAGE.DAT", n + " is neither old nor whole")
        # A checksum file vouches for nothing but a fileset that is wholly old or wholly new; after a failure
        # there is none, unless nothing was changed at all.
        if SUMS & set(left) and left != old:
            self.assertTrue(whole or kind == "kill", "a failed run left checksum files beside a changed fileset")
            md5sum = subprocess.run(["md5sum", "-c", "--strict", "CHECKSUM.MD5"], cwd=self.dir / "out", capture_output=True)
            self.assertEqual(md5sum.returncode, 0, err)
            listed = re.findall(r"\*(\S+)", left.get("CHECKSUM.MD5", b"").decode())
            self.assertTrue(image or all(left[n] == old.get(n) for n in listed) or all(left[n] == new[n] for n in listed))
        if None != left.get("CDTEXT.BIN") == old.get("CDTEXT.BIN") != new.get("CDTEXT.BIN"):  # the map lists a disc
            self.assertEqual(left.get("DDPMS"), old.get("DDPMS"), "a new map beside the old disc's CD-Text")
        self.assertFalse(differs(files(self.dir), before[0]), "an input file was changed")
        if f.get("backup"):
            self.assertFalse(differs(files(self.dir / "backup"), old), "the hard-linked backup was changed")
        if kind != "kill":
            self.assertEqual(unfinished(self.dir / "out"), [], "an unfinished file was left")
        elif r.returncode != 0:
            # After SIGKILL the next run removes what was left and writes the whole fileset.
            left_over = unfinished(self.dir / "out")
            again = subprocess.run([KORVEL] + f["options"] + ["disc.cue", "out"], cwd=self.dir, env=ENV,
                                   capture_output=True)
            self.assertEqual(again.returncode, 0, again.stderr)
            self.assertEqual(b"unfinished file" in again.stdout, bool(left_over), again.stdout)
            self.assertFalse(differs(files(self.dir / "out"), new), again.stdout)
            self.assertEqual(unfinished(self.dir / "out"), [])

# Two discs for the kill loop, each the other's predecessor: A with hidden audio before track 1 (00.wav), three
# tracks and CD-Text; B with two tracks and none. Raw audio, so that the image holds the samples as they are.
KILL_DISCS = {
    "A": ('TITLE "Disc A"\nFILE "a.raw" BINARY\n  TRACK 01 AUDIO\n    TITLE "One"\n    INDEX 00 00:00:00\n'
          '    INDEX 01 00:03:00\n  TRACK 02 AUDIO\n    TITLE "Two"\n    INDEX 01 00:40:00\n  TRACK 03 AUDIO\n'
          '    TITLE "Three"\n    INDEX 01 01:10:00\n', "a.raw", audio.sectors(7500, seed=11), TC),
    "B": ('FILE "b.raw" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n  TRACK 02 AUDIO\n    INDEX 01 00:50:00\n',
          "b.raw", audio.sectors(6000, seed=12), ["-c"]),
}


@unittest.skipUnless(os.environ.get("KORVEL_SLOW"), "the kill loop is the slow test e2e_faults.RandomKills")
class RandomKills(unittest.TestCase):
    """SIGKILL at random moments of writing a fileset over the other disc's (paused first: --check refuses it) and
    of extracting one over the other's extraction. Then no final name holds a partial file, no checksum file or
    image.cue describes files that are not there or differ, --check vouches only for one disc's whole fileset, and
    a rerun succeeds."""
    KILLS = 40  # of each kind

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory(prefix="korvel-kills-")
        cls.root = Path(cls.work.name)
        cls.fileset, cls.extract, cls.seconds, cls.maps = {}, {}, {}, {}
        for name, (sheet, data, samples, options) in KILL_DISCS.items():
            audio.write(cls.root / data, samples)
            audio.write(cls.root / (name + ".cue"), sheet.encode())
            # The map as it stands before CD-Text is linked in is the map of a run without it.
            for kind, folder, args in (("write", "plain-", [name + ".cue"]), ("write", "ddp-", options + [name + ".cue"]),
                                       ("extract", "out-", ["--extract", "-v", "0", "ddp-" + name])):
                os.mkdir(cls.root / (folder + name))
                start = time.monotonic()
                cls.korvel(args + [folder + name])
                cls.seconds[kind] = time.monotonic() - start
            cls.maps[name] = files(cls.root / ("plain-" + name))["DDPMS"]
            cls.fileset[name], cls.extract[name] = files(cls.root / ("ddp-" + name)), files(cls.root / ("out-" + name))

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    @classmethod
    def korvel(cls, args):
        return subprocess.run([KORVEL] + args, cwd=cls.root, env=ENV, capture_output=True, check=True)

    def kill_at_random(self, kind, args, pause):
        """Runs korvel for a random share of a clean run's time, pauses it for `pause` to look, and kills it."""
        p = subprocess.Popen([KORVEL] + args, cwd=self.root, env=ENV, stdout=subprocess.DEVNULL,
                             stderr=subprocess.DEVNULL)
        time.sleep(self.random.uniform(0, 1.2 * self.seconds[kind]))
        if p.poll() is None:
            p.send_signal(signal.SIGSTOP)
            pause()
            p.kill()
        p.wait()

    def assert_whole(self, left, old, new, what, maps=()):
        self.assertEqual([n for n, d in left.items() if d not in [old.get(n), new.get(n), *maps]], [], what)

    def test_killed_runs_leave_nothing_mixed_and_a_rerun_succeeds(self):
        seed = int(os.environ.get("KORVEL_KILL_SEED", time.time()))  # a failure names its seed, to run it again
        self.random = random.Random(seed)
        for i in range(self.KILLS):
            new, old = ("A", "B") if i % 2 else ("B", "A")
            with self.subTest(kill=i, disc=new, seed=seed):
                self.write_killed(i, new, old)
                self.extract_killed(i, new, old)

    def write_killed(self, i, new, old):
        folder = "w%02d" % i
        shutil.copytree(self.root / ("ddp-" + old), self.root / folder)
        options = KILL_DISCS[new][3]

        def paused():  # while the writer holds its lock (from its start to its end) --check refuses the fileset
            fd = os.open(self.root / folder, os.O_RDONLY)
            try:
                fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
            except BlockingIOError:
                r = subprocess.run([KORVEL, "--check", folder], cwd=self.root, env=ENV, capture_output=True)
                self.assertEqual((r.returncode, r.stderr), (1, b"Error: %s is being written by another korvel run"
                                                             b"\n" % folder.encode()))
            os.close(fd)
        self.kill_at_random("write", options + [new + ".cue", folder], paused)
        left = {n: d for n, d in files(self.root / folder).items() if n not in unfinished(self.root / folder)}
        self.assert_whole(left, self.fileset[old], self.fileset[new], folder, self.maps.values())
        if "CHECKSUM.MD5" in left:
            self.assertEqual(subprocess.run(["md5sum", "-c", "--strict", "CHECKSUM.MD5"], cwd=self.root / folder,
                                            capture_output=True).returncode, 0, folder)
        checked = subprocess.run([KORVEL, "--check", "-v", "0", folder], cwd=self.root, env=ENV, capture_output=True)
        if checked.returncode == 0:  # vouched for: wholly one disc's fileset (its CD-Text only if the map names it)
            disc = [d for d in (old, new) if left.get("SD") == self.fileset[d]["SD"]]
            self.assertTrue(disc, checked.stderr)
            want = self.fileset[disc[0]]
            self.assertTrue(left.get("DDPMS") in [want["DDPMS"], self.maps[disc[0]]], checked.stderr)
            streams = ["DDPID", "SD", "IMAGE.DAT"] + ["CDTEXT.BIN"] * (b"CDTEXT" in left["DDPMS"])
            self.assertFalse(differs({n: left.get(n) for n in streams}, {n: want[n] for n in streams}), checked.stderr)
        self.korvel(options + [new + ".cue", folder])
        self.assertFalse(differs(files(self.root / folder), self.fileset[new]), folder)
        shutil.rmtree(self.root / folder)

    def extract_killed(self, i, new, old):
        folder = self.root / ("x%02d" % i)
        shutil.copytree(self.root / ("out-" + old), folder)
        self.kill_at_random("extract", ["--extract", "ddp-" + new, folder.name], lambda: None)
        left = {n: d for n, d in files(folder).items() if n not in unfinished(folder)}
        self.assert_whole(left, self.extract[old], self.extract[new], folder.name)
        # An image.cue describes exactly the audio files beside it.
        for disc in (old, new):
            if left.get("image.cue") == self.extract[disc]["image.cue"]:
                self.assertFalse(differs(left, self.extract[disc]), "%s: image.cue of disc %s" % (folder.name, disc))
        self.korvel(["--extract", "-v", "0", "ddp-" + new, folder.name])
        self.assertFalse(differs(files(folder), self.extract[new]), folder.name)
        shutil.rmtree(folder)


if __name__ == "__main__":
    unittest.main()
