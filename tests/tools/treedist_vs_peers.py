#!/usr/bin/env python3
"""Symmetric differences of TreeDist against DendroPy and phangorn.

Usage: treedist_vs_peers.py VORN

Sets of random trees with polytomies on 4 to 60 taxa, rooted and unrooted,
are made with fixed seeds and written to a NEXUS file; `treedist` writes the
distances of all pairs to a file, and with a reference tree its distances
from that tree. Every value must equal DendroPy's
treecompare.symmetric_difference (rooted and unrooted) and, for unrooted
trees, phangorn's RF.dist (R, when it is installed with phangorn). On
rooted trees RF.dist(rooted=TRUE) counts the two clusters at a bifurcating
root as one and differs from DendroPy and us by 1 or 2 there, so it is not
asked. The distances from a reference tree must equal the all-pairs ones.
Exit 77 when neither peer is installed.
"""
import os
import random
import shutil
import subprocess
import sys
import tempfile

try:
    import dendropy
    from dendropy.calculate import treecompare
except ImportError:
    dendropy = None


def random_tree(rng, names):
    parts = list(names)
    while len(parts) > 1:
        rng.shuffle(parts)
        k = min(len(parts), rng.choice([2, 2, 2, 3, 4]))
        joined = "(" + ",".join(parts[-k:]) + ")"
        parts = parts[:-k] + [joined]
    return parts[0] + ";"


def vorn_distances(vorn, work, trees, rooted, ref):
    path = os.path.join(work, "t.nex")
    kind = "R" if rooted else "U"
    with open(path, "w") as f:
        f.write("#NEXUS\nbegin trees;\n")
        for i, t in enumerate(trees):
            f.write("tree r%d = [&%s] %s\n" % (i + 1, kind, t))
        f.write("end;\nbegin vorn;\n")
        f.write("treedist / showall=no fd=yes file=all.txt replace;\n")
        f.write("treedist / reftree=%d showall=no file=ref.txt replace;\nquit;\nend;\n" % ref)
    run = subprocess.run([vorn, "-n", path], cwd=work, capture_output=True, text=True, input="")
    if run.returncode != 0:
        sys.exit("vorn failed:\n" + run.stdout + run.stderr)
    pairs = {}
    with open(os.path.join(work, "all.txt")) as f:
        rows = f.read().split("\n")
    assert rows[0] == "tree\t" + "\t".join(str(i + 1) for i in range(len(trees))), rows[0]
    for line in rows[1:]:
        if not line:
            continue
        cells = [int(x) for x in line.split("\t")]
        i = cells[0]
        assert len(cells) == i + 1 and cells[-1] == 0, line
        for j in range(1, i):
            pairs[(i, j)] = cells[j]
    fromref = {}
    with open(os.path.join(work, "ref.txt")) as f:
        lines = f.read().split("\n")
    assert lines[0] == "tree\tdistance to tree %d" % ref, lines[0]
    for line in lines[1:]:
        if line:
            a, b = line.split("\t")
            fromref[int(a)] = int(b)
    return pairs, fromref


def dendropy_distances(trees, rooted):
    ns = dendropy.TaxonNamespace()
    tl = dendropy.TreeList()
    for t in trees:
        tree = dendropy.Tree.get(data=t, schema="newick", taxon_namespace=ns, rooting="force-rooted" if rooted
                                 else "force-unrooted")
        tl.append(tree)
    for t in tl:
        t.encode_bipartitions()
    out = {}
    for i in range(1, len(tl)):
        for j in range(i):
            out[(i + 1, j + 1)] = treecompare.symmetric_difference(tl[i], tl[j], is_bipartitions_updated=True)
    return out


def phangorn_distances(work, trees, rooted):
    rscript = shutil.which("Rscript")
    if not rscript:
        return None
    path = os.path.join(work, "t.tre")
    with open(path, "w") as f:
        f.write("\n".join(trees) + "\n")
    code = ("suppressMessages(library(phangorn)); t <- read.tree('%s'); "
            "d <- as.matrix(RF.dist(t, rooted=%s)); write.table(d, sep='\\t', row.names=FALSE, "
            "col.names=FALSE)" % (path, "TRUE" if rooted else "FALSE"))
    run = subprocess.run([rscript, "-e", code], capture_output=True, text=True)
    if run.returncode != 0 or "there is no package" in run.stderr:
        return None
    rows = [[int(float(x)) for x in line.split("\t")] for line in run.stdout.strip().split("\n")]
    return {(i + 1, j + 1): rows[i][j] for i in range(len(rows)) for j in range(i)}


def main():
    vorn = sys.argv[1]
    if dendropy is None and not shutil.which("Rscript"):
        return 77
    failures = 0
    compared = 0
    with tempfile.TemporaryDirectory() as work:
        for seed, ntax, ntrees in [(1, 4, 12), (2, 5, 15), (3, 8, 25), (4, 13, 30), (5, 25, 20), (6, 60, 15),
                                   (7, 40, 25)]:
            for rooted in (False, True):
                rng = random.Random(seed * 2 + rooted)
                names = ["t%d" % (i + 1) for i in range(ntax)]
                trees = [random_tree(rng, names) for _ in range(ntrees)]
                ref = rng.randrange(ntrees) + 1
                ours, fromref = vorn_distances(vorn, work, trees, rooted, ref)
                peers = []
                if dendropy is not None:
                    peers.append(("DendroPy", dendropy_distances(trees, rooted)))
                ph = None if rooted else phangorn_distances(work, trees, rooted)
                if ph is not None:
                    peers.append(("phangorn", ph))
                for name, theirs in peers:
                    for key, value in theirs.items():
                        compared += 1
                        if ours.get(key) != value:
                            failures += 1
                            print("%s ntax=%d rooted=%s pair %s: vorn %s, %s %d"
                                  % (name, ntax, rooted, key, ours.get(key), name, value))
                for k in range(1, ntrees + 1):
                    if k == ref:
                        continue
                    expected = ours[(max(k, ref), min(k, ref))]
                    if fromref.get(k) != expected:
                        failures += 1
                        print("reference tree %d, tree %d: %s, all pairs %d" % (ref, k, fromref.get(k), expected))
    print("%d distances compared with peers, %d failures" % (compared, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
