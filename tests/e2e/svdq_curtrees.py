#!/usr/bin/python3
"""SVDQuartets scoring the trees in memory against species quartets, and
bootstraps whatever the main run does with its quartets.

On the simulated eight-taxon data of svdq_assembly.py: the species tree
(s1,s2,(s3,(s4,s5))) of partition sp5 stays in memory; partition swap names
the same five species but moves t3 and t8, so its species quartets come from
((s1,s5),s3),(s2,s4). By hand, each of the five species quartets (total
weight 1) then splits against the tree in memory: 5 inconsistent, 0
consistent. The printed sums must also equal those of the quartet file.
Lineage trees are refused against species quartets and species trees
against quartets of lineages.

Usage: svdq_curtrees.py <vorn>
"""
import os
import random
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from svdq_assembly import nexus, simulate, splits_of_newick  # noqa: E402
from svdq_scores import run  # noqa: E402

SETS = ("begin sets; taxpartition sp5 = s1: t1 t2, s2: t3, s3: t4 t5, s4: t6 t7, s5: t8;"
        " taxpartition swap = s1: t1 t2, s2: t8, s3: t4 t5, s4: t6 t7, s5: t3; end;\n")


def scores(stdout):
    """(inconsistent, consistent) of each tree of each score table."""
    return [(float(a), float(b)) for a, b in
            re.findall(r"^\s+\d+\s+(-?[\d.]+)\s+\([\d.]+%\)\s+(-?[\d.]+)\s+\([\d.]+%\)\s*$", stdout, re.M)]


def agrees(line, splits):
    """Whether quartet a,b|c,d (species 1-based) agrees with a tree's splits (sets of species numbers)."""
    a, b, c, d = (int(x) for x in re.split(r"[,|]", line.split(":")[0]))
    return not any(((a in s) != (b in s)) and ((c in s) != (d in s)) for s in splits)


def main():
    vorn = sys.argv[1]
    seqs = simulate(random.Random(520))[:, :2000]
    faults = []
    p, files = run(vorn, nexus(seqs, "svdquartets speciesTree=yes partition=sp5 evalq=all; "
                                     "svdquartets partition=swap treeInf=curTrees qfile=sw.dat;", SETS), ["sw.dat"])
    got = scores(p.stdout)
    if p.returncode != 0 or len(got) != 1 or not files["sw.dat"]:
        sys.exit("status %d, scores %s\n%s" % (p.returncode, got, (p.stdout + p.stderr)[-3000:]))
    # Tree in memory (s1,s2,(s3,(s4,s5))): splits {s4,s5} and {s3,s4,s5}.
    tree = [{4, 5}, {3, 4, 5}]
    lines = files["sw.dat"].split()
    bad = sum(float(x.split(":")[1]) for x in lines if not agrees(x, tree))
    good = sum(float(x.split(":")[1]) for x in lines if agrees(x, tree))
    if abs(got[0][0] - 5.0) > 1e-5 or abs(got[0][1]) > 1e-5 or abs(got[0][0] - bad) > 1e-5 or \
            abs(got[0][1] - good) > 1e-5:
        faults.append("species scores %s, by hand (5, 0), from the file (%g, %g)" % (got[0], bad, good))
    for label, cmds, want in [
            ("lineage trees, species quartets", "svdquartets evalq=all; svdquartets speciesTree=yes partition=sp5 "
                                                "treeInf=curTrees;", "are not trees of the species of partition"),
            ("species trees, lineage quartets", "svdquartets speciesTree=yes partition=sp5 evalq=all; "
                                                "svdquartets speciesTree=no treeInf=curTrees;",
             "are species trees; quartets of lineages cannot score them")]:
        p, _ = run(vorn, nexus(seqs[:, :300], cmds, SETS))
        if want not in " ".join((p.stdout + p.stderr).split()):
            faults.append("%s:\n%s" % (label, (p.stdout + p.stderr)[-1200:]))

    # Bootstraps after treeInf=none (species) and treeInf=curTrees (lineages):
    # the replicates are assembled all the same and their consensus stored.
    p, files = run(vorn, nexus(seqs, "svdquartets speciesTree=yes partition=sp5 evalq=all treeInf=none "
                                     "bootstrap=standard nreps=4 seed=3 treefile=b.tre; "
                                     "savetrees file=s.tre format=newick brlens=no; "
                                     "svdquartets speciesTree=no treeInf=QFM bootstrap=no; "
                                     "svdquartets treeInf=curTrees bootstrap=standard nreps=3 seed=3; "
                                     "savetrees file=t.tre format=newick brlens=no;", SETS),
                   ["b.tre", "s.tre", "t.tre"])
    if len(re.findall(r"tree SVDQ_\d+ = \[&U\] \(1,2,\(3,\(4,5\)\)\);", files["b.tre"] or "")) != 4:
        faults.append("species bootstrap replicates:\n%s" % files["b.tre"])
    if re.sub(r"\[.*?\]", "", files["s.tre"] or "").strip() != "(s1,s2,(s3,(s4,s5)));":
        faults.append("species bootstrap consensus %r" % files["s.tre"])
    if len(scores(p.stdout)) != 1 or p.stdout.count("Bootstrap consensus tree stored to tree buffer") != 2:
        faults.append("curTrees then bootstrap:\n" + p.stdout[-2500:])
    if splits_of_newick(files["t.tre"] or "();") != splits_of_newick("((((t1,t2),t3),(t4,t5)),((t6,t7),t8));"):
        faults.append("lineage bootstrap consensus %r" % files["t.tre"])
    if faults:
        print("\n".join(faults))
        sys.exit(1)
    print("species trees scored in memory as counted by hand; bootstraps after treeInf=none and curTrees")


if __name__ == "__main__":
    main()
