#!/usr/bin/env python3
"""A TBR search over Dollo characters beside PHYLIP dollop's search.

Usage: dollo_search_peers.py OUTDIR [NTAX NCHAR [VORN ...]]

Writes OUTDIR/dollo.nex (HSearch with TBR from one simple-addition tree, every
character Dollo with ancestor 0) and OUTDIR/infile (the same matrix for
dollop, whose ancestral state is 0 unless told otherwise): 100 taxa x 2,000
binary characters unless NTAX and NCHAR are given, each character evolved on
one random rooted tree as Dollo's law allows (one gain on a random edge,
mostly on an inner edge, then each edge below it lost with probability 0.1). With VORN binaries given,
each is run on the file and dollop beside it, alternately, three times: the
elapsed times (start-up and reading included) and the scores are printed.
"""
import os
import random
import re
import subprocess
import sys
import time


def random_tree(rng, n):
    """Children lists of a random rooted binary tree; leaves are 0..n-1."""
    kids = {}
    groups = list(range(n))
    nxt = n
    while len(groups) > 1:
        a = groups.pop(rng.randrange(len(groups)))
        b = groups.pop(rng.randrange(len(groups)))
        kids[nxt] = (a, b)
        groups.append(nxt)
        nxt += 1
    return kids, groups[0]


def evolve(rng, kids, root, n, nchar):
    nodes = [root]
    order = []
    while nodes:
        v = nodes.pop()
        order.append(v)
        nodes.extend(kids.get(v, ()))
    inner = [v for v in order[1:] if v in kids]
    cols = []
    for _ in range(nchar):
        # Mostly on inner edges, so that most characters are informative.
        gain = rng.choice(inner if rng.random() < 0.8 else order[1:])
        state = {}
        stack = [(gain, 1)]
        while stack:
            v, s = stack.pop()
            state[v] = s
            for c in kids.get(v, ()):
                stack.append((c, 0 if s and rng.random() < 0.1 else s))
        cols.append([state.get(t, 0) for t in range(n)])
    return ["".join(str(cols[c][t]) for c in range(nchar)) for t in range(n)]


def write_phylip(out, names, rows):
    """The matrix as the PHYLIP programs read it, OUTDIR/infile."""
    with open(os.path.join(out, "infile"), "w") as f:
        f.write("%5d%5d\n" % (len(rows), len(rows[0])))
        f.writelines("%-10s%s\n" % (n, r) for n, r in zip(names, rows))


def race(out, nexus, vorns, peer, answers):
    """Runs each VORN binary on OUTDIR/NEXUS and the PHYLIP program PEER
    (fed ANSWERS) beside it, alternately, three times, printing elapsed
    times and scores."""
    for vorn in vorns:
        for _ in range(3):
            t = time.perf_counter()
            text = subprocess.run([vorn, "-n", os.path.join(out, nexus)], capture_output=True,
                                  text=True).stdout
            v = time.perf_counter() - t
            score = re.search(r"Score of best tree\(s\) found = (\S+)", text)
            t = time.perf_counter()
            subprocess.run("cd %s && rm -f outfile outtree && printf '%s' | phylip %s" % (out, answers, peer),
                           shell=True, capture_output=True)
            p = time.perf_counter() - t
            steps = re.search(r"requires a total of\s+(\S+)", open(os.path.join(out, "outfile")).read())
            print("%s %.2f s (score %s); %s %.2f s (score %s)" %
                  (vorn, v, score and score.group(1), peer, p, steps and steps.group(1)))


def main():
    out = sys.argv[1]
    ntax = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    nchar = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
    rng = random.Random(6608)
    kids, root = random_tree(rng, ntax)
    rows = evolve(rng, kids, root, ntax, nchar)
    names = ["T%d" % i for i in range(ntax)]
    os.makedirs(out, exist_ok=True)
    write_phylip(out, names, rows)
    with open(os.path.join(out, "dollo.nex"), "w") as f:
        f.write("#nexus\nbegin data; dimensions ntax=%d nchar=%d; format symbols=\"01\"; matrix\n" % (ntax, nchar))
        f.writelines("%s %s\n" % (n, r) for n, r in zip(names, rows))
        f.write(";\nend;\nbegin assumptions; ancstates * zero = 0: 1-%d; end;\n" % nchar)
        f.write("begin vorn; ctype dollo.up: 1-%d; set criterion=parsimony; end;\n" % nchar)
        f.write("hsearch addseq=simple swap=tbr;\nquit;\n")
    race(out, "dollo.nex", sys.argv[4:], "dollop", "Y\\n")

if __name__ == "__main__":
    main()
