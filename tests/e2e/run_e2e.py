#!/usr/bin/python3
"""Runs one end-to-end case of the vorn program and compares what it did.

A case is tests/e2e/<name>.nex with, beside it:
  <name>.out     expected standard output (required)
  <name>.err     expected standard error (else it must be empty)
  <name>.status  expected exit status (else 0)
  <name>.args    the command line after the program name, one line;
                 {file} stands for the case's .nex file (default: -n {file})
  <name>.stdin   the file of the working directory fed to standard input,
                 one line; {file} stands for the case's .nex file (default:
                 an empty input)
  <name>.home/   files put in the home directory before the run
  <name>.dir/    files put in the working directory before the run
  <name>.files/  files the run must leave: home/... in the home directory,
                 everything else in the working directory
  <name>.env     environment variables set for the run, one "NAME=VALUE"
                 a line (the program's test hooks)
  <name>.lock    files of the working directory (one a line) that another
                 process holds write-locked during the run
  <name>.tol     estimates read off a flat likelihood surface, where the
                 minimiser's stopping point is defined only to within its
                 tolerance: one a line, "<tolerance> <regular expression>";
                 an expected output line the expression matches may differ
                 from the actual one only in its numbers, each within
                 tolerance x max(1, |expected|) of the expected number
  <name>.cpus    the processors the case needs, one number: with fewer
                 usable by this process (its affinity mask), the threads
                 the case shows are not those the program would choose
                 there, so the case is skipped (status 77) and says why

Each run gets a fresh working directory and home directory. Before
comparing, text that changes from run to run is masked: those two
directories, the build line and date of the banner, the compiler version,
the clock shown by Time, the durations searches report, the status display
of long searches and the time stamps of saved tree, distance and converted
files.
With VORN_E2E_BLESS=1 the actual results are written as the expectations.
"""
import fcntl
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

from vorn_run import cpu_limit, usable_processors

MASKS = [
    (re.compile(r"^Version \S+ for Unix/Linux \(built on .* at .*\)$", re.M),
     "Version <version> for Unix/Linux (built on <date> at <time>)"),
    (re.compile(r"^VORN \S+ for Unix/Linux$", re.M), "VORN <version> for Unix/Linux"),
    (re.compile(r"^[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}$", re.M), "<date>"),
    (re.compile(r"^(Compiled using .*?)\d+\.\d+\.\d+$", re.M), r"\1<n.n.n>"),
    (re.compile(r"^(Current date and time:  )[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}$",
                re.M), r"\1<date>"),
    # The status display of a search, bootstrap, jackknife, AllTrees or
    # quartet puzzling: shown only once the status interval has passed, so
    # only when the machine is slow. Removed whole, with the blank line the
    # table opens with, so that a transcript reads the same however busy
    # the machine is.
    (re.compile(r"(?:^\n)?^    Elapsed [^\n]*\n       time [^\n]*\n-+\n", re.M), ""),
    (re.compile(r"^ *\d+:\d\d:\d\d  [^\n]*\n", re.M), ""),
    # The duration a search or a scoring command reports.
    (re.compile(r"^( *Time used[^=\n]* = ).*$", re.M), r"\1<time>"),
    # The time a TREES block met in an executed file took to read: left out,
    # so that the many transcripts reading one show only the count.
    (re.compile(r"( read from TREES block(?: before canceling)?); time used = [^\n]*"), r"\1"),
    # How many replicates ran ahead on other threads: printed only when they
    # did, so a transcript reads the same on any number of processors.
    (re.compile(r"^   Replicates run ahead on \d+ threads = .*\n", re.M), ""),
    # The machine's processor count, which the likelihood settings name.
    (re.compile(r"( threads? on )\d+( processors?)"), r"\1<n>\2"),
    # The time stamp of a saved tree or distance file.
    (re.compile(r"(\[(?:Treefile|Distance matrix) saved )[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}\]"), r"\1<date>]"),
    # The time stamp of a file converted by ToNEXUS.
    (re.compile(r"(\(imported )[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}\)"), r"\1<date>)"),
    # The time stamp of a saved assumptions file.
    (re.compile(r"(Assumptions saved by VORN on )[A-Z][a-z]{2} [A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d \d{4}"), r"\1<date>"),
]


def mask(text, work, home):
    text = text.replace(home, "<home>").replace(work, "<dir>")
    for pattern, replacement in MASKS:
        text = pattern.sub(replacement, text)
    return text


