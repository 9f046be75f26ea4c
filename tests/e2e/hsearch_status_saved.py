#!/usr/bin/python3
"""The status rows of a likelihood search count the trees it has saved: once
stepwise addition has stored its tree, no row of the swapping shows 0 trees,
also after a better tree was found and is swapped in place (it is the first
tree of the search, stored once its neighbours are all tried).

The rows are time-driven; VORN_TEST_STATUS_EVERY_POLL makes one due at
every chance, a row for each neighbour scored, whatever the machine's speed.
The same search without it keeps the same trees with the same score.

Usage: hsearch_status_saved.py <vorn>
"""
import os
import random
import re
import sys

from vorn_run import run_vorn

# Ten taxa whose sequences descend from one another: the tree stepwise
# addition builds is improved on while it is swapped.
rng = random.Random(3)
NTAX, NCHAR = 10, 300
seqs = ["".join(rng.choice("ACGT") for _ in range(NCHAR))]
while len(seqs) < NTAX:
    parent = rng.choice(seqs)
    seqs.append("".join(c if rng.random() > 0.15 else rng.choice("ACGT") for c in parent))
NEXUS = """#NEXUS
begin data; dimensions ntax=%d nchar=%d; format datatype=dna;
matrix
%s
;
end;
set criterion=likelihood;
hsearch dstatus=1;
describetrees 1 / plot=cladogram;
quit;
""" % (NTAX, NCHAR, "\n".join("t%d %s" % (i + 1, s) for i, s in enumerate(seqs)))

# A row: elapsed, taxa added (or "-"), rearrangements (or "-"), saved, to
# swap (or "-"), best score (or "-").
ROW = re.compile(r"^ +\d+:\d\d:\d\d +(\S+) +(\S+) +(\d+) +(\S+) +(\S+)$", re.M)


def result(stdout):
    """The search's best score and the tree it kept."""
    best = re.search(r"Score of best tree\(s\) found = ([\d.]+)", stdout)
    tree = re.search(r"^Tree 1 .*", stdout, re.M | re.S)
    return (best.group(1) if best else None, tree.group(0) if tree else None)


faults = []
os.environ["VORN_TEST_STATUS_EVERY_POLL"] = "1"
rows_run = run_vorn(sys.argv[1], NEXUS)
del os.environ["VORN_TEST_STATUS_EVERY_POLL"]
plain_run = run_vorn(sys.argv[1], NEXUS)
for run in (rows_run, plain_run):
    if run.returncode != 0:
        faults.append("status %d: %s" % (run.returncode, run.stderr.strip()))

swapping = [r for r in ROW.findall(rows_run.stdout) if r[1] != "-"]
bests = [float(r[4]) for r in swapping]
if not swapping:
    faults.append("no status row while swapping:\n" + rows_run.stdout)
elif not min(bests) < bests[0]:
    faults.append("no better tree found while swapping: the case tests nothing")
for taxa, tried, saved, to_swap, best in swapping:
    if int(saved) < 1:
        faults.append("row after %s rearrangements (best %s) shows %s trees saved" % (tried, best, saved))
        break
# The kept tree is fitted once more at the end: the same score up to the
# fit's own precision, whatever kernels the processor runs.
if swapping and not abs(bests[-1] - float(result(rows_run.stdout)[0] or "nan")) <= 1e-4:
    faults.append("last row's best %s is not the search's best %s" % (bests[-1], result(rows_run.stdout)[0]))
if result(rows_run.stdout) != result(plain_run.stdout) or None in result(plain_run.stdout):
    faults.append("the rows changed the search: %s against %s" % (result(rows_run.stdout), result(plain_run.stdout)))

for fault in faults:
    print(fault)
sys.exit(1 if faults else 0)
