#!/usr/bin/env python3
"""HSearch under Goloboff fits ends on a TBR local optimum.

Usage: hsearch_fit_local_optimum.py VORN

Goloboff fits are stored as negative numbers, so a bound or a comparison
taken the wrong way round would stop a search early or move it to worse
trees. On random 12-taxon 0/1/2 matrices, HSearch (TBR without a
reconnection limit, one replicate of simple addition) is run under Goloboff
fits with k 2 and 6; every distinct
tree one TBR move away from the tree it keeps is built here and scored by
PScores: none may fit better than the search's best. A single replicate may
miss the global optimum (BandB finds better on some of these data), but
never by stopping beside a better tree. (With the default reconnection limit
of 8 one of these sets keeps a tree with a better neighbour beyond it.)
"""
import os
import random
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from vorn_run import cpu_limit  # noqa: E402

DATA_SETS = 6
NTAX, NCHAR = 12, 30


def parse(newick):
    """Adjacency of an unrooted Newick tree; internal nodes are "#k"."""
    adj, text, pos, count = {}, newick.strip().rstrip(";"), 0, 0

    def node():
        nonlocal pos, count
        if text[pos] == "(":
            me = "#%d" % count
            count += 1
            adj[me] = []
            pos += 1
            while True:
                child = node()
                adj[me].append(child)
                adj[child].append(me)
                pos += 1
                if text[pos - 1] == ")":
                    return me
        start = pos
        while text[pos] not in ",()":
            pos += 1
        adj[text[start:pos]] = []
        return text[start:pos]

    node()
    return adj


def side(adj, start, cut):
    """The nodes reached from start without crossing the edge cut."""
    seen, stack = {start}, [start]
    while stack:
        x = stack.pop()
        for y in adj[x]:
            if y not in seen and {x, y} != cut:
                seen.add(y)
                stack.append(y)
    return seen


def part(adj, nodes, cut):
    """The subtree on nodes without the edge cut, its degree-2 node removed."""
    a = {x: [y for y in adj[x] if y in nodes and {x, y} != cut] for x in nodes}
    for x in list(a):
        if x.startswith("#") and len(a[x]) == 2:
            p, q = a.pop(x)
            a[p] = [q if y == x else y for y in a[p]]
            a[q] = [p if y == x else y for y in a[q]]
    return a


def edges(a):
    if len(a) == 1:
        return [(next(iter(a)), None)]
    return sorted({tuple(sorted((x, y))) for x in a for y in a[x]})


def join(a, b, ea, eb):
    adj = {x: list(v) for x, v in list(a.items()) + list(b.items())}
    ends = []
    for k, e in enumerate((ea, eb)):
        if e[1] is None:
            ends.append(e[0])
            continue
        mid, (x, y) = "#new%d" % k, e
        adj[x] = [mid if z == y else z for z in adj[x]]
        adj[y] = [mid if z == x else z for z in adj[y]]
        adj[mid] = [x, y]
        ends.append(mid)
    adj[ends[0]].append(ends[1])
    adj[ends[1]].append(ends[0])
    return adj


def splits(adj):
    taxa = frozenset(x for x in adj if not x.startswith("#"))
    out = set()
    for x in adj:
        for y in adj[x]:
            s = frozenset(z for z in side(adj, y, {x, y}) if z in taxa)
            if 1 < len(s) < len(taxa) - 1:
                out.add(s if min(taxa) in s else taxa - s)
    return frozenset(out)


def newick(adj):
    first = min(x for x in adj if not x.startswith("#"))
    top = adj[first][0]

    def rec(x, parent):
        if not x.startswith("#"):
            return x
        return "(" + ",".join(rec(y, x) for y in adj[x] if y != parent) + ")"

    return "(%s,%s);" % (first, ",".join(rec(y, top) for y in adj[top] if y != first))


def tbr_neighbours(tree):
    adj = parse(tree)
    seen, out = {splits(adj)}, []
    for x in adj:
        for y in adj[x]:
            if x < y:
                cut = {x, y}
                a, b = part(adj, side(adj, x, cut), cut), part(adj, side(adj, y, cut), cut)
                for ea in edges(a):
                    for eb in edges(b):
                        t = join(a, b, ea, eb)
                        s = splits(t)
                        if s not in seen:
                            seen.add(s)
                            out.append(newick(t))
    return out


def run(vorn, work, text):
    path = os.path.join(work, "run.nex")
    with open(path, "w") as f:
        f.write(text)
    return subprocess.run([vorn, "-n", path], capture_output=True, text=True, preexec_fn=cpu_limit(600), cwd=work).stdout


def main():
    vorn = os.path.abspath(sys.argv[1])
    rng = random.Random(68)
    failures = neighbours = 0
    with tempfile.TemporaryDirectory() as work:
        for s in range(DATA_SETS):
            names = ["t%d" % i for i in range(NTAX)]
            rows = ["".join(rng.choice("0011" if rng.random() < 0.5 else "012") for _ in range(NCHAR))
                    for _ in names]
            data = "#nexus\nbegin data; dimensions ntax=%d nchar=%d; format symbols=\"012\"; matrix\n" % (
                NTAX, NCHAR) + "".join("%s %s\n" % r for r in zip(names, rows)) + ";\nend;\n"
            data += "set warntree=no maxtrees=5000 increase=auto;\npset goloboff=yes gk=%d;\n" % (2 if s % 2 else 6)
            out = run(vorn, work, data + "hsearch reconlimit=infinity;\n"
                      "savetrees file=found.tre format=newick brlens=no replace;\nquit;\n")
            found = re.search(r"Score of best tree\(s\) found = (\S+)", out)
            with open(os.path.join(work, "found.tre")) as f:
                tree = f.readline()
            trees = tbr_neighbours(tree)
            neighbours += len(trees)
            with open(os.path.join(work, "near.tre"), "w") as f:
                f.write("#nexus\nbegin trees;\n" + "".join("tree n%d = [&U] %s\n" % (i, t) for i, t in
                                                         enumerate(trees)) + "end;\n")
            out = run(vorn, work, data + "gettrees file=near.tre;\npscores all / gfit;\nquit;\n")
            fits = [float(x) for line in out.splitlines() if line.startswith("G-fit") for x in line.split()[1:]]
            if not found or len(fits) != len(trees):
                print("set %d: search score %s, %d fits for %d neighbours" % (s, found, len(fits), len(trees)))
                failures += 1
                continue
            best = float(found.group(1))
            # PScores prints three decimals: a better tree shows as lower
            # by more than the rounding.
            better = [f for f in fits if f < best - 0.0005]
            if better:
                failures += 1
                print("set %d: search kept fit %g, %d TBR neighbours fit better (best %g)" %
                      (s, best, len(better), min(better)))
    print("Goloboff TBR neighbourhoods: %d trees scored, %d sets with a better neighbour" % (neighbours, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
