#!/usr/bin/python3
"""SVDQuartets with an enforced constraint, on the simulated eight-taxon data
of svdq_assembly.py.

A monophyly constraint the species tree lacks, (t3,t4,t5): the quartet file
must hold exactly the quartets the unconstrained run keeps that agree with
the group (a split ab|cd disagrees when the group holds exactly one of a, b
and exactly one of c, d), the reciprocal weights of forbidden splits must be
0, and the assembled tree must hold the group. A backbone over t1..t6 leaves
quartets with t7 or t8 alone.

Usage: svdq_constraint.py <vorn>
"""
import os
import random
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from svdq_assembly import nexus, simulate, splits_of_newick  # noqa: E402
from svdq_scores import run  # noqa: E402


def agrees(line, groups, free=()):
    """Whether a quartet line a,b|c,d[:w] agrees with every group (sets of 1-based taxa)."""
    a, b, c, d = (int(x) for x in re.split(r"[,|]", line.split(":")[0]))
    if {a, b, c, d} & set(free):
        return True
    return not any(((a in g) != (b in g)) and ((c in g) != (d in g)) for g in groups)


def main():
    vorn = sys.argv[1]
    seqs = simulate(random.Random(520))[:, :4000]
    faults = []
    group = {3, 4, 5}
    cons = "constraints c345 = ((t3,t4,t5)); constraints bb (backbone) = ((t1,t2,t3),t4,t5,t6);"
    p, files = run(vorn, nexus(seqs, cons + " svdquartets evalq=all treeInf=none qfile=all.dat; "
                                     "svdquartets evalq=all treeInf=QFM enforce constraints=c345 qfile=kept.dat; "
                                     "savetrees file=t.tre format=newick brlens=no; "
                                     "svdquartets evalq=all treeInf=none enforce constraints=bb qfile=bb.dat; "
                                     "svdquartets evalq=all treeInf=QFM qweights=reciprocal enforce "
                                     "constraints=c345 qfile=w.dat; savetrees file=w.tre format=newick brlens=no;"),
                   ["all.dat", "kept.dat", "t.tre", "bb.dat", "w.dat", "w.tre"])
    if p.returncode != 0 or any(v is None for v in files.values()):
        sys.exit("status %d\n%s" % (p.returncode, (p.stdout + p.stderr)[-3000:]))
    everything = files["all.dat"].split()
    want = [q for q in everything if agrees(q, [group])]
    got = files["kept.dat"].split()
    if got != want or len(want) == len(everything):
        faults.append("kept quartets %s, expected the %d of %d that agree with the group: %s" % (
            got, len(want), len(everything), want))
    if 'Forcing tree to be compatible with constraint-tree "c345"' not in p.stdout:
        faults.append("the settings do not name the constraint")
    # The best split of each quartet alone may leave the group unresolved,
    # but no split of the tree may contradict it.
    names = {"t3", "t4", "t5"}
    everyone = {"t%d" % i for i in range(1, 9)}
    for split in splits_of_newick(files["t.tre"]):
        if all(part for part in (split & names, split - names, names - split, everyone - split - names)):
            faults.append("tree %s has the split %s against the group" % (files["t.tre"], sorted(split)))
    # Weighted, the allowed splits of forbidden quartets keep their weight
    # and resolve the group.
    if frozenset(names) not in splits_of_newick(files["w.tre"]) and \
            frozenset(everyone - names) not in splits_of_newick(files["w.tre"]):
        faults.append("weighted tree %s lacks the group (t3,t4,t5)" % files["w.tre"])
    # Backbone groups: (t1,t2,t3) and its complement among t1..t6.
    want = [q for q in everything if agrees(q, [{1, 2, 3}], free=(7, 8))]
    if files["bb.dat"].split() != want:
        faults.append("backbone: kept %s, expected %s" % (files["bb.dat"].split(), want))
    # Weighted: all three splits of each quartet stay, the forbidden ones at 0.
    for line in files["w.dat"].split():
        wt = float(line.split(":")[1])
        if not agrees(line, [group]) and wt != 0.0:
            faults.append("weighted: forbidden split %s has weight %g" % (line, wt))
    if not any(float(x.split(":")[1]) > 0 for x in files["w.dat"].split()):
        faults.append("weighted: no weight left on splits the group allows")
    # No constraint defined, and a convexity constraint, are refused.
    p, _ = run(vorn, nexus(seqs[:, :200], "svdquartets enforce;"))
    if "no constraints have been defined" not in p.stdout + p.stderr:
        faults.append("enforce without constraints:\n" + (p.stdout + p.stderr)[-800:])
    if faults:
        print("\n".join(faults))
        sys.exit(1)
    print("constraint filter agrees with the brute-force filter; the tree holds the group")


if __name__ == "__main__":
    main()
