#!/usr/bin/env python3
"""Writes a seeded tree-like DNA matrix as a NEXUS data file, for searches
too large to keep in the repository.

    simdna.py NTAX NCHAR SEED OUT.nex [--mean-branch 0.03] [--shape 0.5]

A random binary tree (taxa joined in random order), exponential branch
lengths, Jukes-Cantor changes with gamma-distributed site rates: enough
structure that searches find few, similar best trees, as on real data.
"""
import argparse
import math
import random


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("ntax", type=int)
    ap.add_argument("nchar", type=int)
    ap.add_argument("seed", type=int)
    ap.add_argument("out")
    ap.add_argument("--mean-branch", type=float, default=0.03)
    ap.add_argument("--shape", type=float, default=0.5)
    a = ap.parse_args()
    rng = random.Random(a.seed)
    n, m = a.ntax, a.nchar
    # Coalesce lineages at random: parent[child] for 2n-1 nodes, root last.
    lineages = list(range(n))
    parent = [-1] * (2 * n - 1)
    nxt = n
    while len(lineages) > 1:
        i, j = rng.sample(range(len(lineages)), 2)
        x, y = lineages[i], lineages[j]
        for k in sorted((i, j), reverse=True):
            lineages.pop(k)
        parent[x] = parent[y] = nxt
        lineages.append(nxt)
        nxt += 1
    root = nxt - 1
    children = [[] for _ in range(2 * n - 1)]
    for c, p in enumerate(parent):
        if p >= 0:
            children[p].append(c)
    rates = [rng.gammavariate(a.shape, 1.0 / a.shape) for _ in range(m)]
    seqs = [None] * (2 * n - 1)
    seqs[root] = [rng.randrange(4) for _ in range(m)]
    stack = [root]
    while stack:
        p = stack.pop()
        for c in children[p]:
            t = rng.expovariate(1.0 / a.mean_branch)
            s = list(seqs[p])
            for k in range(m):
                # Probability of a change to another base under Jukes-Cantor.
                if rng.random() < 0.75 * (1.0 - math.exp(-4.0 / 3.0 * t * rates[k])):
                    s[k] = (s[k] + 1 + rng.randrange(3)) % 4
            seqs[c] = s
            stack.append(c)
        if p >= n:
            seqs[p] = None
    with open(a.out, "w") as f:
        f.write("#NEXUS\nbegin data;\n  dimensions ntax=%d nchar=%d;\n" % (n, m))
        f.write("  format datatype=dna;\n  matrix\n")
        for i in range(n):
            f.write("t%d %s\n" % (i + 1, "".join("ACGT"[b] for b in seqs[i])))
        f.write("  ;\nend;\n")


if __name__ == "__main__":
    main()
