#!/usr/bin/python3
"""Likelihood work under a limit on the address space ends, and says how.

Each run is a child with RLIMIT_AS set to a size between what the program
needs to start and what the computation needs. It must end by itself,
either with its result or with the memory message, never by spinning: a
library that retries a refused allocation for ever would hold the run until
the processor-time limit (RLIMIT_CPU, which a slow but progressing run does
not reach) kills it. Where the limit leaves no room for the stacks of the
threads asked for, the work goes on on one thread and says so once.

Skipped (77) under the address sanitiser, whose shadow memory cannot live
under an address-space limit.

Usage: memory_limits.py <vorn>
"""
import os
import random
import re
import resource
import signal
import subprocess
import sys

from vorn_run import run_vorn

SKIP = 77
MEMORY = "Memory allocation failed; cannot continue this operation"
CPU_SECONDS = 30


def dna(ntax, nchar, seed):
    rng = random.Random(seed)
    # Sequences related by a tree: each new taxon copies an earlier one with
    # a few sites changed, so that a search settles quickly.
    seqs = [[rng.choice("ACGT") for _ in range(nchar)]]
    while len(seqs) < ntax:
        seq = list(rng.choice(seqs))
        for _ in range(nchar // 30):
            seq[rng.randrange(nchar)] = rng.choice("ACGT")
        seqs.append(seq)
    rows = ["t%d %s" % (t + 1, "".join(seq)) for t, seq in enumerate(seqs)]
    return ("#NEXUS\nbegin data; dimensions ntax=%d nchar=%d; format datatype=dna; matrix\n%s\n;\nend;\n"
            % (ntax, nchar, "\n".join(rows)))


def limited(kb):
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (kb * 1024, kb * 1024))
        resource.setrlimit(resource.RLIMIT_CPU, (CPU_SECONDS, CPU_SECONDS))
    return limit


def check(vorn, label, text, kb, result):
    """Failures of one run: it must end by itself, with a line matching
    `result` in its output or with the memory message."""
    what = "%s at %d KB" % (label, kb)
    try:
        run = run_vorn(vorn, text, limited(kb))
    except subprocess.TimeoutExpired:
        return ["%s: did not end" % what], ""
    out = run.stdout
    if run.returncode == -signal.SIGXCPU or run.returncode == -signal.SIGKILL:
        return ["%s: still running after %d s of processor time" % (what, CPU_SECONDS)], out
    failures = []
    if not re.search(result, out, re.M) and out.count(MEMORY) != 1:
        failures.append("%s: neither the result nor the memory message (status %d):\n%s"
                        % (what, run.returncode, out[-800:]))
    elif MEMORY in out and run.returncode != 32:
        failures.append("%s: the memory message with status %d" % (what, run.returncode))
    if "Attempt to create" in out:
        failures.append("%s: refused threads ended the work:\n%s" % (what, out[-800:]))
    return failures, out


def outcome(vorn, text, kb):
    run = run_vorn(vorn, text, limited(kb))
    return run.returncode, run.stdout


def lowest(vorn, text, lo, hi, holds):
    """The lowest limit in KB (to 125 KB) between lo and hi at whose run
    holds(output) is true, for a property that holds from some limit on."""
    while hi - lo > 125:
        mid = (lo + hi) // 2
        if holds(outcome(vorn, text, mid)[1]):
            hi = mid
        else:
            lo = mid
    return hi


