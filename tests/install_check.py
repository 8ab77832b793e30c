"""korvel as an installed Unix tool: the manual page passes the formatters'
lint and documents every option the binary offers, `cmake --install` puts a
working binary, the page and the completions where man, bash and zsh find them,
the completions offer what each mode takes, a release binary carries Debian's
hardening and its package passes lintian.

Run by CTest with KORVEL (the binary), KORVEL_BUILD_DIR, KORVEL_VERSION (the
project's version) and KORVEL_HARDENED (1 for a hardened build) in the
environment. A part that needs a tool the machine lacks (groff or mandoc, man,
bash-completion, zsh, readelf, cpack's dpkg tools, lintian) skips with a message."""

import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest

SOURCE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MAN_PAGE = os.path.join(SOURCE, "doc", "korvel.1")
COMPLETION = os.path.join(SOURCE, "doc", "korvel.bash-completion")
ZSH_COMPLETION = os.path.join(SOURCE, "doc", "korvel.zsh-completion")
BASH_COMPLETION = "/usr/share/bash-completion/bash_completion"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def run(args, **kw):
    return subprocess.run(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)


class ManPage(unittest.TestCase):
    def test_formatters_find_nothing_to_warn_about(self):
        checked = 0
        if shutil.which("groff"):
            r = run(["groff", "-ww", "-z", "-man", MAN_PAGE])
            self.assertEqual((r.returncode, r.stderr.decode()), (0, ""))
            checked += 1
        if shutil.which("mandoc"):
            r = run(["mandoc", "-T", "lint", MAN_PAGE])
            self.assertEqual((r.returncode, r.stdout.decode() + r.stderr.decode()), (0, ""))
            checked += 1
        if not checked:
            self.skipTest("neither groff nor mandoc is installed")

    def test_every_option_in_help_is_in_the_page_and_the_completion(self):
        r = run([os.environ["KORVEL"], "--help"])
        self.assertEqual(r.returncode, 0)
        options = set(re.findall(r"(?<![\w-])(--?[a-z][a-z-]*)", r.stdout.decode()))
        self.assertTrue({"-c", "-m", "-t", "-v", "--add-cuesheet", "--help", "--version"} <= options, options)
        page = read(MAN_PAGE).decode()
        page = page[page.index(".SH OPTIONS"):page.index(".SH", page.index(".SH OPTIONS") + 1)]
        completion = read(COMPLETION).decode()
        for option in sorted(options):
            with self.subTest(option=option):
                self.assertRegex(page, re.escape(option.replace("-", "\\-")) + r"(?![\w\\])")
                self.assertRegex(completion, r"[' ]" + re.escape(option) + r"[=' \n]")


