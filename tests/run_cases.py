#!/usr/bin/env python3
"""Runs golden end-to-end cases of korvel.

A case is a folder under tests/cases/. The runner copies the case's input
files into a fresh scratch folder, runs `setup.py` there when the case has
one (to generate audio), runs korvel with the arguments in `cmd`, and
compares byte for byte:

  stdout.exact / stderr.exact   what korvel printed (or stdout.regex /
                                stderr.regex: a Python regular expression
                                that must match the whole output)
  exit                          the exit status
  expected/<path>               files korvel must have written, at <path>
                                relative to the scratch folder
  absent                        paths (one per line) that must not exist

Optional: `stdin` (fed to korvel), `env` (KEY=VALUE lines added to a
C.UTF-8 environment). Everything else in the case folder is an input.

With --update the runner rewrites the golden files from what korvel did;
review the diff before committing it.
"""

import argparse
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

RESERVED = {"cmd", "setup.py", "stdout.exact", "stderr.exact", "stdout.regex",
            "stderr.regex", "exit", "expected", "absent", "env", "stdin"}
HERE = os.path.dirname(os.path.abspath(__file__))


def first_difference(expected: bytes, actual: bytes) -> str:
    n = min(len(expected), len(actual))
    offset = next((i for i in range(n) if expected[i] != actual[i]), n)
    lo = max(0, offset - 20)
    return (f"first difference at offset {offset} "
            f"(expected {len(expected)} bytes, got {len(actual)})\n"
            f"  expected: {expected[lo:offset + 40]!r}\n"
            f"  actual:   {actual[lo:offset + 40]!r}")


def read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


def write(path: str, data: bytes) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def run_case(korvel: str, case: str, update: bool) -> list:
    case = os.path.abspath(case)
    failures = []
    scratch = tempfile.mkdtemp(prefix="korvel-case-")
    try:
        for name in os.listdir(case):
            if name in RESERVED:
                continue
            src = os.path.join(case, name)
            if os.path.isdir(src):
                shutil.copytree(src, os.path.join(scratch, name))
            else:
                shutil.copy(src, scratch)

        env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8",
               "PYTHONPATH": HERE, "HOME": scratch}
        env_file = os.path.join(case, "env")
        if os.path.exists(env_file):
            for line in read(env_file).decode().splitlines():
                if "=" in line:
                    key, value = line.split("=", 1)
                    env[key] = value

        setup = os.path.join(case, "setup.py")
        if os.path.exists(setup):
            subprocess.run([sys.executable, setup], cwd=scratch, env=env, check=True)

        # Arguments may hold any bytes: read them as UTF-8 with escapes kept.
        cmd_text = read(os.path.join(case, "cmd")).decode("utf-8", "surrogateescape")
        args = [os.fsencode(a) for a in shlex.split(cmd_text)]
        stdin_file = os.path.join(case, "stdin")
        stdin = read(stdin_file) if os.path.exists(stdin_file) else b""
        proc = subprocess.run([b"korvel"] + args, executable=korvel, cwd=scratch, env=env,
                              input=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=600)

        for stream, actual in (("stdout", proc.stdout), ("stderr", proc.stderr)):
            exact = os.path.join(case, stream + ".exact")
            regex = os.path.join(case, stream + ".regex")
            if os.path.exists(regex):
                pattern = read(regex)
                if re.fullmatch(pattern, actual, re.DOTALL) is None:
                    failures.append(f"{stream} does not match {stream}.regex:\n{actual.decode(errors='replace')}")
            elif update:
                write(exact, actual)
            else:
                expected = read(exact) if os.path.exists(exact) else b""
                if expected != actual:
                    failures.append(f"{stream} differs: " + first_difference(expected, actual))

        exit_file = os.path.join(case, "exit")
        if update:
            write(exit_file, f"{proc.returncode}\n".encode())
        else:
            expected_exit = int(read(exit_file).decode().strip() or "0") if os.path.exists(exit_file) else 0
            if proc.returncode != expected_exit:
                failures.append(f"exit status {proc.returncode}, expected {expected_exit}\n"
                                f"stderr: {proc.stderr.decode(errors='replace')}")

        expected_dir = os.path.join(case, "expected")
        if os.path.isdir(expected_dir):
            for root, _, files in os.walk(expected_dir):
                for name in files:
                    golden = os.path.join(root, name)
                    rel = os.path.relpath(golden, expected_dir)
                    produced = os.path.join(scratch, rel)
                    if not os.path.exists(produced):
                        failures.append(f"{rel} was not written")
                    elif update:
                        write(golden, read(produced))
                    elif read(golden) != read(produced):
                        failures.append(f"{rel} differs: " + first_difference(read(golden), read(produced)))

        absent = os.path.join(case, "absent")
        if os.path.exists(absent):
            for rel in read(absent).decode().split():
                if os.path.lexists(os.path.join(scratch, rel)):
                    failures.append(f"{rel} exists but must not")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return failures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--korvel", required=True, help="the korvel binary to test")
    parser.add_argument("--update", action="store_true", help="rewrite the golden files")
    parser.add_argument("cases", nargs="+", help="case folders")
    opts = parser.parse_args()

    failed = 0
    for case in opts.cases:
        failures = run_case(os.path.abspath(opts.korvel), case, opts.update)
        name = os.path.basename(os.path.normpath(case))
        if failures:
            failed += 1
            print(f"FAIL {name}")
            for f in failures:
                print("  " + f.replace("\n", "\n  "))
        else:
            print(f"ok   {name}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
