#!/usr/bin/python3
"""A run that ends in failure must say why.

Runs hostile command files through the program (with -n, each in a fresh
directory) and checks that every run that failed printed an error
("Error...") or a warning (lines marked "******"). With -n a file that fails
ends the program with status 32 (16 when aborted); one that completes leaves
the program reading its empty standard input, which ends it with status 1. The files are the
cases of hostile/cases.txt and, for every command the help listing shows,
"<command> ?;" on a small data set (a usage request ends a file in failure),
and SVDQuartets on 60 taxa under address-space limits from too small to
start its threads to enough for the whole run (not under AddressSanitizer,
which cannot run in a limited address space).

Usage: failures_say_why.py <vorn> [case-filter]
"""
import concurrent.futures
import os
import random
import re
import resource
import subprocess
import sys
import tempfile
from vorn_run import cpu_limit

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "hostile")
SAYS_WHY = re.compile(r"^(Error|\*{6})", re.M)
COMPLETED = (0, 1)


def read(name):
    with open(os.path.join(HERE, name), encoding="utf-8") as f:
        return f.read()


def run(vorn, text, timeout=120, limit_kb=None):
    with tempfile.TemporaryDirectory(prefix="vorn-hostile-") as tmp:
        home = os.path.join(tmp, "home")
        os.makedirs(home)
        with open(os.path.join(tmp, "case.nex"), "w", encoding="utf-8") as f:
            f.write(text)
        env = {k: v for k, v in os.environ.items() if k not in ("HOME", "COLUMNS", "LINES")}
        env["HOME"] = home
        with open(os.devnull) as devnull:
            def limit():
                resource.setrlimit(resource.RLIMIT_AS, (limit_kb * 1024, limit_kb * 1024))

            done = subprocess.run([vorn, "-n", "case.nex"], cwd=tmp, env=env, stdin=devnull, capture_output=True,
                                  preexec_fn=cpu_limit(timeout, limit if limit_kb else None))
        out = done.stdout.decode("utf-8", "replace") + done.stderr.decode("utf-8", "replace")
        return done.returncode, out


def cases(vorn):
    """(label, file text) for every case."""
    for line in read("cases.txt").splitlines():
        if not line.strip() or line.startswith("#"):
            continue
        data, text = (part.strip() for part in line.split(":", 1))
        body = text if text.lower().startswith("begin") else "begin vorn;\n%s\nend;" % text
        yield line, read(data + ".nex") + "\n" + body + "\n"
    status, listing = run(vorn, "#NEXUS\nbegin vorn;\nhelp commands;\nend;\n")
    names = re.findall(r"^  [ *](\S+)", listing, re.M)
    if status not in COMPLETED or len(names) < 100:
        raise SystemExit("could not read the command list from 'help commands':\n" + listing)
    beetles = read("beetles.nex")
    for name in names:
        yield "beetles: %s ?;" % name, beetles + "\nbegin vorn;\n%s ?;\nend;\n" % name


def memory_cases(vorn):
    """(label, file text, limit in KB) for runs short of memory at each stage."""
    with open(vorn, "rb") as f:
        if b"__asan_init" in f.read():
            return
    rng = random.Random(5)
    rows = "\n".join("t%d %s" % (i, "".join(rng.choice("ACGT") for _ in range(1000))) for i in range(60))
    data = "#NEXUS\nbegin data; dimensions ntax=60 nchar=1000; format datatype=dna;\nmatrix\n%s\n;\nend;\n" % rows
    for threads in (8, 1):
        for kb in range(60000, 170001, 10000):
            yield ("svdquartets nthreads=%d under %d KB" % (threads, kb),
                   data + "begin vorn;\nsvdquartets nthreads=%d seed=1 nquartets=20000;\nend;\n" % threads, kb)


def main():
    vorn = os.path.abspath(sys.argv[1])
    only = sys.argv[2] if len(sys.argv) > 2 else None
    todo = [(label, text, None) for label, text in cases(vorn)] + list(memory_cases(vorn))
    todo = [c for c in todo if not only or only in c[0]]
    silent, failed = [], 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        for (label, _, _), (status, out) in zip(todo, pool.map(lambda c: run(vorn, c[1], limit_kb=c[2]), todo)):
            if status in COMPLETED:
                continue
            failed += 1
            if not SAYS_WHY.search(out):
                silent.append("%s\n  exit status %d with no error or warning; output ends:\n%s"
                              % (label, status, "\n".join("    " + l for l in out.splitlines()[-8:])))
    for s in silent:
        print(s)
    print("%d cases, %d ended in failure, %d of them silently" % (len(todo), failed, len(silent)))
    print("%d passed, %d failed" % (len(todo) - len(silent), len(silent)))
    return 1 if silent else 0


if __name__ == "__main__":
    sys.exit(main())