class Install(unittest.TestCase):
    def setUp(self):
        self.prefix = tempfile.mkdtemp(prefix="korvel-install-")
        self.addCleanup(shutil.rmtree, self.prefix, ignore_errors=True)
        r = run(["cmake", "--install", os.environ["KORVEL_BUILD_DIR"], "--prefix", self.prefix])
        self.assertEqual(r.returncode, 0, r.stderr.decode())

    def installed(self, *names):
        return os.path.join(self.prefix, *names)

    def test_binary_page_and_completion_land_in_their_folders(self):
        binary = self.installed("bin", "korvel")
        self.assertTrue(os.access(binary, os.X_OK))
        r = run([binary, "--version"], cwd=self.prefix)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        self.assertEqual(r.stdout.decode().splitlines()[0], "korvel  (vantrel %s)" % os.environ["KORVEL_VERSION"])
        self.assertEqual(gzip.decompress(read(self.installed("share", "man", "man1", "korvel.1.gz"))),
                         read(MAN_PAGE))
        self.assertEqual(read(self.installed("share", "bash-completion", "completions", "korvel")), read(COMPLETION))
        self.assertEqual(read(self.installed("share", "zsh", "site-functions", "_korvel")), read(ZSH_COMPLETION))

    def test_zsh_finds_the_installed_completion_and_it_gives_each_mode_its_operands(self):
        if shutil.which("zsh") is None:
            self.skipTest("zsh is not installed")
        # compinit reads the #compdef line; _arguments is replaced by a stub that prints what it was given.
        script = ('fpath=($1 $fpath); autoload -Uz compinit; compinit -u -d $2/dump; print -r -- $_comps[korvel]\n'
                  '_arguments() { print -rl -- "$@" }; shift 2; words=("$@"); CURRENT=$#; _korvel')
        for line, operands in [("korvel -c disc.cue ", [":cue sheet:_files -g \"*.(#i)cue(-.)\"",
                                                         "::DDP directory:_files -/"]),
                                ("korvel --check a b ", ['*:DDP fileset directory or ZIP archive:_files -g "*.(#i)zip(-.)"']),
                                ("korvel -v 0 --extract a ", [':DDP fileset directory or ZIP archive:_files -g '
                                                              '"*.(#i)zip(-.)"',
                                                               ":output directory:_files -/"]),
                                ("korvel --diff a ", [':DDP fileset A:_files -g "*.(#i)zip(-.)"',
                                                      ':DDP fileset B:_files -g "*.(#i)zip(-.)"'])]:
            with self.subTest(line=line):
                r = run(["zsh", "-f", "-c", script, "zsh", self.installed("share", "zsh", "site-functions"),
                         self.prefix] + line.split(" "))
                self.assertEqual(r.returncode, 0, r.stderr.decode())
                out = r.stdout.decode().splitlines()
                self.assertEqual((out[0], [a for a in out if a.startswith((":", "*:"))]), ("_korvel", operands))

    def test_man_finds_and_renders_the_installed_page(self):
        if shutil.which("man") is None:
            self.skipTest("man is not installed (Debian package man-db)")
        env = dict(os.environ, MANPATH=self.installed("share", "man"), MANWIDTH="200", LC_ALL="C.UTF-8")
        r = run(["man", "-w", "korvel"], env=env)
        self.assertEqual(r.stdout.decode().strip(), self.installed("share", "man", "man1", "korvel.1.gz"))
        r = run(["man", "-P", "cat", "korvel"], env=env)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        text = re.sub(r".\x08", "", r.stdout.decode())  # overstrike bold and underline
        self.assertIn("korvel - write, check and extract DDP 2.00 filesets for audio CD pressing", text)
        for heading in ("SYNOPSIS", "OPTIONS", "CUE SHEETS", "EXIT STATUS", "EXAMPLES", "FILES", "SEE ALSO"):
            self.assertRegex(text, "(?m)^" + heading + "$")


