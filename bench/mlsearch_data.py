#!/usr/bin/python3
"""Simulated DNA for the likelihood-search benchmarks: a random tree, HKY or
GTR rates, discrete-gamma site rates and invariable sites, written as NEXUS
(a.nex), PHYLIP (a.phy) and the true tree (true.nwk) into a directory.

Usage: mlsearch_data.py DIR --ntax N --nchar M [--model hky|gtr] [--pinv P]
       [--shape A] [--seed S]
"""
import argparse
import os

import numpy as np

BASES = "ACGT"


def random_tree(rng, ntax):
    """Random joining of lineages; (children, length) nested lists."""
    nodes = [(i, rng.uniform(0.01, 0.12)) for i in range(ntax)]
    while len(nodes) > 1:
        a = nodes.pop(rng.integers(len(nodes)))
        b = nodes.pop(rng.integers(len(nodes)))
        nodes.append(([a, b], rng.uniform(0.005, 0.06)))
    return nodes[0][0]


def newick(node):
    if isinstance(node, (int, np.integer)):
        return "T%d" % (node + 1)
    return "(" + ",".join("%s:%.5f" % (newick(c), length) for c, length in node) + ")"


def rate_matrix(model, freqs):
    if model == "hky":
        k = 4.0
        r = np.array([[0, 1, k, 1], [1, 0, 1, k], [k, 1, 0, 1], [1, k, 1, 0]], dtype=float)
    else:
        a, b, c, d, e, f = 1.2, 3.5, 0.8, 1.1, 4.2, 1.0
        r = np.array([[0, a, b, c], [a, 0, d, e], [b, d, 0, f], [c, e, f, 0]], dtype=float)
    q = r * freqs[None, :]
    np.fill_diagonal(q, -q.sum(axis=1))
    q /= -np.dot(freqs, np.diag(q))
    return q


def simulate(rng, tree, ntax, nchar, model, pinv, shape):
    freqs = np.array([0.3, 0.2, 0.22, 0.28])
    q = rate_matrix(model, freqs)
    w, v = np.linalg.eig(q)
    vi = np.linalg.inv(v)
    rates = rng.gamma(shape, 1.0 / shape, nchar) / (1.0 - pinv)
    rates[rng.random(nchar) < pinv] = 0.0
    seqs = [None] * ntax
    root = rng.choice(4, nchar, p=freqs)
    stack = [(tree, root)]
    while stack:
        node, parent = stack.pop()
        for child, length in node:
            # P(t r) for every site, rows drawn by the parent state.
            p = np.real(np.einsum("ij,sj,jk->sik", v, np.exp(np.outer(rates * length, w)), vi))
            p = np.clip(p, 0, None)
            cum = np.cumsum(p[np.arange(nchar), parent], axis=1)
            u = rng.random(nchar)[:, None] * cum[:, -1:]
            seq = (u > cum).sum(axis=1)
            if isinstance(child, (int, np.integer)):
                seqs[child] = "".join(BASES[x] for x in seq)
            else:
                stack.append((child, seq))
    return seqs


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("dir")
    ap.add_argument("--ntax", type=int, required=True)
    ap.add_argument("--nchar", type=int, required=True)
    ap.add_argument("--model", default="gtr")
    ap.add_argument("--pinv", type=float, default=0.0)
    ap.add_argument("--shape", type=float, default=0.7)
    ap.add_argument("--seed", type=int, default=1)
    a = ap.parse_args()
    rng = np.random.default_rng(a.seed)
    tree = random_tree(rng, a.ntax)
    seqs = simulate(rng, tree, a.ntax, a.nchar, a.model, a.pinv, a.shape)
    os.makedirs(a.dir, exist_ok=True)
    with open(os.path.join(a.dir, "a.nex"), "w") as f:
        f.write("#NEXUS\nbegin data;\n  dimensions ntax=%d nchar=%d;\n" % (a.ntax, a.nchar))
        f.write("  format datatype=dna missing=? gap=-;\n  matrix\n")
        for t, s in enumerate(seqs):
            f.write("    T%-4d %s\n" % (t + 1, s))
        f.write("  ;\nend;\n")
    with open(os.path.join(a.dir, "a.phy"), "w") as f:
        f.write("%d %d\n" % (a.ntax, a.nchar))
        for t, s in enumerate(seqs):
            f.write("%-10s%s\n" % ("T%d" % (t + 1), s))
    with open(os.path.join(a.dir, "true.nwk"), "w") as f:
        f.write(newick(tree) + ";\n")


if __name__ == "__main__":
    main()
