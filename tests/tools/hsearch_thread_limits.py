#!/usr/bin/env python3
"""Limits of a random-addition search whose replicates run side by side.

Usage: hsearch_thread_limits.py VORN

Time: with timeLimit and limitPerRep every replicate has the limit to
itself. On four processors each replicate that reports the limit hit must
have had that much processor time of its own, so the run's processor time
is at least the limit times the replicates stopped by it (one clock shared
by all threads stops them all after the limit in all).

Memory: under an address-space limit the smallest (of a few) at which the
search succeeds on one processor, the same search on several must succeed
too: short of memory for its threads it goes on on one thread, and what the
threads took must not stay taken.

Skipped (77) with fewer than two usable processors; the memory check is
skipped where no limit tried lets the one-processor run succeed (a
sanitizer's shadow memory takes more address space than any of them).
"""
import os
import random
import re
import resource
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit, usable_processors  # noqa: E402


def random_dna(path, ntax, nchar, seed):
    rng = random.Random(seed)
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin data; dimensions ntax=%d nchar=%d; format datatype=dna; matrix\n" % (ntax, nchar))
        for i in range(ntax):
            f.write("t%d %s\n" % (i + 1, "".join(rng.choice("ACGT") for _ in range(nchar))))
        f.write(";\nend;\nset dstatus=0;\n")


def add_commands(path, text):
    with open(path, "a") as f:
        f.write(text + "\nquit;\n")


def run(vorn, workdir, nexus, cpus, limits=None):
    """Runs the file on the first `cpus` processors; (output, status, processor seconds)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    mask = sorted(os.sched_getaffinity(0))[:cpus]
    proc = subprocess.run([vorn, "-n", nexus], cwd=workdir, capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          preexec_fn=cpu_limit(240, lambda: (os.sched_setaffinity(0, mask),
                                                             limits and limits())))
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    used = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return proc.stdout + proc.stderr, proc.returncode, used


def check_time_per_replicate(vorn, workdir, cpus):
    nexus = os.path.join(workdir, "time.nex")
    random_dna(nexus, 200, 1000, 1)
    limit = 1
    add_commands(nexus, "hsearch addseq=random nreps=%d rseed=1 timelimit=%d limitperrep reconlimit=infinity;"
                 % (cpus, limit))
    out, status, used = run(vorn, workdir, nexus, cpus)
    if status != 0:
        return ["time limit: exit %d\n%s" % (status, out[-2000:])]
    m = re.search(r"limit was hit in\s+(\d+)\s+replicate", out)
    if not m:
        return ["time limit: no replicate met the limit; make the data larger\n%s" % out[-2000:]]
    limited = int(m.group(1))
    if used < 0.9 * limit * limited:
        return ["time limit: %d replicates stopped by a %d s limit after %.2f s of processor time in all"
                % (limited, limit, used)]
    print("time limit: %d replicates stopped, %.2f s of processor time" % (limited, used))
    return []


def check_memory_fallback(vorn, workdir, cpus):
    nexus = os.path.join(workdir, "memory.nex")
    random_dna(nexus, 600, 2000, 1)
    add_commands(nexus, "hsearch addseq=random nreps=8 rseed=1 timelimit=2;")
    for kb in (40000, 60000, 100000, 200000):
        def limit(kb=kb):
            resource.setrlimit(resource.RLIMIT_AS, (kb * 1024, kb * 1024))
        _, status, _ = run(vorn, workdir, nexus, 1, limit)
        if status != 0:
            continue
        out, status, _ = run(vorn, workdir, nexus, cpus, limit)
        if status != 0 or "Memory allocation failed" in out:
            return ["memory: one processor succeeds under %d KB, %d processors end with exit %d\n%s"
                    % (kb, cpus, status, out[-1500:])]
        print("memory: %d KB is enough on one processor and on %d" % (kb, cpus))
        return []
    print("memory check skipped: no limit tried lets the search run")
    return []


def main():
    vorn = os.path.abspath(sys.argv[1])
    cpus = min(usable_processors(), 8)
    if cpus < 2:
        print("skipped: fewer than two usable processors")
        return 77
    with tempfile.TemporaryDirectory() as workdir:
        faults = check_time_per_replicate(vorn, workdir, cpus)
        faults += check_memory_fallback(vorn, workdir, cpus)
    for f in faults:
        print("FAIL", f)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
