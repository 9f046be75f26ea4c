#!/usr/bin/env python3
"""Branch and bound against PHYLIP's branch-and-bound programs.

Usage: bandb_vs_penny.py VORN

Random DNA matrices (against dnapenny) and binary matrices with missing
cells (against penny), 7 to 11 taxa, fixed seeds: both programs must find
the same optimum and the same number of most-parsimonious binary trees
(VORN with collapse=no). penny gives up after a fixed number of trees and
may then report a longer optimum: where VORN's is shorter, PHYLIP pars must
score VORN's first tree at VORN's length. Exit 77 when PHYLIP is not
installed.
"""
import os
import random
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

PHYLIP = "/usr/lib/phylip/bin"


def simulate(rng, ntax, nchar, alphabet, rate):
    root = [rng.choice(alphabet) for _ in range(nchar)]
    seqs = [root]
    while len(seqs) < ntax:
        parent = seqs.pop(rng.randrange(len(seqs)))
        for _ in range(2):
            seqs.append([c if rng.random() > rate else rng.choice(alphabet) for c in parent])
    return ["".join(s) for s in seqs[:ntax]]


def run_phylip(program, seqs, workdir):
    for f in ("infile", "outfile", "outtree"):
        path = os.path.join(workdir, f)
        if os.path.exists(path):
            os.remove(path)
    with open(os.path.join(workdir, "infile"), "w") as f:
        f.write("%d %d\n" % (len(seqs), len(seqs[0])))
        for i, s in enumerate(seqs):
            f.write("t%-9d%s\n" % (i + 1, s))
    subprocess.run([os.path.join(PHYLIP, program)], input="Y\n", cwd=workdir, capture_output=True, text=True,
                   preexec_fn=cpu_limit(600))
    text = open(os.path.join(workdir, "outfile")).read()
    length = float(re.search(r"requires a total of\s+([\d.]+)", text).group(1))
    trees = open(os.path.join(workdir, "outtree")).read().count(";")
    return length, trees


def run_vorn(vorn, seqs, datatype, workdir):
    path = os.path.join(workdir, "m.nex")
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin data;\ndimensions ntax=%d nchar=%d;\n" % (len(seqs), len(seqs[0])))
        f.write("format %s;\nmatrix\n" % ("datatype=dna" if datatype == "dna" else 'symbols="01"'))
        for i, s in enumerate(seqs):
            f.write("t%d %s\n" % (i + 1, s))
        f.write(";\nend;\nset dstatus=0 maxtrees=20000 increase=auto;\npset collapse=no;\nbandb;\nsavetrees file=vorn.tre format=newick replace;\nquit warntsave=no;\n")
    out = subprocess.run([vorn, "-n", path], capture_output=True, text=True, cwd=workdir, preexec_fn=cpu_limit(600)).stdout
    best = float(re.search(r"Score of best tree found = (\S+)", out).group(1))
    kept = int(re.search(r"Number of trees retained = (\d+)", out).group(1))
    return best, kept


def pars_length(seqs, workdir, program):
    """PHYLIP's length of VORN's first saved tree."""
    tree = open(os.path.join(workdir, "vorn.tre")).read().split(";")[0]
    with open(os.path.join(workdir, "intree"), "w") as f:
        f.write(tree[tree.index("("):] + ";\n")
    for name in ("outfile", "outtree"):
        if os.path.exists(os.path.join(workdir, name)):
            os.remove(os.path.join(workdir, name))
    subprocess.run([os.path.join(PHYLIP, program)], input="U\nY\n", cwd=workdir, capture_output=True, text=True,
                   preexec_fn=cpu_limit(600))
    text = open(os.path.join(workdir, "outfile")).read()
    return float(re.search(r"requires a total of\s+([\d.]+)", text).group(1))


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if not os.access(os.path.join(PHYLIP, "dnapenny"), os.X_OK):
        print("PHYLIP is not installed")
        return 77
    vorn = os.path.abspath(sys.argv[1])
    rng = random.Random(39)
    failures = 0
    with tempfile.TemporaryDirectory() as workdir:
        for case in range(10):
            ntax = 7 + case % 5
            dna = case % 2 == 0
            if dna:
                seqs = simulate(rng, ntax, 40 + rng.randrange(60), "ACGT", 0.15)
            else:
                seqs = simulate(rng, ntax, 15 + rng.randrange(20), "01", 0.2)
                seqs = ["".join(c if rng.random() > 0.05 else "?" for c in s) for s in seqs]
            peer = run_phylip("dnapenny" if dna else "penny", seqs, workdir)
            ours = run_vorn(vorn, seqs, "dna" if dna else "standard", workdir)
            status = "ok" if peer == ours else "MISMATCH"
            if not dna and ours[0] < peer[0] and pars_length(seqs, workdir, "pars") == ours[0]:
                status = "ok (penny stopped short; pars confirms VORN's length)"
            failures += status == "MISMATCH"
            print("case %d (%s, %d taxa): %s %s, VORN %s" % (case, "dnapenny" if dna else "penny", ntax,
                                                             peer, status, ours))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
