#!/usr/bin/python3
"""Tally's branch score and branch-length columns for likelihood and distance trees.

Trees found under likelihood or distance carry no lengths in memory; Tally
must fit them to the replicate's data (as SaveTrees brlens=yes does) rather
than write '-'. Each replicate saves the trees it tallied with their fitted
lengths; this script computes the unrooted branch score of each against the
true tree itself (the two root edges of the true tree are one branch) and
checks the "_Bs" columns, their means, and the "brlen" columns (the last
found tree's length on each true branch, the second root edge 0).

Usage: sim_bs_fitted.py <vorn>
"""
import os
import re
import sys
import tempfile

from vorn_run import read_output, splits, start_vorn

TRUE = "((A:0.1,B:0.1):0.1,(C:0.1,(D:0.1,E:0.1):0.1):0.1)"
NREPS = 3
NEXUS = """#NEXUS
begin taxa; dimensions ntax=5; taxlabels A B C D E; end;
begin trees; tree one = [&R] %s; end;
begin vorn;
  set warnreset=no warntree=no;
  lset nst=1 basefreq=equal rates=equal pinvar=0;
end;
begin dnasim;
  truetree source=memory treenum=1;
  simdata nchar=150;
  beginsim nreps=%d seed=11 showModel=no resultsFile=(name=bs.txt replace BS brlens);
    set criterion=likelihood;
    alltrees;
    tally ml;
    savetrees file=ml.tre brlens=yes append;
    set criterion=distance;
    alltrees;
    tally dist;
    savetrees file=dist.tre brlens=yes append;
  endsim;
end;
quit;
""" % (TRUE, NREPS)


def saved_trees(path):
    names = dict(zip("12345", "ABCDE"))
    with open(path) as f:
        text = f.read()
    trees = re.findall(r"^tree \S+ = \[&U\] (.*;)$", text, re.M)
    return [splits(re.sub(r"(?<=[(,])([1-5])(?=:)", lambda m: names[m.group(1)], t)) for t in trees]


def branch_score(a, b):
    return sum((a.get(s, 0.0) - b.get(s, 0.0)) ** 2 for s in set(a) | set(b))


faults = []
with tempfile.TemporaryDirectory() as tmp:
    status = start_vorn(sys.argv[1], tmp, NEXUS).wait()
    if status != 0:
        print(read_output(tmp)[-3000:])
        sys.exit("status %d" % status)
    with open(os.path.join(tmp, "bs.txt")) as f:
        rows = [line.rstrip("\n").split("\t") for line in f if line.strip()]
    found = {"ml": saved_trees(os.path.join(tmp, "ml.tre")), "dist": saved_trees(os.path.join(tmp, "dist.tre"))}

truth = splits(TRUE)
head = rows[0]
if len(rows) != NREPS + 2 or any(len(found[k]) != NREPS for k in found):
    sys.exit("expected %d replicate rows and saved trees: %s, %s" % (NREPS, rows, {k: len(v) for k, v in found.items()}))
for kind, trees in found.items():
    col = head.index("%s_Bs" % kind)
    want = [branch_score(truth, t) for t in trees]
    for rep, w in enumerate(want):
        got = rows[1 + rep][col]
        if got == "-" or abs(float(got) - w) > 1e-5 * max(1.0, w):
            faults.append("%s rep %d: Bs %s, fitted lengths give %.6g" % (kind, rep + 1, got, w))
    mean = rows[-1][col]
    if mean == "-" or abs(float(mean) - sum(want) / NREPS) > 1e-5:
        faults.append("%s means: Bs %s, expected %.6g" % (kind, mean, sum(want) / NREPS))

# The true tree's branches by node number (splits held on the side without
# A): root children AB (7) and CDE (8), DE (9) and the tips; unrooted, 7
# holds the AB|CDE length and 8 none.
BRANCHES = {"7": frozenset("CDE"), "8": None, "9": frozenset("DE"), "1": frozenset("BCDE"), "2": frozenset("B"),
            "3": frozenset("C"), "4": frozenset("D"), "5": frozenset("E")}
for rep, tree in enumerate(found["dist"]):
    for k, name in enumerate(head):
        m = re.match(r"brlen (\d+)$", name)
        if not m:
            continue
        split = BRANCHES[m.group(1)]
        want = 0.0 if split is None else tree.get(split, 0.0)
        got = rows[1 + rep][k]
        if got == "-" or abs(float(got) - want) > 5e-6:
            faults.append("rep %d %s: %s, distance tree gives %.6f" % (rep + 1, name, got, want))
if not any(name.startswith("brlen ") for name in head):
    faults.append("no brlen columns: %s" % head)

if faults:
    print("\n".join("\t".join(r) for r in rows))
    print("\n".join(faults))
    sys.exit(1)
print("branch scores of fitted likelihood and distance trees equal those of their saved lengths")
