#!/usr/bin/env python3
"""Matching distances and agreement-subtree sizes against peers.

Usage: agree_matching_vs_peers.py VORN

Matching: 200 pairs of random unrooted trees (with polytomies) on 8 to 100
taxa; TreeDist measure=matching writes all pairs of each set of trees to a
file, and every value must equal the optimum of scipy's
linear_sum_assignment on the padded cost matrix made here from DendroPy's
bipartitions (cost min(h, t - h), h the taxa two splits differ in; a
missing split costs min(c, t - c), c the size of the other).

Agree: rooted binary pairs on 8 to 30 taxa; the size Agree prints must be
the number of tips of phangorn's mast (R). The agreement tree file must
read in DendroPy with the number of taxa Agree printed.

Exit 77 when neither peer can be used.
"""
import os
import random
import re
import shutil
import subprocess
import sys
import tempfile

try:
    import dendropy
    import numpy
    from scipy.optimize import linear_sum_assignment
except ImportError:
    dendropy = None


def random_tree(rng, names, polytomies):
    parts = list(names)
    while len(parts) > 1:
        rng.shuffle(parts)
        k = min(len(parts), rng.choice([2, 2, 2, 3, 4]) if polytomies else 2)
        joined = "(" + ",".join(parts[-k:]) + ")"
        parts = parts[:-k] + [joined]
    return parts[0] + ";"


def run_vorn(vorn, work, name, body):
    path = os.path.join(work, name)
    with open(path, "w") as f:
        f.write(body)
    run = subprocess.run([vorn, "-n", path], cwd=work, capture_output=True, text=True, input="")
    if run.returncode != 0:
        sys.exit("vorn failed:\n" + run.stdout + run.stderr)
    return run.stdout


def splits_of(tree, ntax):
    tree.encode_bipartitions()
    full = (1 << ntax) - 1
    out = []
    for b in tree.bipartition_encoding:
        m = b.leafset_bitmask & full
        k = bin(m).count("1")
        if 2 <= k <= ntax - 2:
            out.append(m)
    return sorted(set(min(m, full ^ m) for m in out))


def matching(a, b, t):
    n = max(len(a), len(b))
    if n == 0:
        return 0
    cost = numpy.zeros((n, n), dtype=numpy.int64)
    for i in range(n):
        for j in range(n):
            if i < len(a) and j < len(b):
                h = bin(a[i] ^ b[j]).count("1")
            elif i < len(a):
                h = bin(a[i]).count("1")
            elif j < len(b):
                h = bin(b[j]).count("1")
            else:
                h = 0
            cost[i, j] = min(h, t - h)
    r, c = linear_sum_assignment(cost)
    return int(cost[r, c].sum())


def check_matching(vorn, work, rng):
    pairs = 0
    sizes = [8, 12, 17, 23, 30, 38, 46, 55, 64, 72, 80, 88, 94, 100]
    for n in sizes:
        names = ["t%d" % (i + 1) for i in range(n)]
        trees = [random_tree(rng, names, True) for _ in range(6)]
        body = "#NEXUS\nbegin taxa; dimensions ntax=%d; taxlabels %s; end;\nbegin trees;\n" % (n, " ".join(names))
        body += "".join("tree r%d = [&U] %s\n" % (i + 1, t) for i, t in enumerate(trees))
        body += "end;\nbegin vorn;\ntreedist / measure=matching showall=no file=m.txt replace;\nquit;\nend;\n"
        run_vorn(vorn, work, "m.nex", body)
        with open(os.path.join(work, "m.txt")) as f:
            rows = [line.split("\t") for line in f.read().split("\n")[1:] if line]
        ns = dendropy.TaxonNamespace(names)
        splits = []
        for t in trees:
            tree = dendropy.Tree.get(data=t, schema="newick", taxon_namespace=ns, rooting="force-unrooted")
            splits.append(splits_of(tree, n))
        for row in rows:
            i = int(row[0])
            for j in range(1, i):
                expected = matching(splits[i - 1], splits[j - 1], n)
                if int(row[j]) != expected:
                    sys.exit("matching %d taxa, trees %d and %d: vorn %s, scipy %d" % (n, i, j, row[j], expected))
                pairs += 1
    print("matching: %d pairs equal to scipy" % pairs)


def check_agree(vorn, work, rng):
    if not shutil.which("Rscript"):
        print("agree: Rscript not found, phangorn not asked")
        return
    cases = []
    for k in range(20):
        n = 8 + k
        names = ["t%d" % (i + 1) for i in range(n)]
        a = random_tree(rng, names, False)
        # Near neighbours have large agreement subtrees: swap a few labels.
        b = a
        for _ in range(1 + k % 3):
            x, y = rng.sample(names, 2)
            b = re.sub(r"\b(%s|%s)\b" % (x, y), lambda m: y if m.group(0) == x else x, b)
        cases.append((n, names, a, b))
    rscript = "suppressMessages(library(phangorn))\n"
    for n, names, a, b in cases:
        rscript += 'cat(length(mast(read.tree(text="%s"), read.tree(text="%s"), tree=FALSE, rooted=TRUE)), "\\n")\n' % (a, b)
    rpath = os.path.join(work, "mast.R")
    with open(rpath, "w") as f:
        f.write(rscript)
    r = subprocess.run(["Rscript", rpath], capture_output=True, text=True)
    if r.returncode != 0:
        print("agree: phangorn not usable, not asked")
        return
    mast = [int(x) for x in r.stdout.split()]
    for (n, names, a, b), expected in zip(cases, mast):
        body = "#NEXUS\nbegin taxa; dimensions ntax=%d; taxlabels %s; end;\nbegin trees;\n" % (n, " ".join(names))
        body += "tree a = [&R] %s\ntree b = [&R] %s\nend;\n" % (a, b)
        body += "begin vorn;\nagree / all=sets showtree=no treefile=ag.tre replace;\nquit;\nend;\n"
        out = run_vorn(vorn, work, "a.nex", body)
        m = re.search(r"Size of agreement subtree\(s\) = (\d+)/(\d+)", out)
        if not m or int(m.group(1)) != expected:
            sys.exit("agree on %d taxa: vorn %s, phangorn mast %d\n%s\n%s" % (n, m and m.group(1), expected, a, b))
        if "No nontrivial" not in out:
            trees = dendropy.TreeList.get(path=os.path.join(work, "ag.tre"), schema="nexus")
            for t in trees:
                if len(t.leaf_nodes()) > expected or (t.label != "Agrmnt KAST" and len(t.leaf_nodes()) != expected):
                    sys.exit("agreement tree %s has %d tips, expected %d" % (t.label, len(t.leaf_nodes()), expected))
    print("agree: %d rooted pairs equal to phangorn mast" % len(cases))


def main():
    if dendropy is None:
        print("DendroPy or scipy not importable")
        sys.exit(77)
    vorn = os.path.abspath(sys.argv[1])
    rng = random.Random(40)
    with tempfile.TemporaryDirectory() as work:
        check_matching(vorn, work, rng)
        check_agree(vorn, work, rng)


if __name__ == "__main__":
    main()
