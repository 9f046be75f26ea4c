#!/usr/bin/env python3
"""Branch and bound: VORN's BandB beside PHYLIP dnapenny.

Usage: bandb_vs_dnapenny.py [VORN] [--ntax N] [--nchar N] [--seed N]

Simulates a DNA matrix (16 taxa x 1,000 sites by default) on a random tree
with a fixed seed (the simulation of hsearch_vs_dnapars.py), runs VORN's
BandB (collapse=no) and dnapenny on it, checks that both give the same
optimum and number of most-parsimonious trees, and prints the wall time of
each and their ratio. dnapenny missing: VORN alone, exit status 77.
"""
import argparse
import os
import random
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from hsearch_vs_dnapars import simulate  # noqa: E402

DNAPENNY = "/usr/lib/phylip/bin/dnapenny"


def timed(cmd, **kw):
    start = time.perf_counter()
    out = subprocess.run(cmd, capture_output=True, text=True, **kw)
    return time.perf_counter() - start, out.stdout


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("vorn", nargs="?", default="build/src/vorn")
    ap.add_argument("--ntax", type=int, default=16)
    ap.add_argument("--nchar", type=int, default=1000)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    seqs = simulate(random.Random(a.seed), a.ntax, a.nchar)
    with tempfile.TemporaryDirectory() as d:
        with open(os.path.join(d, "m.nex"), "w") as f:
            f.write("#NEXUS\nbegin data;\ndimensions ntax=%d nchar=%d;\nformat datatype=dna;\nmatrix\n"
                    % (a.ntax, a.nchar))
            for i, s in enumerate(seqs):
                f.write("t%d %s\n" % (i + 1, s))
            f.write(";\nend;\nset dstatus=0 maxtrees=20000 increase=auto;\npset collapse=no;\nbandb;\n"
                    "quit warntsave=no;\n")
        vt, out = timed([os.path.abspath(a.vorn), "-n", "m.nex"], cwd=d, timeout=3600)
        best = re.search(r"Score of best tree found = (\S+)", out)
        kept = re.search(r"Number of trees retained = (\d+)", out)
        ours = (float(best.group(1)) if best else None, int(kept.group(1)) if kept else None)
        print("VORN BandB: %.3f s, best %s, %s trees" % (vt, ours[0], ours[1]))
        if not os.access(DNAPENNY, os.X_OK):
            return 77
        with open(os.path.join(d, "infile"), "w") as f:
            f.write("%d %d\n" % (a.ntax, a.nchar))
            for i, s in enumerate(seqs):
                f.write("t%-9d%s\n" % (i + 1, s))
        pt, _ = timed([DNAPENNY], input="Y\n", cwd=d, timeout=3600)
        text = open(os.path.join(d, "outfile")).read()
        plen = float(re.search(r"requires a total of\s+([\d.]+)", text).group(1))
        ptrees = open(os.path.join(d, "outtree")).read().count(";")
        print("dnapenny:   %.3f s, best %s, %d trees" % (pt, plen, ptrees))
        print("same optimum and tree count: %s" % ((plen, ptrees) == ours))
        print("dnapenny time / VORN time = %.1f" % (pt / vt))
    return 0


if __name__ == "__main__":
    sys.exit(main())
