#!/usr/bin/python3
"""A likelihood search estimates the model's parameters a fixed number of times.

With LSet logIter every tree the search scores opens a block of iterations,
and a block in which the parameters were estimated shows their trial
values. The search must estimate them once on its starting tree and once
on each tree it keeps, whatever the number of rearrangements it scores
(each of those fits its branch lengths only): estimating them for every
rearrangement made a search of 20 taxa x 500 sites run for many minutes.

Usage: hsearch_held_params.py <vorn>
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
estimates = sum(1 for b in blocks if " parameters = " in b)
kept = re.search(r"Number of trees retained = (\d+)", run.stdout)
tried = re.search(r"Total number of rearrangements tried = (\d+)", run.stdout)
if not kept or not tried:
    faults.append("no search summary")
else:
    kept, tried = int(kept.group(1)), int(tried.group(1))
    if estimates != 1 + kept:
        faults.append("%d estimates for %d trees kept (expected one more)" % (estimates, kept))
    if len(blocks) < tried:
        faults.append("%d trees scored for %d rearrangements" % (len(blocks), tried))
if "held while swapping" not in run.stdout:
    faults.append("the settings do not say that the parameters are held")
for fault in faults:
    print(fault)
print("%d passed, %d failed" % (0 if faults else 1, 1 if faults else 0))
sys.exit(1 if faults else 0)
