#!/usr/bin/env python3
"""Speed of the topology tests and of AutoModel beside IQ-TREE 2.

Usage: topotests_vs_iqtree.py [VORN] [--runs N] [--only tests|automodel]

VORN defaults to build-bench/src/vorn. The data are simulated here under JC
on a random 20-taxon tree (numpy, fixed seed):
- tests: 5,000 sites, 50 trees (the true tree and 49 trees with two taxa
  swapped) with their branch lengths; `lscores all / KHTest=normal SHTest
  AUTest bootReps=10000` under JC with the user's lengths, against
  `iqtree2 -s a.phy -m JC -z t.tre -te t.tre -blfix -n 0 -zb 10000 -au
  -nt 1`;
- automodel: 2,000 sites, one tree; `automodel modelset=j11` (88 models)
  against `iqtree2 -s a.phy -te t.tre -m TESTONLY -mrate E,I,G,I+G -nt 1`.
Whole processes are timed side by side by farm-bench (median of paired
runs); the ratio VORN / IQ-TREE is printed. Exit status 77 without iqtree2,
farm-bench or numpy.
"""
import argparse
import math
import os
import shutil
import subprocess
import sys
import tempfile

try:
    import numpy as np
except ImportError:
    sys.exit(77)

NTAX = 20


def random_tree(rng):
    nodes = [[i, rng.uniform(0.02, 0.15)] for i in range(NTAX)]
    while len(nodes) > 3:
        a, b = sorted(rng.choice(len(nodes), 2, replace=False), reverse=True)
        x, y = nodes.pop(a), nodes.pop(b)
        nodes.append([[x, y], rng.uniform(0.005, 0.05)])
    return [n for n in nodes]


def relabel(tree, a, b):
    def walk(node):
        child, length = node
        if isinstance(child, int):
            return [b if child == a else a if child == b else child, length]
        return [[walk(c) for c in child], length]
    return [walk(n) for n in tree]


def newick(tree):
    def walk(node):
        child, length = node
        text = "t%d" % child if isinstance(child, int) else "(" + ",".join(walk(c) for c in child) + ")"
        return "%s:%.5f" % (text, length)
    return "(" + ",".join(walk(n) for n in tree) + ");"


def simulate(tree, nsite, rng):
    seqs = {}

    def walk(node, states):
        child, length = node
        e = math.exp(-4.0 * length / 3.0)
        change = rng.random(nsite) < 0.75 * (1 - e)
        new = np.where(change, rng.integers(0, 4, nsite), states)
        if isinstance(child, int):
            seqs[child] = new
        else:
            for c in child:
                walk(c, new)
    root = rng.integers(0, 4, nsite)
    for n in tree:
        walk(n, root)
    return ["".join("ACGT"[s] for s in seqs[t]) for t in range(NTAX)]


def write_data(work, seqs, trees, commands):
    nsite = len(seqs[0])
    with open(os.path.join(work, "a.phy"), "w") as f:
        f.write("%d %d\n" % (NTAX, nsite))
        for t, s in enumerate(seqs):
            f.write("t%d %s\n" % (t, s))
    with open(os.path.join(work, "t.tre"), "w") as f:
        f.write("".join(newick(t) + "\n" for t in trees))
    with open(os.path.join(work, "run.nex"), "w") as f:
        f.write("#NEXUS\nbegin data;\n dimensions ntax=%d nchar=%d;\n format datatype=dna;\n matrix\n" % (NTAX, nsite))
        for t, s in enumerate(seqs):
            f.write(" t%d %s\n" % (t, s))
        f.write(";\nend;\nbegin trees;\n")
        for i, t in enumerate(trees):
            f.write(" tree t%d = [&U] %s\n" % (i + 1, newick(t)))
        f.write("end;\nbegin vorn;\n set criterion=likelihood;\n%s\nend;\n" % commands)


def farm(work, vorn, peer, runs):
    out = subprocess.run(["farm-bench", "-n", str(runs), "--timeout", "3000", "--vs", peer, "--", vorn, "-n", "run.nex"],
                         cwd=work, capture_output=True, text=True)
    return out.stdout + out.stderr


def main():
    p = argparse.ArgumentParser()
    p.add_argument("vorn", nargs="?", default="build-bench/src/vorn")
    p.add_argument("--runs", type=int, default=3)
    p.add_argument("--only", choices=("tests", "automodel"))
    a = p.parse_args()
    if shutil.which("iqtree2") is None or shutil.which("farm-bench") is None:
        return 77
    vorn = os.path.abspath(a.vorn)
    rng = np.random.default_rng(46)
    true = random_tree(rng)
    if a.only != "automodel":
        work = tempfile.mkdtemp(prefix="vorn_bench_topo_")
        trees = [true] + [relabel(true, *map(int, rng.choice(NTAX, 2, replace=False))) for _ in range(49)]
        write_data(work, simulate(true, 5000, rng), trees,
                   " lset nst=1 basefreq=equal rates=equal userBrLens=yes;\n"
                   " lscores all / KHTest=normal SHTest AUTest bootReps=10000;")
        print("== LScores with KH, SH and AU (10,000 replicates), 50 trees of 20 taxa x 5,000 sites")
        print(farm(work, vorn, "iqtree2 -s a.phy -m JC -z t.tre -te t.tre -blfix -n 0 -zb 10000 -au -nt 1 -redo -quiet",
                   a.runs))
        shutil.rmtree(work, ignore_errors=True)
    if a.only != "tests":
        work = tempfile.mkdtemp(prefix="vorn_bench_automodel_")
        write_data(work, simulate(true, 2000, rng), [true], " automodel modelset=j11;")
        print("== AutoModel j11 (88 models), 20 taxa x 2,000 sites")
        print(farm(work, vorn, "iqtree2 -s a.phy -te t.tre -m TESTONLY -mrate E,I,G,I+G -nt 1 -redo -quiet", a.runs))
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
