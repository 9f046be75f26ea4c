#!/usr/bin/python3
"""A likelihood search stops when asked, in every phase: the time limit ends
stepwise addition and branch swapping (also while the parameters of each
tree are estimated) within a few seconds of CPU time of the limit, an
interrupt ends either, and stepwise addition shows its status rows (taxa
added, no rearrangements yet) as it goes.

A search left alone here runs for minutes (stepwise addition alone for
tens of seconds), and one that stops only between phases runs on for more
than ten seconds; a stop is due within a second or two. The bounds below
leave the difference to a busy machine, which may give the run a small
share of a processor: they fail a search that does not stop, never one
that stops late for want of a processor.

Usage: search_stop_checks.py <vorn>
"""
import os
import random
import resource
import re
import signal
import sys
import tempfile
import time

from vorn_run import read_output, start_vorn

# Sixty taxa under likelihood: stepwise addition scores thousands of whole
# trees and TBR swapping tens of thousands, far longer than the limits here.
NTAX, NCHAR = 60, 400


def data_block(seed):
    rng = random.Random(seed)
    base = [rng.choice("ACGT") for _ in range(NCHAR)]
    rows = []
    for i in range(NTAX):
        seq = [c if rng.random() < 0.7 else rng.choice("ACGT") for c in base]
        rows.append("  t%d %s" % (i + 1, "".join(seq)))
    return ("#NEXUS\nbegin data; dimensions ntax=%d nchar=%d; format datatype=dna;\nmatrix\n%s\n;\nend;\n"
            % (NTAX, NCHAR, "\n".join(rows)))


# Stepwise addition joins whole trees here (fastStep=no), so that it runs
# long enough to show its rows and meet the limits.
FIXED = "lset nst=1 basefreq=equal fastStep=no"
# Every parameter estimated on every tree: one score is many whole-tree fits.
ESTIMATED = "lset nst=2 tratio=estimate basefreq=estimate rates=gamma shape=estimate pinvar=estimate"

# Seconds past a time limit, and after an interrupt, that a run may take to end.
LATE_LIMIT = 10
LATE_INTERRUPT = 10


def start(vorn, tmp, search, model=FIXED):
    text = data_block(7) + "begin vorn;\n  set criterion=likelihood dstatus=1;\n  %s;\n" \
        "  %s;\nend;\n" % (model, search)
    return start_vorn(vorn, tmp, text)


read = read_output


def search_started(out):
    return re.search(r"^-{20,}$", out, re.M) is not None


def cpu_of_children():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def limited(vorn, search, limit, model=FIXED):
    """Seconds of CPU time the whole run took (the limit counts the
    process's CPU time, so a busy machine stretches the run's wall time, not
    this), and the output."""
    with tempfile.TemporaryDirectory(prefix="vorn-stop-") as tmp:
        before = cpu_of_children()
        proc = start(vorn, tmp, search, model)
        proc.wait()
        return cpu_of_children() - before, read(tmp)


def interrupted(vorn, search, row):
    """Seconds from an interrupt sent once a status row matching `row` is
    shown to the end of the run, and the output."""
    with tempfile.TemporaryDirectory(prefix="vorn-stop-") as tmp:
        proc = start(vorn, tmp, search)
        until = time.time() + 600
        while time.time() < until and not re.search(row, read(tmp), re.M) and proc.poll() is None:
            time.sleep(0.02)
        sent = time.time()
        proc.send_signal(signal.SIGINT)
        proc.wait()
        return time.time() - sent, read(tmp)


# A status row of stepwise addition: elapsed time, taxa added, "-" for the
# rearrangements, none saved.
STEPWISE_ROW = r"^\s+\d+:\d\d:\d\d\s+\d+\s+-\s+0\s+-"
# A row while swapping: rearrangements tried counted.
SWAPPING_ROW = r"^\s+\d+:\d\d:\d\d\s+-\s+\d+\s+\d+\s"


def main():
    vorn = os.path.abspath(sys.argv[1])
    failures = []

    # The time limit during stepwise addition: no tree, the limit named.
    took, out = limited(vorn, "hsearch timeLimit=2", 2)
    if "Heuristic search terminated by time limit" not in out:
        failures.append("stepwise time limit: no time-limit summary\n" + out[-1500:])
    if took > 2 + LATE_LIMIT:
        failures.append("stepwise time limit: the run took %.1f s of CPU time under a limit of 2 s" % took)
    if not re.search(STEPWISE_ROW, out, re.M):
        failures.append("stepwise time limit: no status row while taxa were added\n" + out[-1500:])

    # The time limit during swapping from the NJ tree.
    took, out = limited(vorn, "hsearch start=nj timeLimit=2", 2)
    tried = re.search(r"Total number of rearrangements tried = (\d+)", out)
    if "Heuristic search terminated by time limit" not in out or not tried or int(tried.group(1)) == 0:
        failures.append("swapping time limit: no limited swapping\n" + out[-1500:])
    if took > 2 + LATE_LIMIT:
        failures.append("swapping time limit: the run took %.1f s of CPU time under a limit of 2 s" % took)

    # The time limit inside the estimates of the trees swapping scores.
    took, out = limited(vorn, "hsearch start=nj timeLimit=2", 2, ESTIMATED)
    if "Heuristic search terminated by time limit" not in out:
        failures.append("estimates time limit: no time-limit summary\n" + out[-1500:])
    if took > 2 + LATE_LIMIT:
        failures.append("estimates time limit: the run took %.1f s of CPU time under a limit of 2 s" % took)

    # An interrupt during stepwise addition, and one during swapping.
    for label, search, row in (("stepwise", "hsearch", STEPWISE_ROW),
                               ("swapping", "hsearch start=nj", SWAPPING_ROW)):
        took, out = interrupted(vorn, search, row)
        if not re.search(row, out, re.M):
            failures.append("%s interrupt: the search never reached the phase\n%s" % (label, out[-1500:]))
            continue
        if "Heuristic search aborted" not in out:
            failures.append("%s interrupt: no abort summary\n%s" % (label, out[-1500:]))
        if took > LATE_INTERRUPT:
            failures.append("%s interrupt: the run ended %.2f s after the interrupt" % (label, took))

    for f in failures:
        print(f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
