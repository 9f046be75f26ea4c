#!/usr/bin/python3
"""A likelihood search estimates the model's parameters on every tree it scores.

With LSet logIter every tree the search scores opens a block of iterations,
and a block in which the parameters were estimated shows their trial
values, or says that the estimate, begun from the last tree's values, was
given up as unable to reach the score to beat. Every rearrangement the
search tries is a tree scored with its own estimate, so there are at least
as many such blocks as rearrangements; stepwise addition's joins fit three
branch lengths only and open no block.

Usage: hsearch_tree_params.py <vorn>
"""
import os
import re
import sys

from vorn_run import run_vorn

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, "..", "..", "examples", "lik12.phy")) as f:
    rows = [line.split() for line in f.read().splitlines()[1:] if line.strip()]

nexus = """#NEXUS
begin data; dimensions ntax=%d nchar=200; format datatype=dna;
matrix
%s
;
end;
begin vorn;
  set criterion=likelihood dstatus=0;
  lset nst=2 tratio=estimate rates=gamma shape=estimate logIter=yes;
  hsearch swap=nni;
  quit;
end;
""" % (len(rows), "\n".join("%s %s" % (name, seq[:200]) for name, seq in rows))

run = run_vorn(sys.argv[1], nexus)
faults = []
if run.returncode != 0:
    faults.append("status %d: %s" % (run.returncode, run.stderr))
blocks = run.stdout.split("Maximum-likelihood iterations (target=")[1:]
estimates = sum(1 for b in blocks if " parameters = " in b or " parameters given up: " in b)
kept = re.search(r"Number of trees retained = (\d+)", run.stdout)
tried = re.search(r"Total number of rearrangements tried = (\d+)", run.stdout)
if not kept or not tried:
    faults.append("no search summary")
else:
    kept, tried = int(kept.group(1)), int(tried.group(1))
    if estimates < tried:
        faults.append("%d estimates for %d rearrangements tried" % (estimates, tried))
    if kept < 1:
        faults.append("no tree kept")
if "held while swapping" in run.stdout:
    faults.append("the settings still say that the parameters are held")
for fault in faults:
    print(fault)
print("%d passed, %d failed" % (0 if faults else 1, 1 if faults else 0))
sys.exit(1 if faults else 0)
