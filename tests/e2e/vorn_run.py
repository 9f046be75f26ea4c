"""Runs the vorn program on a command text in a fresh directory, the way
the e2e check scripts beside this file need it."""
import os
import re
import subprocess
import tempfile


def run_vorn(vorn, text):
    """The finished run of `vorn -n` on text, in a fresh working and home
    directory and with nothing on standard input."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "m.nex")
        with open(path, "w") as f:
            f.write(text)
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
        env["HOME"] = tmp
        with open(os.devnull) as devnull:
            return subprocess.run([vorn, "-n", path], cwd=tmp, env=env, stdin=devnull, capture_output=True,
                                  text=True, timeout=120)


def pooled_classes(stdout, last):
    """The rows of PatFitTest's pooled tables: {(steps, state mask): (class
    probability, observed)}, with a pooled last class ">k" read as `last`."""
    got, label = {}, None
    for line in stdout.splitlines():
        r = re.match(r"^(.{10})(.{10})\s+(\d+\.\d{8})\s+(\d+\.\d{3})\s+(\d+\.\d{3})", line)
        if not r or r.group(1).strip() == "Total":
            continue
        if r.group(1).strip():
            label = r.group(1).strip()
        s = last if label.startswith(">") else int(label)
        mask = sum(1 << "ACGT".index(ch) for ch in r.group(2) if ch != " ")
        got[(s, mask)] = (float(r.group(3)), float(r.group(4)))
    return got