class Completion(unittest.TestCase):
    """The completion function run as bash runs it for a command line ending at the cursor."""

    def setUp(self):
        if not os.path.exists(BASH_COMPLETION):
            self.skipTest("bash-completion is not installed")
        self.dir = tempfile.mkdtemp(prefix="korvel-complete-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        for name in ("disc.cue", "OLD.CUE", "a.wav", "notes.txt", "a.zip"):
            open(os.path.join(self.dir, name), "w").close()
        for name in ("ddp", "wav"):
            os.mkdir(os.path.join(self.dir, name))

    def complete(self, line):
        """What the completion offers at the end of `line`, split into words as bash splits it."""
        words = re.findall(r"[^\s=]+|=", line) + ([""] if line[-1] in " " else [])
        script = (f"source {BASH_COMPLETION}; source {COMPLETION}; cd {self.dir}\n"
                  'COMP_LINE=$1; COMP_POINT=${#1}; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1))\n'
                  '_korvel korvel "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"\n'
                  'printf "%s\\n" "${COMPREPLY[@]}"\n')
        r = run(["bash", "-c", script, "bash", line] + words)
        self.assertEqual(r.returncode, 0, r.stderr.decode())
        return sorted(set(r.stdout.decode().split()))

    def test_each_mode_is_offered_what_it_takes(self):
        cases = [
            ("korvel ", ["OLD.CUE", "ddp", "disc.cue", "wav"]),
            ("korvel -c disc.cue ", ["ddp", "wav"]),
            ("korvel -m ID -v 2 disc.cue ", ["ddp", "wav"]),
            ("korvel -tm ID disc.cue ", ["ddp", "wav"]),
            ("korvel disc.cue ddp ", []),
            ("korvel --check ", ["a.zip", "ddp", "wav"]),
            ("korvel --check ddp ", ["a.zip", "ddp", "wav"]),
            ("korvel --extract ", ["a.zip", "ddp", "wav"]),
            ("korvel --extract a.zip ", ["ddp", "wav"]),
            ("korvel --zip=", ["a.zip", "ddp", "wav"]),
            ("korvel --extract --json ddp wav ", []),
            ("korvel --diff ddp ", ["a.zip", "ddp", "wav"]),
            ("korvel --pq-sheet=", ["OLD.CUE", "a.wav", "a.zip", "ddp", "disc.cue", "notes.txt", "wav"]),
            ("korvel --pq-sheet=n", ["notes.txt"]),
            ("korvel --pq-sheet sheet.html ", ["OLD.CUE", "ddp", "disc.cue", "wav"]),
            ("korvel -v ", ["0", "1", "2", "3", "4"]),
            ("korvel --threads ", ["1", "2"]),
            ("korvel --threads 2 ", ["OLD.CUE", "ddp", "disc.cue", "wav"]),
            ("korvel --master-id=", []),
            ("korvel --p", ["--pq-sheet=", "--proof"]),
            ("korvel --e", ["--extract"]),
            ("korvel --extract --format ", ["flac", "wav"]),
            ("korvel --extract --format flac ", ["a.zip", "ddp", "wav"]),
            ("korvel --", ["--add-cdtext", "--add-cuesheet", "--audio", "--check", "--cue-charset=", "--diff", "--extract",
                           "--format=", "--help", "--json", "--master-id=", "--pq-sheet=", "--proof", "--threads=",
                           "--verbose=", "--version", "--zip="]),
            ("korvel --cue-charset=CP125", ["CP125%d" % n for n in range(9)]),
            ("korvel --cue-charset CP932 ", ["OLD.CUE", "ddp", "disc.cue", "wav"]),
        ]
        for line, offered in cases:
            with self.subTest(line=line):
                self.assertEqual(self.complete(line), offered)


class Release(unittest.TestCase):
    """What a release build and its Debian package carry, as readelf and lintian see them."""

    def setUp(self):
        if os.environ.get("KORVEL_HARDENED") != "1":
            self.skipTest("this build is not hardened (Release builds are, unless KORVEL_HARDENING is OFF)")

    def test_the_binary_has_debians_hardening(self):
        if shutil.which("readelf") is None:
            self.skipTest("readelf is not installed (Debian package binutils)")
        elf = run(["readelf", "-h", "-l", "-d", "--dyn-syms", "-W", os.environ["KORVEL"]]).stdout.decode()
        self.assertRegex(elf, r"Type:\s+DYN ")  # position-independent: loaded at a random address
        self.assertRegex(elf, r"\(FLAGS_1\)\s+Flags: NOW PIE")  # bound at start, so the table can be read-only
        self.assertIn("GNU_RELRO", elf)
        self.assertIn("__stack_chk_fail", elf)  # the canary's check
        self.assertRegex(elf, r"__\w+_chk\b(?<!__stack_chk)")  # bounds-checked libc calls (_FORTIFY_SOURCE)

    def test_lintian_finds_no_error_or_warning_in_the_package(self):
        missing = [t for t in ("cpack", "dpkg-shlibdeps", "lintian") if shutil.which(t) is None]
        if missing:
            self.skipTest("not installed: " + ", ".join(missing))
        out = tempfile.mkdtemp(prefix="korvel-deb-")
        self.addCleanup(shutil.rmtree, out, ignore_errors=True)
        config = os.path.join(os.environ["KORVEL_BUILD_DIR"], "CPackConfig.cmake")
        r = run(["cpack", "-G", "DEB", "-B", out, "--config", config])
        self.assertEqual(r.returncode, 0, r.stdout.decode() + r.stderr.decode())
        deb = [os.path.join(out, n) for n in os.listdir(out) if n.endswith(".deb")]
        tags = run(["lintian", "-I", "--show-overrides"] + deb).stdout.decode().splitlines()
        self.assertEqual([t for t in tags if t.startswith(("E:", "W:")) or "hardening" in t], [])
        # The overrides name the two established spellings, and lintian finds them used.
        self.assertEqual(sorted(t.split()[3] for t in tags if t.startswith("O:")), ["faild", "pervious"])


if __name__ == "__main__":
    unittest.main()