def read(path, default=None):
    if not os.path.exists(path):
        return default
    with open(path, encoding="utf-8", errors="replace") as f:
        return f.read()


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def main():
    vorn, case = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    stem = case[:-len(".nex")]
    name = os.path.basename(stem)
    bless = os.environ.get("VORN_E2E_BLESS") == "1"
    needed = int((read(stem + ".cpus", "1") or "1").strip())
    usable = usable_processors()
    if usable < needed:
        print("skipped: %s needs %d processors, this process may use %d" % (name, needed, usable))
        return 77

    with tempfile.TemporaryDirectory(prefix="vorn-e2e-") as tmp:
        tmp = os.path.realpath(tmp)
        work, home = os.path.join(tmp, "work"), os.path.join(tmp, "home")
        os.makedirs(work)
        os.makedirs(home)
        for source, target in ((stem + ".home", home), (stem + ".dir", work)):
            if os.path.isdir(source):
                shutil.copytree(source, target, dirs_exist_ok=True)
        shutil.copy(case, os.path.join(work, name + ".nex"))

        args_line = (read(stem + ".args", "-n {file}") or "").strip()
        args = [a.replace("{file}", name + ".nex") for a in shlex.split(args_line)]
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
        env["HOME"] = home
        env["TZ"] = "UTC"
        for line in (read(stem + ".env", "") or "").splitlines():
            if line.strip():
                key, value = line.strip().split("=", 1)
                env[key] = value
        held = []
        for rel in (read(stem + ".lock", "") or "").split():
            f = open(os.path.join(work, rel), "a")
            fcntl.lockf(f, fcntl.LOCK_EX | fcntl.LOCK_NB)
            held.append(f)
        stdin_line = (read(stem + ".stdin", "") or "").strip()
        stdin_path = os.path.join(work, stdin_line.replace("{file}", name + ".nex")) if stdin_line else os.devnull
        with open(stdin_path) as stdin:
            run = subprocess.run([vorn] + args, cwd=work, env=env, stdin=stdin,
                                 capture_output=True, preexec_fn=cpu_limit(900))
        for f in held:
            f.close()

        actual = {
            ".out": mask(run.stdout.decode("utf-8", "replace"), work, home),
            ".err": mask(run.stderr.decode("utf-8", "replace"), work, home),
        }
        files = {}
        if os.path.isdir(stem + ".files"):
            for root, _, names in os.walk(stem + ".files"):
                for n in names:
                    rel = os.path.relpath(os.path.join(root, n), stem + ".files")
                    real = os.path.join(home, rel[5:]) if rel.startswith("home" + os.sep) \
                        else os.path.join(work, rel)
                    files[rel] = mask(read(real, "<missing>"), work, home)

        if bless:
            write(stem + ".out", actual[".out"])
            if actual[".err"]:
                write(stem + ".err", actual[".err"])
            if run.returncode != 0:
                write(stem + ".status", "%d\n" % run.returncode)
            for rel, text in files.items():
                write(os.path.join(stem + ".files", rel), text)
            return 0

        failures = []
        expected_status = int((read(stem + ".status", "0") or "0").strip())
        if run.returncode != expected_status:
            failures.append("exit status %d, expected %d" % (run.returncode, expected_status))
        tolerances = read_tolerances(stem + ".tol")
        for ext in (".out", ".err"):
            expected = read(stem + ext, "")
            if actual[ext] != expected and not within_tolerance(expected, actual[ext], tolerances):
                failures.append(diff(name + ext, expected, actual[ext]))
        for rel, text in files.items():
            expected = read(os.path.join(stem + ".files", rel))
            if text != expected:
                failures.append(diff(rel, expected, text))
        if failures:
            print("\n".join(failures))
            return 1
        return 0


NUMBER = re.compile(r"[-+]?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?")


def read_tolerances(path):
    rules = []
    for line in (read(path, "") or "").splitlines():
        if line.strip():
            tol, pattern = line.strip().split(None, 1)
            rules.append((float(tol), re.compile(pattern)))
    return rules


def within_tolerance(expected, actual, rules):
    """True when the texts differ only in numbers of lines a rule names,
    each within that rule's tolerance."""
    if not rules:
        return False
    want, got = expected.splitlines(), actual.splitlines()
    if len(want) != len(got):
        return False
    for w, g in zip(want, got):
        if w == g:
            continue
        tol = next((t for t, rule in rules if rule.search(w)), None)
        if tol is None or NUMBER.sub("#", w) != NUMBER.sub("#", g):
            return False
        for a, b in zip(NUMBER.findall(w), NUMBER.findall(g)):
            if abs(float(a) - float(b)) > tol * max(1.0, abs(float(a))):
                return False
    return True


def diff(label, expected, actual):
    import difflib
    lines = difflib.unified_diff(expected.splitlines(True), actual.splitlines(True),
                                 "expected " + label, "actual " + label)
    return "".join(lines)


if __name__ == "__main__":
    sys.exit(main())
