#!/usr/bin/env python3
"""A TBR search over irreversible characters beside PHYLIP mix's Camin-Sokal search.

Usage: irrev_search_peers.py OUTDIR [NTAX NCHAR [VORN ...]]

Writes OUTDIR/irrev.nex (HSearch with TBR from one simple-addition tree, every
character irreversible with ancestor 0), OUTDIR/irrev4.nex (the same search on
four-state characters, for the cost-vector path only: mix reads two states)
and OUTDIR/infile (the binary matrix for mix, run with the Camin-Sokal method,
whose ancestral state is 0): 100 taxa x 2,000 characters unless NTAX and
NCHAR are given, each evolved on one random rooted tree as irreversibility
allows (a state once gained is kept; a binary character gains on one to three
random edges, mostly inner ones; a four-state one steps up along the tree).
With VORN binaries given, each is run on the binary file and mix beside it,
alternately, three times: the elapsed times (start-up and reading included)
and the scores are printed.
"""
import os
import random
import sys

from dollo_search_peers import race, random_tree, write_phylip


def preorder(kids, root):
    nodes, order = [root], []
    while nodes:
        v = nodes.pop()
        order.append(v)
        nodes.extend(kids.get(v, ()))
    return order


def evolve(rng, kids, root, n, nchar, nstates):
    order = preorder(kids, root)
    inner = [v for v in order[1:] if v in kids]
    parent = {c: v for v, cs in kids.items() for c in cs}
    cols = []
    for _ in range(nchar):
        state = {root: 0}
        if nstates == 2:
            gains = {rng.choice(inner if rng.random() < 0.8 else order[1:]) for _ in range(rng.randint(1, 3))}
            for v in order[1:]:
                state[v] = 1 if v in gains else state[parent[v]]
        else:
            for v in order[1:]:
                up = rng.random() < 0.06 and state[parent[v]] < nstates - 1
                state[v] = state[parent[v]] + (1 if up else 0)
        cols.append([state[t] for t in range(n)])
    return ["".join(str(cols[c][t]) for c in range(nchar)) for t in range(n)]


def write_nexus(path, names, rows, symbols):
    with open(path, "w") as f:
        f.write("#nexus\nbegin data; dimensions ntax=%d nchar=%d; format symbols=\"%s\"; matrix\n" %
                (len(rows), len(rows[0]), symbols))
        f.writelines("%s %s\n" % (n, r) for n, r in zip(names, rows))
        f.write(";\nend;\nbegin assumptions; ancstates * given = 0: 1-%d; end;\n" % len(rows[0]))
        f.write("begin vorn; ctype irrev.up: 1-%d; set criterion=parsimony; end;\n" % len(rows[0]))
        f.write("hsearch addseq=simple swap=tbr;\nquit;\n")


def main():
    out = sys.argv[1]
    ntax = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    nchar = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
    rng = random.Random(6609)
    kids, root = random_tree(rng, ntax)
    rows = evolve(rng, kids, root, ntax, nchar, 2)
    rows4 = evolve(rng, kids, root, ntax, nchar, 4)
    names = ["T%d" % i for i in range(ntax)]
    os.makedirs(out, exist_ok=True)
    write_phylip(out, names, rows)
    write_nexus(os.path.join(out, "irrev.nex"), names, rows, "01")
    write_nexus(os.path.join(out, "irrev4.nex"), names, rows4, "0123")
    race(out, "irrev.nex", sys.argv[4:], "mix", "P\\nY\\n")

if __name__ == "__main__":
    main()
