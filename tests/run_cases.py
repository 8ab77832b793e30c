#!/usr/bin/env python3
"""Runs golden end-to-end cases of korvel.

A case is a folder under tests/cases/. The runner copies the case's input files into a fresh
scratch folder, runs `setup.py` there when the case has one (to generate audio), runs korvel
with the arguments in `cmd`, and compares byte for byte:

  stdout.exact / stderr.exact   what korvel printed (or stdout.regex / stderr.regex: a Python
                                regular expression that must match the whole output)
  exit                          the exit status
  expected/<path>               files korvel must have written, at <path> in the scratch folder
  absent                        paths (one per line) that must not exist

Every case runs twice: as `cmd` says, and with `--threads=2` before its arguments, with the same
results. Optional: `stdin` (fed to korvel), `env` (KEY=VALUE lines added to a C.UTF-8 environment).
Everything else in the case folder is an input. With --update the runner rewrites the golden
files from what korvel did; review the diff before committing it.
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

RESERVED = {"cmd", "setup.py", "stdout.exact", "stderr.exact", "stdout.regex", "stderr.regex", "exit", "expected",
            "absent", "env", "stdin"}
HERE = os.path.dirname(os.path.abspath(__file__))


def first_difference(expected, actual):
    n = min(len(expected), len(actual))
    at = next((i for i in range(n) if expected[i] != actual[i]), n)
    lo = max(0, at - 20)
    return (f"first difference at offset {at} (expected {len(expected)} bytes, got {len(actual)})\n"
            f"  expected: {expected[lo:at + 40]!r}\n  actual:   {actual[lo:at + 40]!r}")


def read(path, default=None):
    if default is not None and not os.path.exists(path):
        return default
    with open(path, "rb") as f:
        return f.read()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def run_case(korvel, case, update, extra=()):
    case, failures = os.path.abspath(case), []
    at = lambda name: os.path.join(case, name)

    def compare(golden, actual, what):
        if update:
            write(golden, actual)
        elif read(golden, b"") != actual:
            failures.append(f"{what} differs: " + first_difference(read(golden, b""), actual))

    scratch = tempfile.mkdtemp(prefix="korvel-case-")
    try:
        for name in set(os.listdir(case)) - RESERVED:
            (shutil.copytree if os.path.isdir(at(name)) else shutil.copy)(at(name), os.path.join(scratch, name))
        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8", "PYTHONPATH": HERE,
               "HOME": scratch}
        env.update(line.split("=", 1) for line in read(at("env"), b"").decode().splitlines() if "=" in line)
        if os.path.exists(at("setup.py")):
            subprocess.run([sys.executable, at("setup.py")], cwd=scratch, env=env, check=True)
        # Arguments may hold any bytes: read them as UTF-8 with escapes kept.
        args = [os.fsencode(a) for a in shlex.split(read(at("cmd")).decode("utf-8", "surrogateescape"))]
        proc = subprocess.run([b"korvel"] + [os.fsencode(a) for a in extra] + args, executable=korvel, cwd=scratch, env=env, input=read(at("stdin"), b""),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
        for stream, actual in (("stdout", proc.stdout), ("stderr", proc.stderr)):
            if not os.path.exists(at(stream + ".regex")):
                compare(at(stream + ".exact"), actual, stream)
            elif re.fullmatch(read(at(stream + ".regex")), actual, re.DOTALL) is None:
                failures.append(f"{stream} does not match {stream}.regex:\n{actual.decode(errors='replace')}")
        expected_exit = int(read(at("exit"), b"0").decode().strip() or "0")
        if update:
            write(at("exit"), f"{proc.returncode}\n".encode())
        elif proc.returncode != expected_exit:
            failures.append(f"exit status {proc.returncode}, expected {expected_exit}\n"
                            f"stderr: {proc.stderr.decode(errors='replace')}")
        for root, _, names in os.walk(at("expected")):
            for name in names:
                rel = os.path.relpath(os.path.join(root, name), at("expected"))
                if not os.path.exists(os.path.join(scratch, rel)):
                    failures.append(f"{rel} was not written")
                else:
                    compare(os.path.join(root, name), read(os.path.join(scratch, rel)), rel)
        failures += [f"{rel} exists but must not" for rel in read(at("absent"), b"").decode().split()
                     if os.path.lexists(os.path.join(scratch, rel))]
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--korvel", required=True, help="the korvel binary to test")
    parser.add_argument("--update", action="store_true", help="rewrite the golden files")
    parser.add_argument("cases", nargs="+", help="case folders")
    opts = parser.parse_args()
    failed = 0
    for case in opts.cases:
        # Each case also with the copy and the checksums forced onto two threads: the same bytes and messages.
        failures = run_case(os.path.abspath(opts.korvel), case, opts.update)
        if not opts.update:
            failures += ["with --threads=2: " + f for f in run_case(os.path.abspath(opts.korvel), case, False,
                                                                    ["--threads=2"])]
        failed += bool(failures)
        print(("FAIL " if failures else "ok   ") + os.path.basename(os.path.normpath(case)))
        for f in failures:
            print("  " + f.replace("\n", "\n  "))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