def threads_after_start(vorn, label, text, result, refused, fallback):
    """Work asking for 4 threads under limits around the lowest at which it
    runs without `refused` (the threads refused, or for SVDQuartets the
    fallback itself): where the computation runs out after the threads
    started, the work must go on on one thread (printing `fallback`) and
    give the same result as without a limit. Some limit must meet that
    window. One thread may still run out near the edge (what the threads
    used is not all given back in the same places), but then it must say
    that memory ran out."""
    plain = re.search(result, outcome(vorn, text, 4000000)[1], re.M)
    if not plain:
        return ["%s: no result without a limit" % label]
    # The lowest limit with a result at all (the threads refused there).
    start = next((kb for kb in range(20000, 400000, 10000) if re.search(result, outcome(vorn, text, kb)[1], re.M)),
                 None)
    if start is None:
        return ["%s: no result under any limit tried" % label]
    failures, fell_back = [], 0
    # Where the threads start varies a little from run to run (how much
    # address space the threads' allocations reserve depends on how they
    # met), so a scan that missed the window looks for it again.
    for _ in range(3):
        started = lowest(vorn, text, start, 400000, lambda out: refused not in out)
        # The window can be narrow: it is as wide as what the computation
        # takes once its threads run (about 100 KB for the likelihood
        # search, whose threads give their stacks back when they end).
        for kb in range(started - 375, started + 1000, 50):
            rc, out = outcome(vorn, text, kb)
            found = re.search(result, out, re.M)
            ran_out = MEMORY in out or "Not enough memory for the" in out
            if not ran_out and (not found or found.group(0) != plain.group(0)):
                failures.append("%s at %d KB: status %d, neither %r nor the memory message:\n%s"
                                % (label, kb, rc, plain.group(0), out[-600:]))
            fell_back += fallback in out and bool(found) and not ran_out
            if "Attempt to create" in out:
                failures.append("%s at %d KB: refused threads ended the work" % (label, kb))
        if fell_back:
            break
    if fell_back == 0:
        failures.append("%s: no limit between %d and %d KB went on on one thread to the result"
                        % (label, started - 375, started + 1000))
    return failures


def main():
    vorn = os.path.abspath(sys.argv[1])
    with open(vorn, "rb") as f:
        if b"__asan_init" in f.read():
            print("skipped: address sanitiser build")
            return SKIP
    failures = []
    small = dna(60, 1000, 1)
    nj_lscores = ("begin vorn; set criterion=distance; nj; set criterion=likelihood;\n"
                  "lset nst=1 basefreq=equal rates=equal pinvar=0 nthreads=%d; lscores 1; end;\n")
    for kb in (30000, 60000, 100000, 150000):
        failures += check(vorn, "60 x 1000, lscores", small + nj_lscores % 1, kb, r"^-ln L +\d+\.\d+$")[0]
    failures += check(vorn, "600 x 2000, lscores", dna(600, 2000, 2) + nj_lscores % 1, 200000, r"^-ln L +\d+\.\d+$")[0]

    # A likelihood search asking for 8 threads: where their stacks do not
    # fit, the search runs on one thread, says so once, and finds its tree.
    search = dna(30, 1000, 3) + ("begin vorn; set criterion=likelihood; lset nst=1 basefreq=equal rates=equal pinvar=0"
                      " nthreads=8; hsearch; end;\n")
    note = "likelihood threads; computing on one thread."
    for kb in (60000, 150000, 250000):
        found, out = check(vorn, "likelihood HSearch", search, kb, r"Score of best tree\(s\) found = \d+\.\d+$")
        failures += found
        if out.count(note) > 1:
            failures.append("likelihood HSearch at %d KB: the fallback told %d times" % (kb, out.count(note)))

    # Memory that runs out after the threads started: the threads end and
    # the work goes on on one thread, with the same result.
    lik = ("begin vorn; set criterion=likelihood; lset nst=1 basefreq=equal rates=equal pinvar=0 nthreads=4;"
           " %s; end;\n")
    one = "likelihood threads; computing on one thread."
    failures += threads_after_start(vorn, "likelihood HSearch, 4 threads", dna(20, 500, 4) + lik % "hsearch",
                                    r"Score of best tree\(s\) found = \d+\.\d+$", "Could not start", "Not enough " +
                                    "memory for 4 " + one)
    failures += threads_after_start(vorn, "LScores, 4 threads", dna(60, 2000, 1) +
                                    lik.replace("set criterion=likelihood;", "set criterion=distance; nj; "
                                                "set criterion=likelihood;") % "lscores 1",
                                    r"^-ln L +\d+\.\d+$", "Could not start", "Not enough memory for 4 " + one)
    svdq = dna(30, 500, 5) + "begin vorn; svdquartets nthreads=4 evalq=all seed=3; end;\n"
    failures += threads_after_start(vorn, "SVDQuartets, 4 threads", svdq, r"Total weight of incompatible quartets = .*$",
                                    "Not enough memory for the list", "Not enough memory for 4 SVDQuartets threads; "
                                    "computing on one thread.")
    for f in failures:
        print("FAIL", f)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
